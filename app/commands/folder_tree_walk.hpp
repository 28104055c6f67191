// The walk of the archiving command: which items of a folder tree are kept, under which entry
// path, and the counting pass before it. Both go through the library's one tree walk.
#pragma once

#include <cstdint>
#include <optional>
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

// True for a directory (a link is never one: it is not followed) and for an item whose
// extension is exactly `collectedExtension`, case included.
bool isCollectedItem(const marrowzip::FileURL& url);

// The files and units of a folder tree that addTreeToArchive will append: names, types and the
// kept files' sizes only (100,000 files take a fraction of a second). Folders that cannot be
// listed count as empty: the append reports them. Stops when `progress` is cancelled.
JobTotals countCollectedTree(const marrowzip::FileURL& folder,
                             const JobProgress* progress = nullptr);

// Appends `folder` and the collected items below it, parents before children and the items of
// a folder by name, each under its path relative to the folder's parent. Each item is reported
// to `progress`, when given, and a cancelled job stops the walk. Throws the first error of an
// append or of a directory listing. Sockets, named pipes and devices are not archived;
// `skipped` hears of each one the filter kept.
void addTreeToArchive(const marrowzip::FileURL& folder,
                      marrowzip::CompressionMethod compressionMethod, marrowzip::Archive& archive,
                      JobProgress* progress = nullptr,
                      const marrowzip::WarningHandler& skipped = {});

}  // namespace dunmarrow
