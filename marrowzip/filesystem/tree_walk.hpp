// The one walk of a folder tree that is archived: the whole-folder zip, the app's archive job
// and the tool's `create`/`add` differ only in their filters and in what they do with an item.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/warning.hpp"
#include "marrowzip/write/append_options.hpp"

namespace marrowzip {

// One item below the folder walked.
struct WalkedItem {
    FileURL url;
    // Relative to the folder walked, components joined by "/", behind TreeWalkOptions::pathPrefix.
    std::string path;
    std::filesystem::file_type type;  // the item's own type (a link is a link)
    // The item as describeItem tells of it, asked when its folder was listed; nothing when it
    // could not be asked, or for a socket, named pipe or device.
    std::optional<ProvidedEntry> described;
};

struct TreeWalkOptions {
    // Whether an item is walked (and, for a folder, what lies below it); all are when empty.
    // Called on the threads that list the folders, several at once: it must be safe to call
    // so. What it throws ends the walk when the walk comes to the item's folder.
    std::function<bool(const WalkedItem&)> filter = {};
    // Hears of each socket, named pipe and device the filter kept; they are never visited
    // (reading a pipe would wait for ever).
    WarningHandler warn = {};
    // A folder that cannot be listed counts as empty instead of ending the walk with its error.
    bool passOverUnlistableFolders = false;
    // Put before every item's path, joined by "/" (nothing when empty): the paths come ready
    // from the listing threads instead of being joined again by the visit.
    std::string pathPrefix = {};
};

// Visits everything below `folder`, depth first: a folder before its contents, the items of a
// folder by name in byte order, so that the same tree always gives the same archive. Links are
// visited as links, never followed. The folders are listed (their items described and filtered)
// ahead of the visits, by one thread per core; `visit` is called on the caller's thread and may
// take the item's parts. Throws the first error of a listing (naming the folder), of the filter
// or of `visit`.
void walkFolderTree(const FileURL& folder, const TreeWalkOptions& options,
                    const std::function<void(WalkedItem&)>& visit);

// The warning for `item` when it is a socket, named pipe or device, which is never archived:
// archiving a socket or a device would fail or read without end, and a pipe would be stored as
// an empty file. Nothing for anything else, or when the item is gone.
std::optional<Warning> specialFileWarning(const FileURL& item);

// An item as an append records it, from one lstat(2): its type, size (a link's: its target's
// length), modification date and permissions. Nothing when it cannot be asked, or for a socket,
// named pipe or device (the append of one reports it). Given to the append as
// AppendOptions::described, it is not asked again.
std::optional<ProvidedEntry> describeItem(const FileURL& item);
// describeItem of every item, in order, asked from several threads when they are many: the
// items of a large tree are described at the pace of the file system, not of one thread's
// system calls, before the archive is touched.
std::vector<std::optional<ProvidedEntry>> describeItems(const std::vector<FileURL>& items);

// The progress units of archiving an item: 1 for a folder, else its size (a link's: its
// target's length); 0 when it cannot be asked (the append reports that).
std::int64_t archivingUnitsOf(const ProvidedEntry& item);
std::int64_t archivingUnitsOf(const FileURL& item);

}  // namespace marrowzip
