// What `add` will append, worked out before the archive is touched: every item named on the
// command line and, for a folder, everything below it, parents first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/warning.hpp"
#include "marrowzip/container/entry.hpp"

namespace marrowzip::tool {

struct PlannedEntry {
    std::string path;  // the entry path; a folder's ends in "/"
    FileURL item;
    EntryType type;
    std::int64_t units;  // progress units: 1 for a folder, else the item's size
};

// Entry paths are relative to each item's parent, or `entryPath` for a single item. Folders are
// walked depth first with the names of each folder in byte order; links are stored as links,
// never followed. Inside folders the archive itself and special files (pipes, sockets,
// devices: reading a pipe would wait for ever) are passed over, each special file with a
// warning in `skipped`; named on the command line they are refused. A missing item is an error
// naming it.
std::vector<PlannedEntry> planEntries(const std::vector<std::string>& items,
                                      const std::optional<std::string>& entryPath,
                                      const std::string& archivePath,
                                      std::vector<Warning>* skipped = nullptr);

}  // namespace marrowzip::tool
