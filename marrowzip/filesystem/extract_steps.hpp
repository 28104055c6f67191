// The steps of extraction that the standalone Archive::extractEntry and the extraction below a
// folder (ExtractionFolder) share: creating a new file or link inside an open folder, and
// turning the bytes of a link entry into a target text.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

class Archive;
class Entry;
class Progress;
struct FileAttributes;

// An item by device and inode: what a run created is removed again only while its name still
// holds that very item.
struct ItemIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};

// The longest link target accepted: longer targets cannot be created anyway, and an entry that
// claims one is refused before any of its bytes are read.
std::int64_t maximumLinkTargetLength();

// The link target the bytes spell: ArchiveError::invalidEntryPath when they are not UTF-8 or
// hold a NUL byte (the check and the link creation must see the same text).
std::string decodeLinkTarget(ByteView bytes, const std::string& displayPath);

// Creates the file `name` in the folder open as `folderDescriptor` (AT_FDCWD for a path), never
// through an item already there: FileError::fileWriteFileExists for anything at the name, a
// dangling link included. Writes the entry's bytes into it, gives it `attributes` through its
// descriptor before closing it (never by name afterwards: the name may then hold a link
// another process put there) and returns the bytes' CRC-32.
// `created` receives the file's identity as soon as it exists (also when a later step fails).
std::uint32_t writeNewFileAt(Archive& archive, const Entry& entry, int folderDescriptor,
                             const char* name, const std::string& displayPath,
                             std::int64_t bufferSize, bool skipChecksum, Progress* progress,
                             const FileAttributes& attributes, ItemIdentity* created = nullptr);

// Creates the link `name` with `target` exactly as given: FileError::fileWriteFileExists when
// anything is at the name.
void createLinkAt(const std::string& target, int folderDescriptor, const char* name,
                  const std::string& displayPath);

// Reads a link entry's target bytes in one piece through the consumer form; sets `checksum`.
Bytes readLinkBytes(Archive& archive, const Entry& entry, std::int64_t bufferSize,
                    bool skipChecksum, Progress* progress, std::uint32_t& checksum);

}  // namespace marrowzip
