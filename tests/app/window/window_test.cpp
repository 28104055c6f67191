// The window around the commands: buttons while a job runs, closing during a job, drops, the
// progress dialog and the summaries (Qt's offscreen platform).
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/window/main_window.hpp"
#include "app/window/path_text.hpp"
#include "app/window/progress_dialog.hpp"
#include "app/window/qt_user_interface.hpp"
#include "app/window/summary_views.hpp"

namespace dunmarrow {
namespace {

using std::chrono::milliseconds;

// Counts the progress dialogs shown while it lives.
struct ProgressDialogWatch : QObject {
    ProgressDialogWatch() { qApp->installEventFilter(this); }
    ~ProgressDialogWatch() override { qApp->removeEventFilter(this); }
    ProgressDialogWatch(const ProgressDialogWatch&) = delete;
    ProgressDialogWatch& operator=(const ProgressDialogWatch&) = delete;
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<ProgressDialog*>(object) != nullptr) {
            ++shown;
        }
        return false;
    }
    int shown = 0;
};

// A job that runs until it is cancelled, or for `duration`.
JobRunner::Work jobFor(milliseconds duration, std::atomic<bool>& cancelled) {
    return [duration, &cancelled](JobProgress& progress) {
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            if (progress.isCancelled()) {
                cancelled = true;
                return;
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
    };
}

TEST(MainWindow, ClosingDuringAJobCancelsItWaitsForItAndThenCloses) {
    QtUserInterface ui;
    std::atomic<bool> cancelled = false;
    bool buttonsDisabledDuringJob = false;
    bool summaryShown = false;
    MainWindow window(
        ui,
        [&] {
            JobProgress progress;
            ui.runJob("Archiving", progress, jobFor(std::chrono::minutes(1), cancelled));
            ui.showSummary(JobSummary{});
            summaryShown = true;
        },
        [] {});
    window.show();
    EXPECT_EQ(window.focusWidget(), window.contentView()->archiveButton());
    QTimer::singleShot(200, [&] {
        buttonsDisabledDuringJob = !window.contentView()->archiveButton()->isEnabled() &&
                                   !window.contentView()->restoreButton()->isEnabled();
        window.close();  // what Ctrl+Q, the window manager and SIGTERM do
        EXPECT_TRUE(window.isVisible()) << "the window waits for the job";
    });
    window.contentView()->archiveButton()->click();
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(buttonsDisabledDuringJob);
    EXPECT_TRUE(summaryShown);
    EXPECT_FALSE(window.summaryBar()->isVisible()) << "no summary while quitting";
    QApplication::processEvents();
    EXPECT_FALSE(window.isVisible());
}

TEST(MainWindow, AShortJobShowsNoProgressDialogAndALongOneDoes) {
    QtUserInterface ui;
    const ProgressDialogWatch watch;
    std::atomic<bool> cancelled = false;
    JobProgress quick;
    ui.runJob("Archiving", quick, jobFor(milliseconds(100), cancelled));
    EXPECT_EQ(watch.shown, 0);
    JobProgress slow;
    ui.runJob("Archiving", slow, jobFor(milliseconds(900), cancelled));
    EXPECT_EQ(watch.shown, 1);
    EXPECT_FALSE(cancelled);
}

TEST(MainWindow, DropsOfFoldersArchiveAndADropOfOneZipFileRestores) {
    QTemporaryDir tmp;
    const QString a = tmp.filePath(QStringLiteral("a"));
    const QString b = tmp.filePath(QStringLiteral("b"));
    const QString zip = tmp.filePath(QStringLiteral("x.ZIP"));
    const QString text = tmp.filePath(QStringLiteral("notes.txt"));
    QDir().mkdir(a);
    QDir().mkdir(b);
    for (const QString& file : {zip, text}) {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    using Kind = DropAction::Kind;
    const std::pair<QStringList, Kind> rows[] = {{{a, b}, Kind::archive},  {{zip}, Kind::restore},
                                                 {{zip, zip}, Kind::none}, {{a, zip}, Kind::none},
                                                 {{text}, Kind::none},     {{}, Kind::none}};
    for (const auto& [paths, kind] : rows) {
        EXPECT_EQ(dropActionFor(paths).kind, kind) << paths.join(QLatin1Char(' ')).toStdString();
    }
}

TEST(SummaryViews, TheFailureListHoldsAndCopiesTheLinesAsPrinted) {
    JobSummary summary;
    summary.command = JobSummary::Command::restore;
    summary.started = true;
    summary.restoredFolder = "/backup/run1";
    summary.failures = {"File run1/a.qorvels with the file already exists",
                        "File run1/b.qorvels with the file already exists"};
    summary.warnings = {"run1/fifo.qorvels: not a regular file; skipped"};
    FailureListDialog dialog(summary);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Failures"));
    const QString lines = QStringLiteral(
        "File run1/a.qorvels with the file already exists\n"
        "File run1/b.qorvels with the file already exists\n"
        "run1/fifo.qorvels: not a regular file; skipped");
    EXPECT_EQ(dialog.lines(), lines);
    dialog.copyButton()->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), lines);
    EXPECT_EQ(failureCountText(summary), QStringLiteral("2 failures and 1 warning"));

    SummaryBar bar;
    bar.showSummary(summary);
    EXPECT_EQ(withoutBreakHints(bar.label()->text()),
              QStringLiteral("Restored 0 files into /backup/run1"));
    EXPECT_FALSE(bar.openButton()->isHidden());
}

