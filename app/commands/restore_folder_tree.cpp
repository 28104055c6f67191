#include "app/commands/restore_folder_tree.hpp"

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "app/commands/folder_tree_walk.hpp"
#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/saturating.hpp"
#include "marrowzip/filesystem/extraction_folder.hpp"
#include "marrowzip/filesystem/extraction_pass.hpp"

namespace dunmarrow {

using marrowzip::Archive;
using marrowzip::Entry;
using marrowzip::EntryIterator;
using marrowzip::Error;
using marrowzip::ExtractionFolder;
using marrowzip::FileURL;

namespace {

std::string incompatibleAlertText(const std::string& rootPath, const FileURL& destination) {
    std::string text(incompatibleAlertStart);
    text += rootPath;
    text += incompatibleAlertMiddle;
    text += plainPath(destination);
    return text;
}

// A damaged central record or an encrypted entry ends the pass before the count the end
// records declare; the entries before it are handled, and the person learns the rest is not.
void reportEarlyEnd(const EntryIterator& entries, const FileURL& archiveURL, FailureLog& log) {
    if (!entries.endedEarly()) return;
    log.fail(std::string(extractionFailedLine) + entries.earlyEndError(archiveURL.path()).what());
}

bool isRestoredEntry(const std::string& path) {
    return path.ends_with(collectedExtension);
}

// The entries after the root that will be restored, and their bytes, for the progress bar.
void countRestoredEntries(const Archive& archive, JobProgress& progress, JobSummary& summary) {
    EntryIterator entries = archive.makeEntryIterator();
    JobTotals totals;
    if (entries.next()) {
        while (const std::optional<Entry> entry = entries.next()) {
            progress.throwIfCancelled();
            if (!isRestoredEntry(entry->path())) continue;
            ++totals.files;
            totals.units = marrowzip::addUnits(totals.units,
                                               marrowzip::unitsOfSize(entry->uncompressedSize()));
        }
    }
    summary.filesPlanned = totals.files;
    progress.setTotals(totals);
}

// The description of a failed entry without the paths its line names already: the entry's
// path comes first in the line, and the file written is that path below the base.
std::string entryFailureText(const std::exception& error) {
    const auto* engineError = dynamic_cast<const Error*>(&error);
    if (engineError == nullptr) return error.what();
    return Error(engineError->code(), {}, {}, engineError->detail()).what();
}

// Every later `qorvels` entry, on worker threads, each failure reported in archive order.
// The path is the archive's word and is not trusted: the extraction folder refuses one that
// leads out of the base, textually or through a link already on disk, and an entry whose local
// record shares bytes with one restored before (a small archive listing one compressed block
// many times would otherwise fill the disk).
void restoreEntries(Archive& archive, const FileURL& destination, JobProgress& progress,
                    FailureLog& log, JobSummary& summary) {
    countRestoredEntries(archive, progress, summary);
    ExtractionFolder base(destination.deletingLastPathComponent());
    try {
        const marrowzip::ExtractResult result = marrowzip::extractEntries(
            archive, {.folder = &base},
            {.filter =
                 [root = true](const Entry&, const std::string& path) mutable {
                     // The root itself is never restored.
                     return !std::exchange(root, false) && isRestoredEntry(path);
                 },
             .onEntryError =
                 [&](const Entry&, const std::string& path, const Error& error) {
                     log.fail("File " + path + " with " + entryFailureText(error));
                 },
             .progress =
                 [&](const Entry&, const std::string& path, std::int64_t units) {
                     return progress.beginItem(base.url().appendingPathComponent(path).path(),
                                               units, /*isFile=*/true, /*cancellable=*/true);
                 }});
        summary.files = static_cast<std::int64_t>(result.extracted);
        summary.filesFailed = static_cast<std::int64_t>(result.failed);
        summary.cancelled = result.cancelled;
        if (result.endedEarly)
            log.fail(std::string(extractionFailedLine) + result.endedEarly->what());
    } catch (const std::exception& error) {
        log.fail(std::string(extractionFailedLine) + error.what());
    }
    // Folders restored by name (a `qorvels` folder whose entry is a folder by its attributes)
    // get their mode and time once nothing more is created in them.
    try {
        base.finishFolderTimes();
    } catch (const std::exception& error) {
        log.fail(std::string(extractionFailedLine) + error.what());
    }
}

// The first component of the root's path: the folder's name for an archive of folders.
std::string rootName(const std::string& rootPath) {
    return rootPath.substr(0, rootPath.find('/'));
}

// The folder offered when the chosen one does not match: the root's folder inside it; none
// when that name could not be a folder's.
std::optional<FileURL> folderInside(const FileURL& destination, const std::string& rootPath) {
    const std::string root = rootName(rootPath);
    if (root.empty() || root == "." || root == "..") return std::nullopt;
    return destination.appendingPathComponent(root).asDirectory();
}

}  // namespace

std::string plainPath(const FileURL& url) {
    std::string path = url.path();
    while (path.size() > 1 && path.ends_with('/'))
        path.pop_back();
    return path;
}

void restoreFolderTree(UserInterface& ui, std::ostream& out) {
    const auto archiveURL = ui.chooseFile();
    if (!archiveURL) return;
    auto destination = ui.chooseFolder();
    if (!destination) return;

    JobSummary summary;
    summary.command = JobSummary::Command::restore;
    summary.archivePath = archiveURL->path();
    FailureLog log(out, summary);
    std::optional<Archive> archive;
    std::optional<EntryIterator> entries;
    try {
        // Opening and reading the root are quick and decide whether the alert is shown.
        archive = Archive::openFile(*archiveURL, Archive::AccessMode::read);
        entries = archive->makeEntryIterator();
        const std::optional<Entry> rootEntry = entries->next();
        summary.started = true;
        if (!rootEntry) {
            summary.emptyArchive = !entries->endedEarly();
            reportEarlyEnd(*entries, *archiveURL, log);
            ui.showSummary(summary);
            return;
        }
        // A plain text prefix, not a component test: "run" accepts the root "run1/".
        const std::string rootPath = rootEntry->path();
        if (!rootPath.starts_with(destination->lastPathComponent())) {
            const auto inside = folderInside(*destination, rootPath);
            const std::string alternative =
                inside ? "Restore into " + plainPath(*inside) : std::string();
            const bool restoreInside =
                ui.showAlert(std::string(incompatibleAlertMessage),
                             incompatibleAlertText(rootPath, *destination), alternative);
            if (!restoreInside || !inside) return;
            // The same as choosing that folder: it exists from now on, whatever is restored.
            std::error_code ignored;
            std::filesystem::create_directory(inside->filesystemPath(), ignored);
            destination = inside;
        }
        // The files land below the chosen folder's parent, under the root's own name.
        summary.restoredFolder = plainPath(
            destination->deletingLastPathComponent().appendingPathComponent(rootName(rootPath)));
    } catch (const std::exception& error) {
        log.fail(std::string(extractionFailedLine) + error.what());
        ui.showSummary(summary);
        return;
    }

    JobProgress progress;
    ui.runJob("Restoring a folder tree", progress, [&](JobProgress& job) {
        try {
            restoreEntries(*archive, *destination, job, log, summary);
        } catch (const std::exception& error) {
            log.fail(std::string(extractionFailedLine) + error.what());
        }
    });
    archive.reset();
    ui.showSummary(summary);
}

}  // namespace dunmarrow
