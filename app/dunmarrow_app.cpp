#include "app/dunmarrow_app.hpp"

#include <QFileInfo>
#include <QTimer>
#include <iostream>

#include "app/commands/archive_folder_tree.hpp"
#include "app/commands/restore_folder_tree.hpp"
#include "app/window/globe_image.hpp"

namespace dunmarrow {

DunmarrowApp::DunmarrowApp(int& argc, char** argv)
    : application_(argc, argv),
      signalNotifier_(signals_.fd(), QSocketNotifier::Read),
      window_(
          userInterface_, [this] { archiveFolderTree(userInterface_, std::cout); },
          [this] { restoreFolderTree(userInterface_, std::cout); }) {
    QApplication::setApplicationName(QStringLiteral("Dunmarrow"));
    QApplication::setDesktopFileName(QStringLiteral("dunmarrow"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("dunmarrow"),
                                                 globeIcon(accentColor(QApplication::palette()))));
    QObject::connect(&signalNotifier_, &QSocketNotifier::activated, &window_, [this] {
        if (signals_.consume()) window_.close();
    });
}

int DunmarrowApp::exec() {
    // Room around the stack by default; the person may shrink the window to the stack itself.
    window_.resize(window_.sizeHint().expandedTo(QSize(360, 260)));
    window_.show();
    // The desktop starts the app with the file to open ("Exec=dunmarrow %f").
    const QStringList arguments = QApplication::arguments().mid(1);
    if (!arguments.isEmpty() && QFileInfo(arguments.first()).isFile()) {
        const QString archive = QFileInfo(arguments.first()).absoluteFilePath();
        QTimer::singleShot(0, &window_, [this, archive] { window_.restoreArchive(archive); });
    }
    return QApplication::exec();
}

}  // namespace dunmarrow
