// The walk of the archiving command: which items of a folder tree are kept, under which entry
// path, and the depth-first descent that appends them to an archive.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/commands/job.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/types.hpp"
#include "marrowzip/common/warning.hpp"

namespace marrowzip {
class Archive;
}

namespace dunmarrow {

// The extension of the files the app carries, compared without the dot.
inline constexpr std::string_view collectedExtension = "qorvels";

using ItemFilter = std::function<bool(const marrowzip::FileURL&)>;

// True for a directory (a link is never one: it is not followed) and for an item whose
// extension is exactly `collectedExtension`, case included.
bool isCollectedItem(const marrowzip::FileURL& url);

// The path of `item` below `base`, its components joined with "/" (empty when both are the
// same folder); the item's whole standardized path when it does not lie below `base`; absent
// when either is not a file URL.
std::optional<std::string> relativePath(const marrowzip::FileURL& item,
                                        const marrowzip::FileURL& base);

// Visits `item` and, when it is a directory, everything below it that `filter` keeps, parent
// before children and the items of a folder by name, each with the base its path is relative
// to (the item's parent when `base` is absent) and that path. Throws the first error of a
// directory listing or of `visit`. Sockets, named pipes and devices are not visited; `skipped`
// hears of each one the filter kept.
using ItemVisitor = std::function<void(const marrowzip::FileURL& item,
                                       const marrowzip::FileURL& base, const std::string& path)>;
void walkCollectedTree(const marrowzip::FileURL& item,
                       const std::optional<marrowzip::FileURL>& base, const ItemFilter& filter,
                       const ItemVisitor& visit, const marrowzip::WarningHandler& skipped = {});

// The work one item stands for: a file's size (a link's target length), 1 for a folder.
struct ItemWork {
    std::int64_t units = 0;
    bool isFile = false;
};
ItemWork itemWork(const marrowzip::FileURL& item);

// The files and units of a folder tree that the walk with isCollectedItem will append: names,
// types and the kept files' sizes only (100,000 files take a fraction of a second). Folders
// that cannot be listed count as empty: the walk reports them. Stops when `progress` is
// cancelled.
struct TreeWork {
    std::int64_t files = 0;
    std::int64_t units = 0;
};
TreeWork countCollectedTree(const marrowzip::FileURL& folder,
                            const JobProgress* progress = nullptr);

// Appends `item` and, when it is a directory, everything below it that `filter` keeps, parent
// before children, each under its path relative to `base` (the item's parent when absent).
// Each item is reported to `progress`, when given, and a cancelled job stops the walk.
// Throws the first error of an append or of a directory listing. Sockets, named pipes and
// devices are not archived; `skipped` hears of each one the filter kept.
void addTreeToArchive(const marrowzip::FileURL& item, const std::optional<marrowzip::FileURL>& base,
                      marrowzip::CompressionMethod compressionMethod, marrowzip::Archive& archive,
                      const ItemFilter& filter, JobProgress* progress = nullptr,
                      const marrowzip::WarningHandler& skipped = {});

}  // namespace dunmarrow
