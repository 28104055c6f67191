// The engine's own way to an Archive's reader and writer (internal): for the layers above the
// façade (file-system operations) and for tests that need the archive's stream or a shared
// memory buffer.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/read/archive_reader.hpp"
#include "marrowzip/write/archive_writer.hpp"

namespace marrowzip {

class MemoryFile;

struct ArchiveAccess {
    static ArchiveReader& reader(const Archive& archive) { return *archive.reader_; }
    // cppcheck-suppress constParameter ; the writer it hands out changes the archive
    static ArchiveWriter& writer(Archive& archive) { return *archive.writer_; }
    // Opens a buffer that the caller shares (tests arm its transfer gate to make the archive
    // storage fail).
    static Archive openMemoryFile(std::shared_ptr<MemoryFile> file, AccessMode mode,
                                  std::optional<std::string> pathEncoding = std::nullopt);
};

// The text that errors of an archive use as its path ("memory:/" for an in-memory archive).
std::string archiveDisplayPath(const Archive& archive);

}  // namespace marrowzip
