// The window: ContentView above the summary of the last job. It keeps the buttons disabled
// while a command runs, turns drops into commands, and on close or Ctrl+Q during a job cancels
// the job and waits for it before it closes.
#pragma once

#include <QWidget>
#include <functional>

#include "app/window/content_view.hpp"

namespace dunmarrow {

class QtUserInterface;
class SummaryBar;

class MainWindow : public QWidget {
    Q_OBJECT

public:
    using Action = std::function<void()>;

    MainWindow(QtUserInterface& ui, Action archiveFolderTree, Action restoreFolderTree,
               QWidget* parent = nullptr);

    ContentView* contentView() const noexcept { return contentView_; }
    SummaryBar* summaryBar() const noexcept { return summaryBar_; }
    bool isBusy() const noexcept { return busy_; }

    // Restoring an archive given on the command line: the panel for the archive is skipped.
    void restoreArchive(const QString& path);
    // The commands a drop starts: folders to archive (the save panel comes next), or an archive
    // to restore (the destination panel comes next).
    void archiveFolders(const QStringList& folders);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Runs a command with both buttons disabled; the window answers meanwhile.
    void runCommand(const Action& action);

    QtUserInterface& ui_;
    Action archive_;
    Action restore_;
    ContentView* contentView_;
    SummaryBar* summaryBar_;
    bool busy_ = false;
    bool closeAfterCommand_ = false;
};

// What a drop of `paths` starts: folders (all of them) to archive, or one archive to restore;
// nothing for anything else.
struct DropAction {
    enum class Kind { none, archive, restore };
    Kind kind = Kind::none;
    QStringList paths;
};
DropAction dropActionFor(const QStringList& paths);

}  // namespace dunmarrow