TEST(PathText, WrapsOnlyAfterSeparatorsAndCopiesWithoutHints) {
    const std::pair<QString, QString> rows[] = {
        {QStringLiteral("/home/ana/Mes données/run-1"),
         QStringLiteral("/\u200Bhome/\u200Bana/\u200BMes\u00A0données/\u200Brun-\u2060"
                        "1")},
        // Only absolute paths, up to what ends them; the sentence around wraps as usual.
        {QStringLiteral("Restored 2 files into /b/x y; 1 file could not be restored"),
         QStringLiteral(
             "Restored 2 files into /\u200Bb/\u200Bx\u00A0y; 1 file could not be restored")},
        {QStringLiteral("starts at run1/ and is /a b"),
         QStringLiteral("starts at run1/ and is /\u200Ba\u00A0b")}};
    for (const auto& [text, shown] : rows) {
        EXPECT_EQ(breakableAtSeparators(text), shown) << text.toStdString();
        EXPECT_EQ(withoutBreakHints(shown), text);
    }
    EXPECT_EQ(localText("Mes donn\xc3\xa9"
                        "es"),
              QStringLiteral("Mes données"));
}

TEST(ProgressDialog, ShowsBytesFilesTheCurrentPathAndTheTimes) {
    ProgressDialog dialog(QStringLiteral("Archiving"), nullptr);
    ProgressSnapshot snapshot;
    snapshot.counted = true;
    snapshot.filesDone = 3;
    snapshot.filesTotal = 1200;
    snapshot.unitsDone = 250'000'000;
    snapshot.unitsTotal = 1'000'000'000;
    snapshot.currentPath = "/data/run1/big.qorvels";
    dialog.showProgress(snapshot, std::chrono::seconds(10));
    QStringList texts;
    for (const auto* label : dialog.findChildren<QLabel*>())
        texts << withoutBreakHints(label->text());
    EXPECT_TRUE(texts.contains(QStringLiteral("3 of 1,200 files \u2014 250.0 MB of 1.0 GB")))
        << texts.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("/data/run1/big.qorvels")));
    EXPECT_TRUE(texts.contains(QStringLiteral("0:10 elapsed, about 0:30 left")));

    bool cancelRequested = false;
    QObject::connect(&dialog, &ProgressDialog::cancelRequested, [&] { cancelRequested = true; });
    dialog.reject();  // Esc
    EXPECT_TRUE(cancelRequested);
    EXPECT_FALSE(dialog.cancelButton()->isEnabled());
    EXPECT_EQ(formatDuration(std::chrono::seconds(3725)), QStringLiteral("1:02:05"));
}

}  // namespace
}  // namespace dunmarrow
