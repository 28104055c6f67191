// What the two commands ask of the person at the screen: the panels, the alert, the work shown
// while it runs, and its summary. The window implements it with Qt; tests implement it with
// scripted answers.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/commands/job.hpp"
#include "marrowzip/common/file_url.hpp"

namespace dunmarrow {

class UserInterface {
public:
    virtual ~UserInterface() = default;

    // The location of a new ZIP file (never an existing one); absent when the panel is cancelled.
    virtual std::optional<marrowzip::FileURL> chooseNewZipFile() = 0;
    // One or more folders in the order the panel gives them; empty when cancelled.
    virtual std::vector<marrowzip::FileURL> chooseFolders() = 0;
    // One existing file; absent when cancelled.
    virtual std::optional<marrowzip::FileURL> chooseFile() = 0;
    // One folder (a new one is created by the panel); absent when cancelled.
    virtual std::optional<marrowzip::FileURL> chooseFolder() = 0;
    // A modal alert with a default button, and a second one titled `alternative` when it is not
    // empty; true when the person chose the second.
    virtual bool showAlert(const std::string& message, const std::string& informativeText,
                           const std::string& alternative) = 0;
    // Runs `work` on a worker thread and returns when it has ended; meanwhile the window
    // answers, shows the progress under `title` and may cancel the job through `progress`.
    virtual void runJob(const std::string& title, JobProgress& progress,
                        const JobRunner::Work& work) = 0;
    // What a command did, once it has ended.
    virtual void showSummary(const JobSummary& summary) = 0;

protected:
    UserInterface() = default;
    UserInterface(const UserInterface&) = default;
    UserInterface& operator=(const UserInterface&) = default;
};

}  // namespace dunmarrow
