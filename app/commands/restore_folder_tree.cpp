#include "app/commands/restore_folder_tree.hpp"

#include <exception>
#include <optional>
#include <string>

#include "app/commands/folder_tree_walk.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/container/archive.hpp"
#include "marrowzip/container/local_record_ranges.hpp"
#include "marrowzip/filesystem/extraction_folder.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"

namespace dunmarrow {

using marrowzip::Archive;
using marrowzip::ArchiveError;
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
    text += destination.asDirectory().absoluteString();
    return text;
}

// One `qorvels` entry written beneath the extraction base. The path is the archive's word and
// is not trusted: a path leading out of the base is refused here, and one that would leave it
// through a link already on disk is refused by the extraction folder, which creates every item
// through a descriptor of the base.
// An entry whose local record shares bytes with one restored before (or with the central
// directory) is refused before anything of it is written: a small archive listing one
// compressed block many times would otherwise fill the disk.
void restoreEntry(Archive& archive, ExtractionFolder& base, marrowzip::LocalRecordRanges& ranges,
                  const Entry& entry, const std::string& path) {
    const FileURL destination = base.url().appendingPathComponent(path);
    if (!marrowzip::liesWithin(destination, base.url())) {
        throw Error(marrowzip::FileError::fileReadInvalidFileName, destination.path());
    }
    ranges.claim(entry, archive.url().path(), path);
    const std::uint32_t checksum = base.extract(archive, entry, path, marrowzip::defaultChunkSize,
                                                /*skipChecksum=*/false,
                                                /*allowLinksOutside=*/false, nullptr);
    // The written file stays, as the whole-archive unzip leaves it; the person is told.
    if (checksum != entry.checksum()) {
        throw Error(ArchiveError::invalidCRC32, destination.path());
    }
}

// A damaged central record or an encrypted entry ends the pass before the count the end
// records declare; the entries before it are handled, and the person learns the rest is not.
void reportEarlyEnd(const EntryIterator& entries, const FileURL& archiveURL, std::ostream& out) {
    if (!entries.endedEarly()) return;
    const std::string detail =
        entries.stoppedAtEncryptedEntry() ? "encrypted entries are not supported" : "";
    const Error error(ArchiveError::invalidCentralDirectoryEntryCount, archiveURL.path(), {},
                      detail);
    out << extractionFailedLine << error.what() << '\n';
}

void restoreEntries(UserInterface& ui, Archive& archive, const FileURL& archiveURL,
                    const FileURL& destination, std::ostream& out) {
    EntryIterator entries = archive.makeEntryIterator();
    const std::optional<Entry> rootEntry = entries.next();
    if (!rootEntry) {
        reportEarlyEnd(entries, archiveURL, out);
        return;
    }

    // A plain text prefix, not a component test: "run" accepts the root "run1/".
    const std::string rootPath = rootEntry->path();
    if (!rootPath.starts_with(destination.lastPathComponent())) {
        ui.showAlert(std::string(incompatibleAlertMessage),
                     incompatibleAlertText(rootPath, destination));
        return;
    }

    ExtractionFolder base(destination.deletingLastPathComponent());
    marrowzip::LocalRecordRanges ranges(archive);
    while (const std::optional<Entry> entry = entries.next()) {
        const std::string path = entry->path();
        if (!path.ends_with(collectedExtension)) continue;
        try {
            restoreEntry(archive, base, ranges, *entry, path);
        } catch (const std::exception& error) {
            out << "File " << path << " with " << error.what() << '\n';
        }
    }
    // Folders restored by name (a `qorvels` folder whose entry is a folder by its attributes)
    // get their mode and time once nothing more is created in them.
    try {
        base.finishFolderTimes();
    } catch (const std::exception& error) {
        out << extractionFailedLine << error.what() << '\n';
    }
    reportEarlyEnd(entries, archiveURL, out);
}

}  // namespace

void restoreFolderTree(UserInterface& ui, std::ostream& out) {
    const auto archiveURL = ui.chooseFile();
    if (!archiveURL) return;
    const auto destination = ui.chooseFolder();
    if (!destination) return;

    try {
        Archive archive = Archive::openFile(*archiveURL, Archive::AccessMode::read);
        restoreEntries(ui, archive, *archiveURL, *destination, out);
    } catch (const std::exception& error) {
        out << extractionFailedLine << error.what() << '\n';
    }
}

}  // namespace dunmarrow
