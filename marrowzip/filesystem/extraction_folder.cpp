#include "marrowzip/filesystem/extraction_folder.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "marrowzip/common/error.hpp"
#include "marrowzip/container/archive.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "marrowzip/filesystem/beneath.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "marrowzip/operations/extract_steps.hpp"

namespace marrowzip {

// A folder's attributes wait for the end of the extraction: its time because every item
// created inside changes it, its permissions because a folder without write permission would
// refuse the entries that belong in it.
struct ExtractionFolder::PendingFolderTimes {
    struct Folder {
        std::vector<std::string> components;
        FileAttributes attributes;
        std::string displayPath;
    };
    std::vector<Folder> folders;
};

namespace {

// The textual checks come first: they refuse what no file system could make harmless, and
// they keep the errors of a path that is plainly outside the same as before any link exists.
void checkRelativePath(std::string_view relativePath, const FileURL& item, const FileURL& root) {
    if (relativePath.find('\0') != std::string_view::npos) {
        throw Error(FileError::fileReadInvalidFileName, item.path(), {},
                    "the name holds a NUL byte");
    }
    if (!relativePath.empty() && relativePath.front() == '/') {
        throw Error(FileError::fileReadInvalidFileName, item.path(), {}, "the path is absolute");
    }
    if (!liesWithin(item, root)) {
        throw Error(FileError::fileReadInvalidFileName, item.path(), {},
                    "the path leads out of the folder");
    }
}

}  // namespace

ExtractionFolder::ExtractionFolder(const FileURL& folder)
    : url_(folder), pendingFolderTimes_(std::make_unique<PendingFolderTimes>()) {
    std::error_code error;
    std::filesystem::create_directories(folder.filesystemPath(), error);
    if (error) throw Error(error, folder.path());
    descriptor_ = ::open(folder.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (descriptor_ < 0) throw posixFileError(errno, folder.path());
}

ExtractionFolder::~ExtractionFolder() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

std::uint32_t ExtractionFolder::extract(Archive& archive, const Entry& entry,
                                        std::string_view relativePath, std::int64_t bufferSize,
                                        bool skipChecksum, bool allowLinksOutside,
                                        Progress* progress) {
    const FileURL item = url_.appendingPathComponent(relativePath);
    const std::string& shown = item.path();
    try {
        if (bufferSize < 1) throw Error(ArchiveError::invalidBufferSize);
        checkRelativePath(relativePath, item, url_);
        const std::vector<std::string> components = relativeComponents(relativePath);
        const EntryType type = entry.type();
        const bool named = !components.empty() && components.back() != "..";
        const std::span<const std::string> parent(components.data(),
                                                  named ? components.size() - 1 : 0);

        if (type == EntryType::directory) {
            UniqueFd folder =
                named
                    ? makeFolderAt(openFolderBeneath(descriptor_, parent, true, url_, shown).get(),
                                   components.back(), shown)
                    : openFolderBeneath(descriptor_, components, true, url_, shown);
            const std::uint32_t checksum = archive.extractEntry(
                entry, [](ByteView) {}, bufferSize, skipChecksum, progress);
            pendingFolderTimes_->folders.push_back({components, attributesOfEntry(entry), shown});
            return checksum;
        }
        if (!named) throw Error(FileError::fileReadInvalidFileName, shown);
        const char* name = components.back().c_str();

        if (type == EntryType::file) {
            const UniqueFd folder = openFolderBeneath(descriptor_, parent, true, url_, shown);
            const std::uint32_t checksum = writeNewFileAt(archive, entry, folder.get(), name, shown,
                                                          bufferSize, skipChecksum, progress);
            applyAttributesAt(attributesOfEntry(entry), folder.get(), name, false, shown);
            return checksum;
        }

        // The link is judged before anything of it is created, against the folder as a whole:
        // links between the folders of one tree are normal, links that leave it are not.
        std::uint32_t checksum = 0;
        const Bytes bytes =
            readLinkBytes(archive, entry, bufferSize, skipChecksum, progress, checksum);
        const std::string target = decodeLinkTarget(bytes, shown);
        if (!allowLinksOutside &&
            !linkTargetStaysBeneath(descriptor_, url_.standardized().path(), parent, target)) {
            throw Error(ArchiveError::uncontainedSymlink, shown);
        }
        const UniqueFd folder = openFolderBeneath(descriptor_, parent, true, url_, shown);
        createLinkAt(target, folder.get(), name, shown);
        applyAttributesAt(attributesOfEntry(entry), folder.get(), name, true, shown);
        return checksum;
    } catch (const Error& error) {
        throw error.withContext(archiveDisplayPath(archive), std::string(relativePath));
    }
}

void ExtractionFolder::finishFolderTimes() {
    const auto folders = std::move(pendingFolderTimes_->folders);
    pendingFolderTimes_->folders.clear();
    std::optional<Error> firstFailure;
    // Inner folders first: a folder whose permissions forbid searching it must not hide the
    // folders below it that still wait for their attributes.
    std::for_each(folders.rbegin(), folders.rend(), [&](const PendingFolderTimes::Folder& folder) {
        try {
            const UniqueFd opened =
                openFolderBeneath(descriptor_, folder.components, false, url_, folder.displayPath);
            applyAttributesAt(folder.attributes, opened.get(), ".", false, folder.displayPath);
        } catch (const Error& error) {
            if (!firstFailure) firstFailure = error;
        }
    });
    // The first failure, kept as a copy while the other folders were finished.
    if (firstFailure) throw *firstFailure;  // NOLINT(misc-throw-by-value-catch-by-reference)
}

}  // namespace marrowzip
