// What the two commands ask of the person at the screen: the panels and the alert. The window
// implements it with Qt; tests implement it with scripted answers.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "marrowzip/common/file_url.hpp"

namespace dunmarrow {

class UserInterface {
public:
    virtual ~UserInterface() = default;

    // The location of a new ZIP file; absent when the panel is cancelled.
    virtual std::optional<marrowzip::FileURL> chooseNewZipFile() = 0;
    // One or more folders in the order the panel gives them; empty when cancelled.
    virtual std::vector<marrowzip::FileURL> chooseFolders() = 0;
    // One existing file; absent when cancelled.
    virtual std::optional<marrowzip::FileURL> chooseFile() = 0;
    // One existing folder; absent when cancelled.
    virtual std::optional<marrowzip::FileURL> chooseFolder() = 0;
    // A modal alert with a single default button.
    virtual void showAlert(const std::string& message, const std::string& informativeText) = 0;

protected:
    UserInterface() = default;
    UserInterface(const UserInterface&) = default;
    UserInterface& operator=(const UserInterface&) = default;
};

}  // namespace dunmarrow
