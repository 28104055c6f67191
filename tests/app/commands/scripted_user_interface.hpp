// Panels that answer from a script, and jobs run on the app's worker-thread runner, for the
// command tests.
#pragma once

#include <chrono>
#include <sstream>

#include "app/commands/archive_folder_tree.hpp"
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
    std::vector<std::string> alerts;  // message, informative text, second button
    bool chooseAlternative = false;   // the alert's answer
    std::ostringstream out;           // the commands' standard output
    // Cancels the job from this thread once this many units are done.
    std::optional<std::int64_t> cancelAtUnits;
    ProgressSnapshot lastProgress;  // as the job ended
    std::optional<JobSummary> summary;

    std::optional<FileURL> chooseNewZipFile() override { return newZipFile; }
    std::vector<FileURL> chooseFolders() override { return folders; }
    std::optional<FileURL> chooseFile() override { return file; }
    std::optional<FileURL> chooseFolder() override { return folder; }
    bool showAlert(const std::string& message, const std::string& informativeText,
                   const std::string& alternative) override {
        alerts = {message, informativeText, alternative};
        return chooseAlternative;
    }
    void runJob(const std::string& /*title*/, JobProgress& progress,
                const JobRunner::Work& work) override {
        JobRunner runner(progress, work);
        while (!runner.waitFor(std::chrono::milliseconds(1))) {
            if (cancelAtUnits && progress.snapshot().unitsDone >= *cancelAtUnits) runner.cancel();
        }
        runner.wait();
        lastProgress = progress.snapshot();
    }
    void showSummary(const JobSummary& shown) override { summary = shown; }
};

// Archives `folders` into `zip` as the window would after its panels; answers what the command
// printed (the summary stays in `ui`).
inline std::string archiveInto(ScriptedUserInterface& ui, const fs::path& zip,
                               const std::vector<fs::path>& folders) {
    ui.newZipFile = fileURL(zip);
    for (const auto& folder : folders)
        ui.folders.push_back(fileURL(folder, true));
    archiveFolderTree(ui, ui.out);
    return ui.out.str();
}

}  // namespace dunmarrow::testing
