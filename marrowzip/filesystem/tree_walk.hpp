// The one walk of a folder tree that is archived: the whole-folder zip, the app's archive job
// and the tool's `create`/`add` differ only in their filters and in what they do with an item.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/warning.hpp"

namespace marrowzip {

// One item below the folder walked.
struct WalkedItem {
    FileURL url;
    std::string path;                 // relative to the folder walked, components joined by "/"
    std::filesystem::file_type type;  // the item's own type (a link is a link), from the listing
};

struct TreeWalkOptions {
    // Whether an item is walked (and, for a folder, what lies below it); all are when empty.
    std::function<bool(const WalkedItem&)> filter = {};
    // Hears of each socket, named pipe and device the filter kept; they are never visited
    // (reading a pipe would wait for ever).
    WarningHandler warn = {};
    // A folder that cannot be listed counts as empty instead of ending the walk with its error.
    bool passOverUnlistableFolders = false;
};

// Visits everything below `folder`, depth first: a folder before its contents, the items of a
// folder by name in byte order, so that the same tree always gives the same archive. Links are
// visited as links, never followed. Throws the first error of a listing (naming the folder)
// or of `visit`.
void walkFolderTree(const FileURL& folder, const TreeWalkOptions& options,
                    const std::function<void(const WalkedItem&)>& visit);

// The warning for `item` when it is a socket, named pipe or device, which is never archived:
// archiving a socket or a device would fail or read without end, and a pipe would be stored as
// an empty file. Nothing for anything else, or when the item is gone.
std::optional<Warning> specialFileWarning(const FileURL& item);

// The progress units of archiving an item: 1 for a folder, else its size (a link's: its
// target's length); 0 when it cannot be asked (the append reports that).
std::int64_t archivingUnitsOf(const FileURL& item);

}  // namespace marrowzip
