#include "app/window/main_window.hpp"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeySequence>
#include <QMimeData>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "app/window/qt_user_interface.hpp"
#include "app/window/summary_views.hpp"

namespace dunmarrow {

namespace {

marrowzip::FileURL urlOf(const QString& path, bool isDirectory) {
    return marrowzip::FileURL::fromPath(QFile::encodeName(path).toStdString(), isDirectory);
}

QStringList localPaths(const QMimeData* data) {
    QStringList paths;
    if (data == nullptr || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile()) return {};
        paths << url.toLocalFile();
    }
    return paths;
}

}  // namespace

DropAction dropActionFor(const QStringList& paths) {
    if (paths.isEmpty()) return {};
    bool allFolders = true;
    for (const QString& path : paths)
        allFolders = allFolders && QFileInfo(path).isDir();
    if (allFolders) return {DropAction::Kind::archive, paths};
    const QFileInfo single(paths.first());
    if (paths.size() == 1 && single.isFile() &&
        single.suffix().compare(QLatin1String("zip"), Qt::CaseInsensitive) == 0) {
        return {DropAction::Kind::restore, paths};
    }
    return {};
}

MainWindow::MainWindow(QtUserInterface& ui, Action archiveFolderTree, Action restoreFolderTree,
                       QWidget* parent)
    : QWidget(parent),
      ui_(ui),
      archive_(std::move(archiveFolderTree)),
      restore_(std::move(restoreFolderTree)),
      contentView_(new ContentView([this] { runCommand(archive_); },
                                   [this] { runCommand(restore_); }, this)),
      summaryBar_(new SummaryBar(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(contentView_, 1);
    layout->addWidget(summaryBar_);
    setAcceptDrops(true);
    ui_.setDialogParent(this);
    ui_.setSummaryView([this](const JobSummary& summary) { summaryBar_->showSummary(summary); });

    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &QWidget::close);
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    contentView_->archiveButton()->setFocus();
}

void MainWindow::runCommand(const Action& action) {
    if (busy_ || ui_.isQuitting()) return;
    busy_ = true;
    contentView_->archiveButton()->setEnabled(false);
    contentView_->restoreButton()->setEnabled(false);
    action();
    ui_.clearPresets();
    contentView_->archiveButton()->setEnabled(true);
    contentView_->restoreButton()->setEnabled(true);
    busy_ = false;
    if (closeAfterCommand_) {
        QTimer::singleShot(0, this, &QWidget::close);
    } else {
        contentView_->archiveButton()->setFocus();
    }
}

void MainWindow::restoreArchive(const QString& path) {
    if (busy_) return;
    ui_.presetArchive(urlOf(path, false));
    runCommand(restore_);
}

void MainWindow::archiveFolders(const QStringList& folders) {
    if (busy_) return;
    std::vector<marrowzip::FileURL> urls;
    for (const QString& folder : folders)
        urls.push_back(urlOf(folder, true));
    ui_.presetFolders(std::move(urls));
    runCommand(archive_);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!busy_) {
        event->accept();
        return;
    }
    // The job is cancelled through the engine and waited for, so that the archive stays valid;
    // the window closes once the command has returned.
    event->ignore();
    closeAfterCommand_ = true;
    ui_.requestQuit();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!busy_ && dropActionFor(localPaths(event->mimeData())).kind != DropAction::Kind::none) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    const DropAction action = dropActionFor(localPaths(event->mimeData()));
    if (busy_ || action.kind == DropAction::Kind::none) return;
    event->acceptProposedAction();
    // The command runs after the drop has ended: its dialogs must not run inside the drop.
    QTimer::singleShot(0, this, [this, action] {
        if (action.kind == DropAction::Kind::archive) {
            archiveFolders(action.paths);
        } else {
            restoreArchive(action.paths.first());
        }
    });
}

}  // namespace dunmarrow
