// The "Archive folder tree" command: a new ZIP file holding the chosen folder trees with only
// their sub-folders and `qorvels` files.
#pragma once

#include <ostream>

#include "app/commands/user_interface.hpp"

namespace dunmarrow {

// Asks for a new ZIP file and for folders, then appends each folder tree in the order chosen.
// Never throws: a failure is written to `out` as one line and ends the command, leaving the
// archive valid with the entries appended so far.
void archiveFolderTree(UserInterface& ui, std::ostream& out);

}  // namespace dunmarrow
