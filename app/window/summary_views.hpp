// What a job did, shown to the person: a line at the foot of the window with a button that
// opens the folder concerned, and for failures and warnings a dialog listing them.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QPlainTextEdit>
#include <QString>

#include "app/commands/job.hpp"

class QLabel;
class QPushButton;

namespace dunmarrow {

class SummaryBar : public QFrame {
    Q_OBJECT

public:
    explicit SummaryBar(QWidget* parent = nullptr);

    void showSummary(const JobSummary& summary);

    QLabel* label() const noexcept { return label_; }
    QPushButton* openButton() const noexcept { return openButton_; }

private:
    QLabel* label_;
    QPushButton* openButton_;
    QString folder_;
};

// A read-only list whose copies leave out the wrapping hints of its paths.
class LineListView : public QPlainTextEdit {
    Q_OBJECT

public:
    using QPlainTextEdit::QPlainTextEdit;

protected:
    QMimeData* createMimeDataFromSelection() const override;
};

class FailureListDialog : public QDialog {
    Q_OBJECT

public:
    explicit FailureListDialog(const JobSummary& summary, QWidget* parent = nullptr);

    // The lines as written to standard output, one per line.
    const QString& lines() const noexcept { return lines_; }
    QPushButton* copyButton() const noexcept { return copyButton_; }

private:
    QString lines_;
    QPushButton* copyButton_;
};

// "2 failures and 1 warning".
QString failureCountText(const JobSummary& summary);

}  // namespace dunmarrow
