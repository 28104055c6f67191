#include "app/dunmarrow_app.hpp"

#include <iostream>

#include "app/commands/archive_folder_tree.hpp"
#include "app/commands/restore_folder_tree.hpp"
#include "app/window/globe_image.hpp"

namespace dunmarrow {

DunmarrowApp::DunmarrowApp(int& argc, char** argv)
    : application_(argc, argv),
      contentView_([this] { archiveFolderTree(userInterface_, std::cout); },
                   [this] { restoreFolderTree(userInterface_, std::cout); }) {
    QApplication::setApplicationName(QStringLiteral("Dunmarrow"));
    QApplication::setDesktopFileName(QStringLiteral("dunmarrow"));
    QApplication::setWindowIcon(globeIcon(accentColor(QApplication::palette())));
    userInterface_.setDialogParent(&contentView_);
}

int DunmarrowApp::exec() {
    // Room around the stack by default; the person may shrink the window to the stack itself.
    contentView_.resize(contentView_.sizeHint().expandedTo(QSize(320, 240)));
    contentView_.show();
    return QApplication::exec();
}

}  // namespace dunmarrow
