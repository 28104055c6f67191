// Panels that answer from a script, for the command tests.
#pragma once

#include <sstream>

#include "app/commands/user_interface.hpp"
#include "filesystem/tree_comparison.hpp"

namespace dunmarrow::testing {

namespace fs = std::filesystem;
using marrowzip::Bytes;
using marrowzip::Error;
using marrowzip::FileURL;
using namespace marrowzip::testing;

struct ScriptedUserInterface final : UserInterface {
    std::optional<FileURL> newZipFile, file, folder;
    std::vector<FileURL> folders;
    std::vector<std::string> alerts;  // message, then informative text
    std::ostringstream out;           // the commands' standard output

    std::optional<FileURL> chooseNewZipFile() override { return newZipFile; }
    std::vector<FileURL> chooseFolders() override { return folders; }
    std::optional<FileURL> chooseFile() override { return file; }
    std::optional<FileURL> chooseFolder() override { return folder; }
    void showAlert(const std::string& message, const std::string& informativeText) override {
        alerts = {message, informativeText};
    }
};

}  // namespace dunmarrow::testing
