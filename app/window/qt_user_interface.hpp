// The panels, the alert, the progress and the summaries of the two commands, in Qt. Every
// dialog runs modally on the main thread; a job runs on a worker thread while a local event
// loop keeps the window answering.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

#include "app/commands/user_interface.hpp"

class QFileDialog;

namespace dunmarrow {

class QtUserInterface final : public UserInterface {
public:
    explicit QtUserInterface(QWidget* dialogParent = nullptr) : dialogParent_(dialogParent) {}

    // The widget the panels are centred on and modal to.
    void setDialogParent(QWidget* parent) { dialogParent_ = parent; }
    // Where the window shows the summary line.
    void setSummaryView(std::function<void(const JobSummary&)> show) {
        showSummaryLine_ = std::move(show);
    }

    // Answers given ahead, by a drop on the window or the command line: the next folder panel
    // or archive panel is skipped and these are its answer.
    void presetFolders(std::vector<marrowzip::FileURL> folders) {
        presetFolders_ = std::move(folders);
    }
    void presetArchive(marrowzip::FileURL archive) { presetArchive_ = std::move(archive); }
    // Forgets answers a command did not use (it ended before asking).
    void clearPresets() {
        presetFolders_.clear();
        presetArchive_.reset();
    }

    // The app is to end: a running job is cancelled (runJob returns once it has stopped), open
    // dialogs are closed, and every later panel answers as if cancelled.
    void requestQuit();
    bool isQuitting() const noexcept { return quitting_; }

    std::optional<marrowzip::FileURL> chooseNewZipFile() override;
    std::vector<marrowzip::FileURL> chooseFolders() override;
    std::optional<marrowzip::FileURL> chooseFile() override;
    std::optional<marrowzip::FileURL> chooseFolder() override;
    bool showAlert(const std::string& message, const std::string& informativeText,
                   const std::string& alternative) override;
    void runJob(const std::string& title, JobProgress& progress,
                const JobRunner::Work& work) override;
    void showSummary(const JobSummary& summary) override;

private:
    // The paths the person chose; none when the panel was cancelled or the app is quitting.
    QStringList runPanel(QFileDialog& dialog) const;

    QPointer<QWidget> dialogParent_;
    std::function<void(const JobSummary&)> showSummaryLine_;
    std::vector<marrowzip::FileURL> presetFolders_;
    std::optional<marrowzip::FileURL> presetArchive_;
    JobProgress* runningJob_ = nullptr;
    bool quitting_ = false;
};

// The name a new archive is saved under: the chosen one when it ends in ".zip" (any case), else
// the chosen one with ".zip" added, so that only ZIP files are ever written.
QString withZipExtension(const QString& path);

// Folder panels use Qt's own dialog, whose views can be switched to extended selection.
void configureFolderPanel(QFileDialog& dialog, bool severalFolders);

// The name filters of the panels that choose an archive: ZIP files first, then all files.
QStringList archiveNameFilters();

// The text of the alert shown for an existing name in the save panel.
QString existingArchiveText(const QString& path);

}  // namespace dunmarrow
