#include "app/commands/archive_folder_tree.hpp"

#include <exception>
#include <filesystem>
#include <optional>
#include <system_error>

#include "app/commands/folder_tree_walk.hpp"
#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/error.hpp"

namespace dunmarrow {

using marrowzip::Archive;
using marrowzip::FileURL;

namespace {

bool isCancellation(const std::exception& error, const JobProgress& progress) {
    const auto* engineError = dynamic_cast<const marrowzip::Error*>(&error);
    return progress.isCancelled() && engineError != nullptr &&
           engineError->code() == marrowzip::ArchiveError::cancelledOperation;
}

// What the archive holds once written: the summary counts what is there, not what was tried.
void countArchived(JobSummary& summary) {
    std::error_code error;
    summary.archiveSize = std::filesystem::file_size(summary.archivePath, error);
    const auto archive =
        Archive::tryOpenFile(FileURL::fromPath(summary.archivePath), Archive::AccessMode::read);
    if (!archive) return;
    for (const auto& entry : *archive) {
        if (entry.type() == marrowzip::EntryType::directory) {
            ++summary.folders;
        } else {
            ++summary.files;
            summary.bytesIn += entry.uncompressedSize();
        }
    }
}

void archiveFolders(const FileURL& destination, const std::vector<FileURL>& folders,
                    JobProgress& progress, FailureLog& log, JobSummary& summary) {
    try {
        // `create` never replaces a file: an existing one stays as it was and the open fails
        // with the file-exists error.
        Archive archive = Archive::openFile(destination, Archive::AccessMode::create);
        summary.started = true;
        // Counting first is a walk of names and sizes, so that one large file moves the bar.
        JobTotals total;
        for (const auto& folder : folders) {
            const JobTotals work = countCollectedTree(folder, &progress);
            total.files += work.files;
            total.units += work.units;
        }
        summary.filesPlanned = total.files;
        progress.setTotals(total);

        Archive::BulkAppend bulk = archive.beginBulkAppend();
        for (const auto& folder : folders) {
            addTreeToArchive(folder, marrowzip::CompressionMethod::deflate, archive, &progress,
                             [&](const marrowzip::Warning& skipped) { log.warn(skipped.text()); });
        }
        bulk.finish();
    } catch (const std::exception& error) {
        // A failed or cancelled append writes the central directory of the entries before it,
        // so stopping here loses nothing written.
        if (isCancellation(error, progress)) {
            summary.cancelled = true;
        } else {
            log.fail(error.what());
        }
    }
}

}  // namespace

void archiveFolderTree(UserInterface& ui, std::ostream& out) {
    const auto destination = ui.chooseNewZipFile();
    if (!destination) return;
    const auto folders = ui.chooseFolders();
    if (folders.empty()) return;

    JobSummary summary;
    summary.command = JobSummary::Command::archive;
    summary.archivePath = destination->path();
    summary.chosenFolders = static_cast<std::int64_t>(folders.size());
    FailureLog log(out, summary);
    JobProgress progress;
    ui.runJob("Archiving folder trees", progress, [&](JobProgress& job) {
        archiveFolders(*destination, folders, job, log, summary);
        if (summary.started) countArchived(summary);
    });
    ui.showSummary(summary);
}

}  // namespace dunmarrow
