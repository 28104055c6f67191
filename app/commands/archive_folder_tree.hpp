// The "Archive folder tree" command: a new ZIP file holding the chosen folder trees with only
// their sub-folders and `qorvels` files.
#pragma once

#include <ostream>

#include "app/commands/user_interface.hpp"

namespace dunmarrow {

// Asks for a new ZIP file and for folders, then appends each folder tree in the order chosen,
// on a worker thread, and shows the summary. Never throws: a failure is written to `out` as
// one line (flushed) and ends the command, leaving the archive valid with the entries
// appended so far; so does a cancelled job, without a line.
void archiveFolderTree(UserInterface& ui, std::ostream& out);

}  // namespace dunmarrow
