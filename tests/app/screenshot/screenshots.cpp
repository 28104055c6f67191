// Drives the real window, panels and commands under an X server and keeps a picture of each
// state a person meets: the idle window, the progress dialog of a slowed job, the success
// summary, the failure list, the restore alert with its second button, and the alert for an
// existing archive name. Usage: dunmarrow_screenshots <folder for the PNGs>. Exits non-zero,
// naming the step, when a dialog does not come or a picture cannot be written.
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <thread>

#include "app/commands/archive_folder_tree.hpp"
#include "app/commands/restore_folder_tree.hpp"
#include "app/window/main_window.hpp"
#include "app/window/progress_dialog.hpp"
#include "app/window/qt_user_interface.hpp"
#include "app/window/summary_views.hpp"

namespace {

namespace fs = std::filesystem;
using namespace dunmarrow;

int failures = 0;

void fail(const std::string& what) {
    std::cerr << "screenshots: " << what << '\n';
    ++failures;
}

void save(QWidget* widget, const QString& folder, const QString& name) {
    QApplication::processEvents();
    const QString path = folder + QLatin1Char('/') + name;
    if (!widget->grab().save(path)) fail("cannot write " + path.toStdString());
}

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// Answers the modal dialogs of one command in turn: each handler gets the dialog that comes
// next and closes it.
class DialogScript : public QObject {
public:
    using Handler = std::function<void(QWidget*)>;

    explicit DialogScript(std::deque<Handler> handlers) : handlers_(std::move(handlers)) {
        connect(&timer_, &QTimer::timeout, this, [this] { step(); });
        timer_.start(50);
    }
    ~DialogScript() override {
        if (!handlers_.empty()) fail(std::to_string(handlers_.size()) + " dialogs did not come");
    }
    DialogScript(const DialogScript&) = delete;
    DialogScript& operator=(const DialogScript&) = delete;

private:
    void step() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == last_ || handlers_.empty()) return;
        // Progress dialogs come and go on their own.
        if (qobject_cast<ProgressDialog*>(modal) != nullptr) return;
        last_ = modal;
        std::cerr << "screenshots: answering \"" << modal->windowTitle().toStdString() << "\"\n";
        Handler handler = std::move(handlers_.front());
        handlers_.pop_front();
        QTimer::singleShot(200, modal, [modal, handler] { handler(modal); });
    }

    std::deque<Handler> handlers_;
    QTimer timer_;
    // Dialogs live on the stack: a new one may take the address of the last.
    QPointer<QWidget> last_;
};

DialogScript::Handler choose(const fs::path& path) {
    return [path](QWidget* widget) {
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        auto* name = dialog != nullptr
                         ? dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
                         : nullptr;
        if (name == nullptr) {
            fail("expected a file dialog with a name field, got " +
                 widget->windowTitle().toStdString());
            widget->close();
            return;
        }
        // What a person does: go to the folder, type the name, press the accept button.
        dialog->setDirectory(QString::fromStdString(path.parent_path().string()));
        name->setText(QString::fromStdString(path.filename().string()));
        QMetaObject::invokeMethod(dialog, "accept");
    };
}

DialogScript::Handler grabAndPress(const QString& folder, const QString& name,
                                   const QString& buttonPrefix) {
    return [=](QWidget* widget) {
        save(widget, folder, name);
        for (auto* button : widget->findChildren<QAbstractButton*>()) {
            if (button->text().remove(QLatin1Char('&')).startsWith(buttonPrefix)) {
                button->click();
                return;
            }
        }
        fail(name.toStdString() + ": no button " + buttonPrefix.toStdString());
        widget->close();
    };
}

DialogScript::Handler cancelDialog() {
    return [](QWidget* widget) {
        if (auto* dialog = qobject_cast<QDialog*>(widget)) dialog->reject();
    };
}

