// The steps of extraction that the standalone Archive::extractEntry and the extraction below a
// folder (ExtractionFolder) share: creating a new file or link inside an open folder, and
// turning the bytes of a link entry into a target text.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "marrowzip/archive/archive_access.hpp"
#include "marrowzip/common/types.hpp"

namespace marrowzip {

class Archive;
class Entry;
struct FileAttributes;

// An item by device and inode: what a run created is removed again only while its name still
// holds that very item.
struct ItemIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};

// The link target the bytes spell: ArchiveError::invalidEntryPath when they are not UTF-8 or
// hold a NUL byte (the check and the link creation must see the same text).
std::string decodeLinkTarget(ByteView bytes, const std::string& displayPath);

// Creates the file `name` in the folder open as `folderDescriptor` (AT_FDCWD for a path), never
// through an item already there: with ExistingItems::refuse, FileError::fileWriteFileExists for
// anything at the name, a dangling link included; with skip, nothing happens and the result is
// empty; with overwrite, the file is written beside it under a temporary name and renamed over
// it (a folder there is refused, never replaced). Writes the entry's bytes, gives the file
// `attributes` through its descriptor before closing it (never by name afterwards: the name may
// then hold a link another process put there) and returns the bytes' CRC-32. A file that cannot
// be written whole (a read or write failure, a cancellation) is removed again.
// `created` receives the identity of a file made at a new name.
std::optional<std::uint32_t> writeFileAt(Archive& archive, const Entry& entry, int folderDescriptor,
                                         const char* name, const std::string& displayPath,
                                         const ExtractEntryOptions& options,
                                         const FileAttributes& attributes,
                                         ExistingItems existing = ExistingItems::refuse,
                                         ItemIdentity* created = nullptr);

// Creates the link `name` with `target` exactly as given. Anything at the name is treated as
// `existing` says (a folder is never replaced); false when the link was skipped for it.
bool createLinkAt(const std::string& target, int folderDescriptor, const char* name,
                  const std::string& displayPath, ExistingItems existing = ExistingItems::refuse);

// Reads a link entry's target bytes in one piece through the consumer form; sets `checksum`.
Bytes readLinkBytes(Archive& archive, const Entry& entry, const ExtractEntryOptions& options,
                    std::uint32_t& checksum);

}  // namespace marrowzip
