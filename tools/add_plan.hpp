// What `create` and `add` will append, worked out before the archive is touched: every item
// named on the command line and, for a folder, everything below it, parents first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/warning.hpp"
#include "marrowzip/format/entry.hpp"
#include "marrowzip/write/append_options.hpp"

namespace marrowzip::tool {
struct ToolContext;
}

namespace marrowzip::tool {

struct PlannedEntry {
    std::string path;  // the entry path; a folder's ends in "/"
    FileURL item;
    EntryType type;
    std::int64_t units = 0;  // progress units: 1 for a folder, else the item's size
    // What the item's lstat(2) told when the plan was made, for the append.
    std::optional<ProvidedEntry> described = {};
};

struct PlanOptions {
    std::optional<std::string> entryPath;  // the name of a single item
    // Whether a single folder's entries begin with its name (else they are relative to it and
    // the folder has no entry of its own). Several items are always named by their own names.
    bool prefix = true;
    std::vector<std::string> excludes;  // patterns against the entry paths to be written
};

struct Plan {
    std::vector<PlannedEntry> entries;
    std::vector<Warning> skipped;  // special files met inside folders, not archived
    bool skippedArchive = false;   // the archive lies in a folder being stored, and was left out
    // Whether two entries may have the same path: only when several items were named (one
    // item's walk never meets a path twice).
    bool mayRepeat = false;
};

// Entry paths are relative to each item's parent, or `entryPath` for a single item. Folders are
// walked depth first with the names of each folder in byte order; links are stored as links,
// never followed. Inside folders the archive itself (whether it exists yet or not), what an
// exclude pattern selects and special files (pipes, sockets, devices: reading a pipe would wait
// for ever) are passed over, each special file with a warning in `skipped`; named on the
// command line, the archive and special files are refused. A missing item is an error naming it.
// Every item is described (type, size, date, mode): those below a folder as the walk lists them,
// on several threads at once.
Plan planEntries(const std::vector<std::string>& items, const PlanOptions& options,
                 const std::string& archivePath);

// The archive a plan is made for: its path on disk (left out of the plan) and its name in the
// warnings.
struct PlannedArchive {
    std::string path;
    std::string shown;
};

// The plan of create or add, with the items registered for messages and its warnings printed.
Plan planItems(const std::vector<std::string>& items, const PlanOptions& options,
               const PlannedArchive& archive, ToolContext& context);

// The progress units of the whole plan.
std::int64_t totalUnits(const std::vector<PlannedEntry>& plan);

}  // namespace marrowzip::tool
