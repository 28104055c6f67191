// A file, folder or link of the file system, ready to be appended: what lstat(2) told of it and
// the source of its bytes (which owns the open file). Both the archive's appends and the
// streaming writer take their items through it.
#pragma once

#include <cstdint>
#include <string_view>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/write/archive_writer.hpp"

namespace marrowzip {

struct ItemSource {
    ProvidedEntry entry;
    ArchiveWriter::EntrySource source;
};

// Takes the item at `itemURL` to be appended under `path`. `described`: the item as its
// lstat(2) told (providedEntryOf); null: asked here. Throws for an item that is missing or
// cannot be read.
ItemSource openItemSource(std::string_view path, const FileURL& itemURL,
                          const ProvidedEntry* described = nullptr);

}  // namespace marrowzip
