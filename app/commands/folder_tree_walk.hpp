// The walk of the archiving command: which items of a folder tree are kept, under which entry
// path, and the depth-first descent that appends them to an archive.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

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

// Appends `item` and, when it is a directory, everything below it that `filter` keeps, parent
// before children, each under its path relative to `base` (the item's parent when absent).
// Throws the first error of an append or of a directory listing. Sockets, named pipes and
// devices are not archived; `skipped` hears of each one the filter kept.
void addTreeToArchive(const marrowzip::FileURL& item, const std::optional<marrowzip::FileURL>& base,
                      marrowzip::CompressionMethod compressionMethod, marrowzip::Archive& archive,
                      const ItemFilter& filter, const marrowzip::WarningHandler& skipped = {});

}  // namespace dunmarrow
