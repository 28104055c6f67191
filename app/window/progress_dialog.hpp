// The dialog shown while a job runs longer than a moment: a bar over the bytes, the file being
// worked on, files done of total, the time spent and the time left, and Cancel.
#pragma once

#include <QDialog>
#include <chrono>

#include "app/commands/job.hpp"

class QLabel;
class QProgressBar;
class QPushButton;

namespace dunmarrow {

class ProgressDialog : public QDialog {
    Q_OBJECT

public:
    ProgressDialog(const QString& title, QWidget* parent);

    void showProgress(const ProgressSnapshot& snapshot,
                      std::chrono::steady_clock::duration elapsed);

    QPushButton* cancelButton() const noexcept { return cancelButton_; }

signals:
    void cancelRequested();
    // Ctrl+Q while the dialog has the keyboard: the app is to quit (after the job has stopped).
    void quitRequested();

public slots:
    // Esc, the close button and Cancel all cancel the job; the dialog stays until it has ended.
    void reject() override;

private:
    QLabel* counts_;
    QLabel* currentPath_;
    QProgressBar* bar_;
    QLabel* times_;
    QPushButton* cancelButton_;
};

// "1:05" or "1:02:05".
QString formatDuration(std::chrono::seconds duration);

}  // namespace dunmarrow
