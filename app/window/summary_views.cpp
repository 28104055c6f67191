#include "app/window/summary_views.hpp"

#include <QClipboard>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/window/path_text.hpp"

namespace dunmarrow {

SummaryBar::SummaryBar(QWidget* parent)
    : QFrame(parent),
      label_(new QLabel(this)),
      openButton_(new QPushButton(tr("&Open folder"), this)) {
    setFrameShape(QFrame::StyledPanel);
    label_->setWordWrap(true);
    label_->setTextFormat(Qt::PlainText);
    label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(label_, 1);
    layout->addWidget(openButton_, 0, Qt::AlignVCenter);
    connect(openButton_, &QPushButton::clicked, this,
            [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder_)); });
    hide();
}

void SummaryBar::showSummary(const JobSummary& summary) {
    label_->setText(breakableAtSeparators(localText(summary.text())));
    folder_ = localText(summary.folderToOpen());
    openButton_->setVisible(summary.started && !summary.emptyArchive && !folder_.isEmpty());
    show();
}

QMimeData* LineListView::createMimeDataFromSelection() const {
    auto* data = new QMimeData;  // NOLINT(cppcoreguidelines-owning-memory): Qt takes it
    data->setText(withoutBreakHints(
        textCursor().selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n'))));
    return data;
}

QString failureCountText(const JobSummary& summary) {
    const auto failures = static_cast<std::int64_t>(summary.failures.size());
    const auto warnings = static_cast<std::int64_t>(summary.warnings.size());
    std::string text;
    if (failures > 0) text = countOf(failures, "failure", "failures");
    if (warnings > 0) {
        if (!text.empty()) text += " and ";
        text += countOf(warnings, "warning", "warnings");
    }
    return QString::fromStdString(text);
}

FailureListDialog::FailureListDialog(const JobSummary& summary, QWidget* parent)
    : QDialog(parent), copyButton_(new QPushButton(tr("&Copy"), this)) {
    setWindowTitle(summary.failures.empty() ? tr("Warnings") : tr("Failures"));
    QStringList lines;
    for (const auto& line : summary.failures)
        lines << localText(line);
    for (const auto& line : summary.warnings)
        lines << localText(line);
    lines_ = lines.join(QLatin1Char('\n'));

    auto* heading = new QLabel(failureCountText(summary), this);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    auto* what = new QLabel(breakableAtSeparators(localText(summary.text())), this);
    what->setWordWrap(true);
    what->setTextFormat(Qt::PlainText);

    auto* list = new LineListView(this);
    list->setReadOnly(true);
    list->setPlainText(breakableAtSeparators(lines_));
    list->setMinimumSize(560, 180);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(copyButton_, QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(copyButton_, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(lines_); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addWidget(what);
    layout->addWidget(list, 1);
    layout->addWidget(buttons);
    buttons->button(QDialogButtonBox::Close)->setFocus();
}

}  // namespace dunmarrow
