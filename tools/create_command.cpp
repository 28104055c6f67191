// marrowzip create [--store] [--prefix] [--comment TEXT] ARCHIVE ITEM
#include <filesystem>

#include "commands.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "marrowzip/filesystem/zip_item.hpp"
#include "progress_bar.hpp"

namespace marrowzip::tool {
namespace {

// A new archive inside the folder being archived would be listed with the folder and read
// while it is being written, storing a torn copy of itself.
void refuseArchiveInsideFolder(const CreateOptions& options) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(options.item, error))) return;
    const std::string folder = (fs::weakly_canonical(options.item, error) / "").string();
    const std::string archive = fs::weakly_canonical(options.archive, error).string();
    if (error) return;  // the engine reports what cannot be resolved
    if (archive.starts_with(folder)) {
        throw CommandFailure(options.archive + ": the archive would lie inside the folder " +
                             options.item + " that it archives");
    }
}

}  // namespace

int runCreate(const CreateOptions& options, ToolContext& context) {
    context.subject = options.archive;
    context.paths.add(options.archive);
    context.paths.add(options.item);
    context.interruptedNote = "no archive was created";
    refuseArchiveInsideFolder(options);

    const FileURL source = FileURL::fromPath(options.item);
    const FileURL destination = FileURL::fromPath(options.archive);
    // Half an archive is not what was asked for: the file this run created goes, so that a
    // failed or interrupted create leaves nothing behind. One that was there before is never
    // touched (the engine refuses it before writing anything).
    const bool existedBefore = isReachable(destination);
    const auto removeWhatThisRunCreated = [&] {
        std::error_code ignored;
        if (!existedBefore) std::filesystem::remove(destination.path(), ignored);
    };
    Progress progress;
    auto attachment = context.interrupts.attach(progress);
    try {
        ProgressBar bar(progress, "creating", context.showProgress);
        zipFileSystemItem(
            source, destination, options.prefix,
            options.store ? CompressionMethod::none : CompressionMethod::deflate, &progress,
            [&](const Warning& warning) {
                bar.printErrorLine("warning: " + describeWarning(warning, context.paths));
            },
            /*storeIfNotSmaller=*/true);
        if (options.comment) {
            Archive archive = Archive::openFile(destination, Archive::AccessMode::update);
            archive.setComment(*options.comment);
        }
    } catch (const Error& error) {
        // Another process may have made the file in the meantime: that one stays.
        if (error.code() != FileError::fileWriteFileExists) removeWhatThisRunCreated();
        throw;
    } catch (...) {
        removeWhatThisRunCreated();
        throw;
    }
    return exitSuccess;
}

}  // namespace marrowzip::tool
