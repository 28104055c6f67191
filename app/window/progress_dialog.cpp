#include "app/window/progress_dialog.hpp"

#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QKeySequence>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>
#include <cmath>

#include "app/window/path_text.hpp"

namespace dunmarrow {

namespace {

constexpr int barSteps = 1000;

QString fromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

QString formatDuration(std::chrono::seconds duration) {
    const auto total = duration.count();
    const auto hours = total / 3600;
    const auto minutes = (total / 60) % 60;
    const auto seconds = total % 60;
    const QChar zero(QLatin1Char('0'));
    if (hours > 0) {
        return QStringLiteral("%1:%2:%3")
            .arg(hours)
            .arg(minutes, 2, 10, zero)
            .arg(seconds, 2, 10, zero);
    }
    return QStringLiteral("%1:%2").arg(minutes).arg(seconds, 2, 10, zero);
}

ProgressDialog::ProgressDialog(const QString& title, QWidget* parent)
    : QDialog(parent),
      counts_(new QLabel(tr("Counting the files\u2026"), this)),
      currentPath_(new QLabel(this)),
      bar_(new QProgressBar(this)),
      times_(new QLabel(this)),
      cancelButton_(new QPushButton(tr("&Cancel"), this)) {
    setWindowTitle(title);
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(460);

    currentPath_->setWordWrap(true);
    currentPath_->setTextFormat(Qt::PlainText);
    // Room for a path over three lines, so that the dialog keeps its size as paths change.
    currentPath_->setMinimumHeight(3 * QFontMetrics(currentPath_->font()).lineSpacing());
    currentPath_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    bar_->setRange(0, 0);  // busy until the totals are known
    bar_->setTextVisible(true);

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(cancelButton_, QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &ProgressDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(counts_);
    layout->addWidget(currentPath_);
    layout->addWidget(bar_);
    layout->addWidget(times_);
    layout->addWidget(buttons);
    cancelButton_->setFocus();
    // The window's own Ctrl+Q does not reach past a modal dialog.
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &ProgressDialog::quitRequested);
}

void ProgressDialog::showProgress(const ProgressSnapshot& snapshot,
                                  std::chrono::steady_clock::duration elapsed) {
    using std::chrono::duration_cast;
    using std::chrono::seconds;
    currentPath_->setText(breakableAtSeparators(localText(snapshot.currentPath)));
    if (!snapshot.counted) return;

    const double fraction = snapshot.fraction();
    bar_->setRange(0, barSteps);
    bar_->setValue(static_cast<int>(std::lround(fraction * barSteps)));
    counts_->setText(
        tr("%1 of %2 files \u2014 %3 of %4")
            .arg(fromUtf8(formatCount(snapshot.filesDone)),
                 fromUtf8(formatCount(snapshot.filesTotal)),
                 fromUtf8(formatSize(static_cast<std::uint64_t>(snapshot.unitsDone))),
                 fromUtf8(formatSize(static_cast<std::uint64_t>(snapshot.unitsTotal)))));

    const auto spent = duration_cast<seconds>(elapsed);
    QString left = tr("estimating the time left");
    // An estimate from the first per cent or the first second says little.
    if (fraction >= 0.01 && spent.count() >= 1) {
        const auto remaining =
            std::chrono::duration<double>(elapsed) * ((1.0 - fraction) / fraction);
        left = tr("about %1 left").arg(formatDuration(duration_cast<seconds>(remaining)));
    }
    times_->setText(tr("%1 elapsed, %2").arg(formatDuration(spent), left));
}

void ProgressDialog::reject() {
    cancelButton_->setEnabled(false);
    cancelButton_->setText(tr("Cancelling\u2026"));
    emit cancelRequested();
}

}  // namespace dunmarrow
