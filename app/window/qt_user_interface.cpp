#include "app/window/qt_user_interface.hpp"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QTreeView>
#include <chrono>

#include "app/window/path_text.hpp"
#include "app/window/progress_dialog.hpp"
#include "app/window/summary_views.hpp"

namespace dunmarrow {

using marrowzip::FileURL;

namespace {

// A job that ends sooner than this shows no dialog at all.
constexpr std::chrono::milliseconds progressDelay(500);
constexpr std::chrono::milliseconds progressInterval(50);

// File names on disk are bytes in the local encoding; QFile knows how Qt maps them.
FileURL urlOf(const QString& path, bool isDirectory) {
    return FileURL::fromPath(QFile::encodeName(path).toStdString(), isDirectory);
}

// The destination panel: a typed name of a folder that does not exist yet, inside one that
// does, is created and accepted (Qt's own panel would refuse it as not found).
class DestinationPanel final : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override {
        const QStringList paths = selectedFiles();
        if (paths.size() == 1) {
            const QFileInfo chosen(paths.first());
            if (!chosen.exists() && chosen.dir().exists()) chosen.dir().mkdir(chosen.fileName());
        }
        QFileDialog::accept();
    }
};

void addHint(QFileDialog& dialog, const QString& text) {
    auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
    if (grid == nullptr) return;
    auto* hint = new QLabel(text, &dialog);
    hint->setWordWrap(true);
    grid->addWidget(hint, grid->rowCount(), 0, 1, grid->columnCount());
}

}  // namespace

QString withZipExtension(const QString& path) {
    if (QFileInfo(path).suffix().compare(QLatin1String("zip"), Qt::CaseInsensitive) == 0) {
        return path;
    }
    return path + QLatin1String(".zip");
}

void configureFolderPanel(QFileDialog& dialog, bool severalFolders) {
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (!severalFolders) return;
    // Qt's directory mode selects one folder; its list and tree views accept more when asked.
    for (auto* view : dialog.findChildren<QListView*>(QStringLiteral("listView"))) {
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    }
    for (auto* view : dialog.findChildren<QTreeView*>(QStringLiteral("treeView"))) {
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    }
}

QStringList archiveNameFilters() {
    return {QFileDialog::tr("ZIP files (*.zip)"), QFileDialog::tr("All files (*)")};
}

QString existingArchiveText(const QString& path) {
    return QFileDialog::tr(
               "%1 already exists; the app never replaces an archive; choose another name")
        .arg(QFileInfo(path).fileName());
}

QStringList QtUserInterface::runPanel(QFileDialog& dialog) const {
    if (dialog.exec() != QDialog::Accepted || isQuitting()) return {};
    return dialog.selectedFiles();
}

void QtUserInterface::requestQuit() {
    quitting_ = true;
    if (runningJob_ != nullptr) runningJob_->cancel();
    // Each closed dialog returns from its exec(); the command then meets `quitting_`.
    QTimer::singleShot(0, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            if (qobject_cast<ProgressDialog*>(modal) == nullptr) modal->close();
        }
    });
}

std::optional<FileURL> QtUserInterface::chooseNewZipFile() {
    while (!quitting_) {
        QFileDialog dialog(dialogParent_, QFileDialog::tr("New archive"));
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        // An existing name gets the app's own alert below, never an offer to replace it.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilters(archiveNameFilters());
        dialog.setDefaultSuffix(QStringLiteral("zip"));
        const QStringList paths = runPanel(dialog);
        if (paths.isEmpty()) return std::nullopt;
        const QString path = withZipExtension(paths.first());
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink()) return urlOf(path, false);
        QMessageBox alert(dialogParent_);
        alert.setWindowTitle(QFileDialog::tr("New archive"));
        alert.setIcon(QMessageBox::Warning);
        alert.setText(existingArchiveText(path));
        alert.setStandardButtons(QMessageBox::Ok);
        alert.exec();
    }
    return std::nullopt;
}

std::vector<FileURL> QtUserInterface::chooseFolders() {
    if (!presetFolders_.empty()) return std::exchange(presetFolders_, {});
    if (quitting_) return {};
    QFileDialog dialog(dialogParent_, QFileDialog::tr("Folders to archive"));
    configureFolderPanel(dialog, true);
    addHint(dialog, QFileDialog::tr("Several folders may be chosen: Ctrl+click adds one, "
                                    "Shift+click a range. The first one chosen comes first in "
                                    "the archive."));
    std::vector<FileURL> folders;
    for (const QString& path : runPanel(dialog))
        folders.push_back(urlOf(path, true));
    return folders;
}

std::optional<FileURL> QtUserInterface::chooseFile() {
    if (presetArchive_) return std::exchange(presetArchive_, std::nullopt);
    if (quitting_) return std::nullopt;
    QFileDialog dialog(dialogParent_, QFileDialog::tr("Archive to restore"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(archiveNameFilters());
    const QStringList paths = runPanel(dialog);
    if (paths.isEmpty()) return std::nullopt;
    return urlOf(paths.first(), false);
}

std::optional<FileURL> QtUserInterface::chooseFolder() {
    if (quitting_) return std::nullopt;
    DestinationPanel dialog(dialogParent_,
                            QFileDialog::tr("Folder that becomes the tree's root again"));
    configureFolderPanel(dialog, false);
    addHint(dialog, QFileDialog::tr("Choose the folder named like the archive's first folder, or "
                                    "type the name of a new one."));
    const QStringList paths = runPanel(dialog);
    if (paths.isEmpty()) return std::nullopt;
    return urlOf(paths.first(), true);
}

bool QtUserInterface::showAlert(const std::string& message, const std::string& informativeText,
                                const std::string& alternative) {
    if (quitting_) return false;
    QMessageBox alert(dialogParent_);
    alert.setIcon(QMessageBox::Warning);
    alert.setText(localText(message));
    alert.setInformativeText(breakableAtSeparators(localText(informativeText)));
    QPushButton* ok = alert.addButton(QMessageBox::Ok);
    QPushButton* inside = nullptr;
    if (!alternative.empty()) {
        inside =
            alert.addButton(breakableAtSeparators(localText(alternative)), QMessageBox::AcceptRole);
    }
    alert.setDefaultButton(ok);
    alert.setEscapeButton(ok);
    alert.exec();
    return inside != nullptr && alert.clickedButton() == inside && !isQuitting();
}

void QtUserInterface::runJob(const std::string& title, JobProgress& progress,
                             const JobRunner::Work& work) {
    if (quitting_) return;
    ProgressDialog dialog(localText(title), dialogParent_);
    JobRunner runner(progress, work);
    runningJob_ = &progress;
    QEventLoop loop;
    QTimer timer;
    QObject::connect(&dialog, &ProgressDialog::cancelRequested, [&runner] { runner.cancel(); });
    QObject::connect(&dialog, &ProgressDialog::quitRequested, [this] {
        if (dialogParent_) dialogParent_->close();
    });
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (runner.isFinished()) {
            loop.quit();
            return;
        }
        if (!dialog.isVisible() && runner.elapsed() >= progressDelay) dialog.show();
        if (dialog.isVisible()) dialog.showProgress(progress.snapshot(), runner.elapsed());
    });
    timer.start(progressInterval);
    loop.exec();
    runningJob_ = nullptr;
    runner.wait();
}

void QtUserInterface::showSummary(const JobSummary& summary) {
    if (quitting_) return;
    if (showSummaryLine_) showSummaryLine_(summary);
    if (summary.failures.empty() && summary.warnings.empty()) return;
    FailureListDialog dialog(summary, dialogParent_);
    dialog.exec();
}

}  // namespace dunmarrow
