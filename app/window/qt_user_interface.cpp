#include "app/window/qt_user_interface.hpp"

#include <QAbstractItemView>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QListView>
#include <QMessageBox>
#include <QStringList>
#include <QTreeView>

namespace dunmarrow {

using marrowzip::FileURL;

namespace {

// File names on disk are bytes in the local encoding; QFile knows how Qt maps them.
FileURL urlOf(const QString& path, bool isDirectory) {
    return FileURL::fromPath(QFile::encodeName(path).toStdString(), isDirectory);
}

// The paths the person chose; none when the panel was cancelled.
QStringList runPanel(QFileDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles();
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

std::optional<FileURL> QtUserInterface::chooseNewZipFile() {
    QFileDialog dialog(dialogParent_);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QFileDialog::tr("ZIP archives (*.zip)"));
    dialog.setDefaultSuffix(QStringLiteral("zip"));
    const QStringList paths = runPanel(dialog);
    if (paths.isEmpty()) return std::nullopt;
    return urlOf(withZipExtension(paths.first()), false);
}

std::vector<FileURL> QtUserInterface::chooseFolders() {
    QFileDialog dialog(dialogParent_);
    configureFolderPanel(dialog, true);
    std::vector<FileURL> folders;
    for (const QString& path : runPanel(dialog))
        folders.push_back(urlOf(path, true));
    return folders;
}

std::optional<FileURL> QtUserInterface::chooseFile() {
    QFileDialog dialog(dialogParent_);
    dialog.setFileMode(QFileDialog::ExistingFile);
    const QStringList paths = runPanel(dialog);
    if (paths.isEmpty()) return std::nullopt;
    return urlOf(paths.first(), false);
}

std::optional<FileURL> QtUserInterface::chooseFolder() {
    QFileDialog dialog(dialogParent_);
    configureFolderPanel(dialog, false);
    const QStringList paths = runPanel(dialog);
    if (paths.isEmpty()) return std::nullopt;
    return urlOf(paths.first(), true);
}

void QtUserInterface::showAlert(const std::string& message, const std::string& informativeText) {
    QMessageBox alert(dialogParent_);
    alert.setIcon(QMessageBox::Warning);
    alert.setText(QString::fromStdString(message));
    alert.setInformativeText(QString::fromStdString(informativeText));
    alert.setStandardButtons(QMessageBox::Ok);
    alert.setDefaultButton(QMessageBox::Ok);
    alert.exec();
}

}  // namespace dunmarrow
