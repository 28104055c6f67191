// Panels that answer from a script, and helpers shared by the command tests.
#pragma once

#include <sstream>

#include "app/commands/user_interface.hpp"
#include "marrowzip/container/archive.hpp"
#include "support/test_support.hpp"

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

inline FileURL fileURL(const std::filesystem::path& path, bool isDirectory = false) {
    return FileURL::fromPath(path.string(), isDirectory);
}

inline std::vector<std::string> entryPaths(const std::filesystem::path& zip) {
    std::vector<std::string> paths;
    for (const auto& entry :
         marrowzip::Archive::openFile(fileURL(zip), marrowzip::Archive::AccessMode::read)) {
        paths.push_back(entry.path());
    }
    return paths;
}

}  // namespace dunmarrow::testing
