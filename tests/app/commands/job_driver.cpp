// A console front end over the app's commands, job runner and signal handling: archives the
// folders given after the new archive's path, as the window would after its panels. The test
// that stops a job with SIGTERM runs it; "started" on standard error tells it that bytes are
// being appended.
#include <chrono>
#include <iostream>

#include "app/commands/archive_folder_tree.hpp"
#include "app/commands/termination_signals.hpp"

namespace {

using dunmarrow::JobProgress;
using dunmarrow::JobRunner;
using dunmarrow::JobSummary;
using marrowzip::FileURL;

struct ConsoleUserInterface final : dunmarrow::UserInterface {
    ConsoleUserInterface(FileURL zip, std::vector<FileURL> folders,
                         const dunmarrow::TerminationSignals& signals)
        : zip_(std::move(zip)), folders_(std::move(folders)), signals_(signals) {}

    std::optional<FileURL> chooseNewZipFile() override { return zip_; }
    std::vector<FileURL> chooseFolders() override { return folders_; }
    std::optional<FileURL> chooseFile() override { return std::nullopt; }
    std::optional<FileURL> chooseFolder() override { return std::nullopt; }
    bool showAlert(const std::string&, const std::string&, const std::string&) override {
        return false;
    }
    // The window watches the signal pipe from its event loop; here a poll does the same.
    void runJob(const std::string& /*title*/, JobProgress& progress,
                const JobRunner::Work& work) override {
        JobRunner runner(progress, work);
        bool announced = false;
        while (!runner.waitFor(std::chrono::milliseconds(10))) {
            if (!announced && progress.snapshot().unitsDone > 0) {
                std::cerr << "started" << std::endl;
                announced = true;
            }
            if (signals_.consume()) runner.cancel();
        }
        runner.wait();
    }
    void showSummary(const JobSummary& summary) override {
        std::cout << summary.text() << std::endl;
    }

private:
    FileURL zip_;
    std::vector<FileURL> folders_;
    const dunmarrow::TerminationSignals& signals_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: dunmarrow_job_driver NEW.zip FOLDER...\n";
        return 2;
    }
    const dunmarrow::TerminationSignals signals;
    std::vector<FileURL> folders;
    for (int i = 2; i < argc; ++i)
        folders.push_back(FileURL::fromPath(argv[i], true));
    ConsoleUserInterface ui(FileURL::fromPath(argv[1]), std::move(folders), signals);
    dunmarrow::archiveFolderTree(ui, std::cout);
    return 0;
}
