// The panels and the alert of the two commands, as Qt file dialogs and a message box. Every
// one runs modally on the main thread and returns when the person closes it.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include "app/commands/user_interface.hpp"

class QFileDialog;

namespace dunmarrow {

class QtUserInterface final : public UserInterface {
public:
    explicit QtUserInterface(QWidget* dialogParent = nullptr) : dialogParent_(dialogParent) {}

    // The widget the panels are centred on and modal to.
    void setDialogParent(QWidget* parent) { dialogParent_ = parent; }

    std::optional<marrowzip::FileURL> chooseNewZipFile() override;
    std::vector<marrowzip::FileURL> chooseFolders() override;
    std::optional<marrowzip::FileURL> chooseFile() override;
    std::optional<marrowzip::FileURL> chooseFolder() override;
    void showAlert(const std::string& message, const std::string& informativeText) override;

private:
    QPointer<QWidget> dialogParent_;
};

// The name a new archive is saved under: the chosen one when it ends in ".zip" (any case), else
// the chosen one with ".zip" added, so that only ZIP files are ever written.
QString withZipExtension(const QString& path);

// Folder panels use Qt's own dialog, whose views can be switched to extended selection.
void configureFolderPanel(QFileDialog& dialog, bool severalFolders);

}  // namespace dunmarrow