// A job whose source delivers slowly: ten files of 1 MB over a few seconds, until cancelled.
void slowJob(JobProgress& progress, const fs::path& root) {
    constexpr std::int64_t size = 1'000'000;
    progress.setTotals({.files = 10, .units = 10 * size});
    for (int file = 0; file < 10 && !progress.isCancelled(); ++file) {
        const std::string path = (root / "Mes données/run1/sub folder with a long name" /
                                  ("measurement-" + std::to_string(file) + ".qorvels"))
                                     .string();
        marrowzip::Progress* item = progress.beginItem(path, size, true, true);
        for (int chunk = 1; chunk <= 10 && !progress.isCancelled(); ++chunk) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            item->setCompletedUnitCount(chunk * size / 10);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc < 2) {
        std::cerr << "usage: dunmarrow_screenshots <folder>\n";
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    QTemporaryDir temporary;
    const fs::path tmp = temporary.path().toStdString();
    const fs::path run1 = tmp / "Mes données/run1";
    for (const char* file : {"a.qorvels", "notes.txt", "sub/b.qorvels", "sub/deeper/c.qorvels"}) {
        writeText(run1 / file, std::string(20000, 'q'));
    }

    // A dialog that no step answers would wait for ever.
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        fail("a step took more than a minute");
        std::exit(1);
    });
    watchdog.start(60'000);

    QtUserInterface ui;
    MainWindow window(
        ui, [&] { archiveFolderTree(ui, std::cout); }, [&] { restoreFolderTree(ui, std::cout); });
    window.resize(420, 300);
    window.show();
    QEventLoop settle;
    QTimer::singleShot(300, &settle, &QEventLoop::quit);
    settle.exec();
    save(&window, out, QStringLiteral("idle.png"));

    {  // The progress dialog of a slowed job, captured mid-job, then cancelled.
        QTimer::singleShot(1500, [&] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<ProgressDialog*>(widget);
                if (dialog == nullptr || !dialog->isVisible()) continue;
                save(dialog, out, QStringLiteral("progress.png"));
                dialog->cancelButton()->click();
                return;
            }
            fail("no progress dialog after 1.5 s");
        });
        JobProgress progress;
        ui.runJob("Archiving folder trees", progress, [&](JobProgress& job) { slowJob(job, tmp); });
        if (!progress.isCancelled()) fail("the slowed job was not cancelled");
    }
    const fs::path zip = tmp / "run1archive.zip";
    {  // Archiving: the success summary.
        const DialogScript script({choose(zip), choose(run1)});
        window.contentView()->archiveButton()->click();
        save(&window, out, QStringLiteral("archive-summary.png"));
    }
    {  // An existing name in the save panel: the app's alert, then the panel again.
        const DialogScript script(
            {choose(zip),
             grabAndPress(out, QStringLiteral("existing-archive-alert.png"), QStringLiteral("OK")),
             cancelDialog()});
        window.contentView()->archiveButton()->click();
    }
    {  // Restoring into a folder of another name: the alert with its second button.
        fs::create_directories(tmp / "backup");
        const DialogScript script({choose(zip), choose(tmp / "backup"),
                                   grabAndPress(out, QStringLiteral("restore-alert.png"),
                                                QStringLiteral("Restore into"))});
        window.contentView()->restoreButton()->click();
        save(&window, out, QStringLiteral("restore-summary.png"));
    }
    {  // The same restore again: every file exists, and the failure list says so.
        const DialogScript script(
            {choose(zip), choose(tmp / "backup/run1"),
             grabAndPress(out, QStringLiteral("failure-list.png"), QStringLiteral("Close"))});
        window.contentView()->restoreButton()->click();
    }
    {  // A typed name of a folder that does not exist yet is created and restored into.
        fs::create_directories(tmp / "fresh");
        const DialogScript script({choose(zip), choose(tmp / "fresh/run1")});
        window.contentView()->restoreButton()->click();
        if (!fs::is_regular_file(tmp / "fresh/run1/sub/b.qorvels")) {
            fail("the typed new folder was not created and restored into");
        }
    }
    return failures == 0 ? 0 : 1;
}
