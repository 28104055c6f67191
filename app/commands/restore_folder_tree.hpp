// The "UnArchive folder tree" command: puts the `qorvels` files of an archive made by the
// archiving command back beneath the parent of a folder named like the archive's root.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "app/commands/user_interface.hpp"

namespace dunmarrow {

inline constexpr std::string_view incompatibleAlertMessage = "Non compatible paths";
inline constexpr std::string_view incompatibleAlertStart =
    "The selected extraction destination starts at ";
inline constexpr std::string_view incompatibleAlertMiddle =
    " and the selected destination must end exactly there, but is ";
inline constexpr std::string_view extractionFailedLine =
    "Extraction of ZIP archive failed with error:";

// Asks for an archive and a destination folder, checks that the archive's first entry begins
// with the folder's name (an alert when not, which offers the root's folder inside the chosen
// one instead), and extracts every later entry whose path ends in `qorvels` beneath the
// folder's parent on a worker thread, then shows the summary. Never throws: each entry that
// cannot be restored gets one line on `out` (flushed) and the others go on; a cancelled job
// stops after the entry being written.
void restoreFolderTree(UserInterface& ui, std::ostream& out);

// A path as a person reads it: no scheme, no percent-encoding, no trailing slash.
std::string plainPath(const marrowzip::FileURL& url);

}  // namespace dunmarrow
