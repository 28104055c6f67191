// The app's two commands without a window, for bench/compare: the panels answer from the command
// line, and whatever the commands report is a failure.
//
//     dunmarrow_bench archive NEW_ZIP FOLDER
//     dunmarrow_bench restore ZIP FOLDER      (FOLDER named like the archive's root)
#include <iostream>
#include <sstream>
#include <string>

#include "app/commands/archive_folder_tree.hpp"
#include "app/commands/restore_folder_tree.hpp"

namespace {

using marrowzip::FileURL;

class CommandLinePanels final : public dunmarrow::UserInterface {
public:
    CommandLinePanels(FileURL zip, FileURL folder)
        : zip_(std::move(zip)), folder_(std::move(folder)) {}

    std::optional<FileURL> chooseNewZipFile() override { return zip_; }
    std::vector<FileURL> chooseFolders() override { return {folder_}; }
    std::optional<FileURL> chooseFile() override { return zip_; }
    std::optional<FileURL> chooseFolder() override { return folder_; }
    bool showAlert(const std::string& message, const std::string& informativeText,
                   const std::string& /*alternative*/) override {
        alerted_ = true;
        std::cerr << message << ": " << informativeText << '\n';
        return false;
    }
    // The job runs on its worker thread as in the window; nothing here cancels it.
    void runJob(const std::string& /*title*/, dunmarrow::JobProgress& progress,
                const dunmarrow::JobRunner::Work& work) override {
        dunmarrow::JobRunner runner(progress, work);
        runner.wait();
    }
    void showSummary(const dunmarrow::JobSummary& /*summary*/) override {}
    bool alerted() const { return alerted_; }

private:
    FileURL zip_;
    FileURL folder_;
    bool alerted_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc == 4 ? argv[1] : "";
    if (command != "archive" && command != "restore") {
        std::cerr << "usage: dunmarrow_bench archive|restore ZIP FOLDER\n";
        return 2;
    }
    CommandLinePanels panels(FileURL::fromPath(argv[2]), FileURL::fromPath(argv[3], true));
    std::ostringstream out;
    if (command == "archive") {
        dunmarrow::archiveFolderTree(panels, out);
    } else {
        dunmarrow::restoreFolderTree(panels, out);
    }
    std::cerr << out.str();
    return out.str().empty() && !panels.alerted() ? 0 : 1;
}
