#include "marrowzip/filesystem/extraction_folder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "marrowzip/filesystem/beneath.hpp"
#include "marrowzip/filesystem/extract_steps.hpp"
#include "marrowzip/format/format.hpp"

namespace marrowzip {

// A folder's attributes wait for the end of the extraction: its time because every item
// created inside changes it, its permissions because a folder without write permission would
// refuse the entries that belong in it.
struct ExtractionFolder::PendingFolderTimes {
    std::vector<FolderToFinish> folders;
};

// Workers extract beside each other: the last folder is shared under a lock.
struct ExtractionFolder::LastFolder {
    std::mutex mutex;
    std::vector<std::string> components;
    std::shared_ptr<const UniqueFd> folder;
};

namespace {

// Why a name is empty: its bytes did not decode, or it has none.
std::string undecodedNameDetail(const Entry& entry) {
    const auto& record = entry.centralDirectoryStructure;
    if (record.fileNameData.empty()) return "the entry has no name";
    if (record.generalPurposeBitFlag & utf8NameFlag) {
        return "the name is marked as UTF-8 but is not valid UTF-8";
    }
    return "the name cannot be decoded in the chosen encoding";
}

// The textual checks come first: they refuse what no file system could make harmless, and
// they keep the errors of a path that is plainly outside the same as before any link exists.
// `components` empty: the path names the folder itself ("", "." or "./").
void checkRelativePath(const Entry& entry, std::string_view relativePath,
                       std::span<const std::string> components, const FileURL& item,
                       const TextualContainment& root) {
    const auto refuse = [&](const std::string& detail) {
        return Error(FileError::fileReadInvalidFileName, item.path(), {}, detail);
    };
    if (relativePath.find('\0') != std::string_view::npos)
        throw refuse("the name holds a NUL byte");
    if (!relativePath.empty() && relativePath.front() == '/') throw refuse("the path is absolute");
    if (relativePath.empty()) throw refuse(undecodedNameDetail(entry));
    if (components.empty()) {
        if (entry.type() == EntryType::directory) return;
        throw refuse("the path names the extraction folder itself");
    }
    if (!root.holds(item)) throw refuse("the path leads out of the folder");
}

}  // namespace

ExtractionFolder::ExtractionFolder(const FileURL& folder, bool keepSpecialBits,
                                   ExistingItems existing)
    : url_(folder),
      containment_(folder),
      keepSpecialBits_(keepSpecialBits),
      existing_(existing),
      pendingFolderTimes_(std::make_unique<PendingFolderTimes>()),
      lastFolder_(std::make_unique<LastFolder>()) {
    std::error_code error;
    std::filesystem::create_directories(folder.filesystemPath(), error);
    if (error) throw Error(error, folder.path());
    descriptor_.reset(::open(folder.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!descriptor_) throw posixFileError(errno, folder.path());
}

ExtractionFolder::~ExtractionFolder() = default;

// The kept descriptor is of a real folder that was beneath this one when it was opened; the
// extraction never replaces a folder, so the same components lead to it again.
std::shared_ptr<const UniqueFd> ExtractionFolder::openFolder(
    std::span<const std::string> components, const std::string& displayPath,
    CreatedItems* created) {
    {
        const std::lock_guard lock(lastFolder_->mutex);
        if (lastFolder_->folder && std::ranges::equal(lastFolder_->components, components)) {
            return lastFolder_->folder;
        }
    }
    auto folder = std::make_shared<const UniqueFd>(
        openFolderBeneath(descriptor_.get(), components, true, url_, displayPath, created));
    rememberFolder(components, folder);
    return folder;
}

void ExtractionFolder::rememberFolder(std::span<const std::string> components,
                                      std::shared_ptr<const UniqueFd> folder) {
    const std::lock_guard lock(lastFolder_->mutex);
    lastFolder_->components.assign(components.begin(), components.end());
    lastFolder_->folder = std::move(folder);
}

FileAttributes ExtractionFolder::attributesFor(const Entry& entry) const {
    FileAttributes attributes = attributesOfEntry(entry);
    return keepSpecialBits_ ? attributes : withoutSpecialBits(attributes);
}

std::optional<std::uint32_t> ExtractionFolder::extract(Archive& archive, const Entry& entry,
                                                       std::string_view relativePath,
                                                       const ExtractEntryOptions& options,
                                                       CreatedItems* created,
                                                       std::optional<FolderToFinish>* finish) {
    const FileURL item = url_.appendingPathComponent(relativePath);
    const std::string& shown = item.path();
    try {
        if (options.bufferSize < 1) throw Error(ArchiveError::invalidBufferSize);
        const std::vector<std::string> components = relativeComponents(relativePath);
        checkRelativePath(entry, relativePath, components, item, containment_);
        const EntryType type = entry.type();
        // "./" and the like name the folder itself, which such an entry leaves as it is.
        if (components.empty()) {
            return archive.extractEntry(
                entry, [](ByteView) {}, options);
        }
        const bool named = !components.empty() && components.back() != "..";
        const std::span<const std::string> parent(components.data(),
                                                  named ? components.size() - 1 : 0);

        if (type == EntryType::directory) {
            std::shared_ptr<const UniqueFd> folder;
            bool made = false;
            try {
                folder = std::make_shared<const UniqueFd>(
                    named ? makeFolderAt(openFolder(parent, shown, created)->get(),
                                         components.back().c_str(), shown, &made)
                          : openFolderBeneath(descriptor_.get(), components, true, url_, shown,
                                              created));
            } catch (const Error& error) {
                // Something other than a folder is there; it is never replaced by one.
                if (existing_ == ExistingItems::skip &&
                    error.code() == FileError::fileWriteFileExists) {
                    return std::nullopt;
                }
                throw;
            }
            if (named) rememberFolder(components, folder);
            struct stat status {};
            if (::fstat(folder->get(), &status) != 0) throw posixFileError(errno, shown);
            if (made && created != nullptr) {
                created->push_back({components, status.st_dev, status.st_ino, true});
            }
            const std::uint32_t checksum = archive.extractEntry(
                entry, [](ByteView) {}, options);
            FolderToFinish later{components, attributesFor(entry), shown, status.st_dev,
                                 status.st_ino};
            if (finish != nullptr) {
                *finish = std::move(later);
            } else {
                finishLater(std::move(later));
            }
            return checksum;
        }
        if (!named) throw Error(FileError::fileReadInvalidFileName, shown);
        const char* name = components.back().c_str();

        if (type == EntryType::file) {
            const auto folder = openFolder(parent, shown, created);
            ItemIdentity file;
            const auto checksum = writeFileAt(archive, entry, folder->get(), name, shown, options,
                                              attributesFor(entry), existing_, &file);
            if (created != nullptr && file.inode != 0) {
                created->push_back({components, file.device, file.inode});
            }
            return checksum;
        }

        // The link is judged before anything of it is created, against the folder as a whole:
        // links between the folders of one tree are normal, links that leave it are not.
        std::uint32_t checksum = 0;
        const Bytes bytes = readLinkBytes(archive, entry, options, checksum);
        const std::string target = decodeLinkTarget(bytes, shown);
        if (!options.allowLinksOutside &&
            !linkTargetStaysBeneath(descriptor_.get(), url_.standardized().path(), parent,
                                    target)) {
            throw Error(ArchiveError::uncontainedSymlink, shown);
        }
        const auto folder = openFolder(parent, shown, nullptr);
        if (!createLinkAt(target, folder->get(), name, shown, existing_)) return std::nullopt;
        applyAttributesAt(attributesFor(entry), folder->get(), name, true, shown);
        return checksum;
    } catch (const Error& error) {
        throw error.withContext(archiveDisplayPath(archive), std::string(relativePath));
    }
}

void ExtractionFolder::removeCreated(CreatedItems items) noexcept {
    // Files before folders, deeper folders before the folders that hold them: a folder that one
    // entry made may hold what another entry put in it.
    std::stable_sort(items.begin(), items.end(), [](const CreatedItem& a, const CreatedItem& b) {
        if (a.folder != b.folder) return !a.folder;
        return a.components.size() > b.components.size();
    });
    const auto& kept = pendingFolderTimes_->folders;
    std::for_each(items.begin(), items.end(), [&](const CreatedItem& item) {
        if (item.components.empty()) return;
        if (item.folder && std::ranges::any_of(kept, [&](const FolderToFinish& folder) {
                return folder.device == item.device && folder.inode == item.inode;
            })) {
            return;
        }
        try {
            const std::span<const std::string> parent(item.components.data(),
                                                      item.components.size() - 1);
            const UniqueFd folder =
                openFolderBeneath(descriptor_.get(), parent, false, url_, url_.path());
            const char* name = item.components.back().c_str();
            struct stat status {};
            if (::fstatat(folder.get(), name, &status, AT_SYMLINK_NOFOLLOW) != 0) return;
            if (status.st_dev != item.device || status.st_ino != item.inode) return;
            ::unlinkat(folder.get(), name, item.folder ? AT_REMOVEDIR : 0);
        } catch (const Error&) {
        }
    });
}

void ExtractionFolder::finishLater(FolderToFinish folder) {
    pendingFolderTimes_->folders.push_back(std::move(folder));
}

void ExtractionFolder::finishFolderTimes() {
    const auto folders = std::move(pendingFolderTimes_->folders);
    pendingFolderTimes_->folders.clear();
    std::optional<Error> firstFailure;
    // Inner folders first: a folder whose permissions forbid searching it must not hide the
    // folders below it that still wait for their attributes.
    std::for_each(folders.rbegin(), folders.rend(), [&](const FolderToFinish& folder) {
        try {
            const UniqueFd opened = openFolderBeneath(descriptor_.get(), folder.components, false,
                                                      url_, folder.displayPath);
            struct stat status {};
            if (::fstat(opened.get(), &status) != 0) {
                throw posixFileError(errno, folder.displayPath);
            }
            if (status.st_dev != folder.device || status.st_ino != folder.inode) {
                throw Error(FileError::fileWriteFileExists, folder.displayPath, {},
                            "the folder was replaced while the archive was extracted");
            }
            // A folder of the mode asked for already (as most are, made with the usual mask)
            // is spared a change that would change nothing.
            FileAttributes attributes = folder.attributes;
            if (attributes.posixPermissions &&
                (status.st_mode & 07777) == (*attributes.posixPermissions & 07777)) {
                attributes.posixPermissions.reset();
            }
            applyAttributesAt(attributes, opened.get(), ".", false, folder.displayPath);
        } catch (const Error& error) {
            if (!firstFailure) firstFailure = error;
        }
    });
    // The first failure, kept as a copy while the other folders were finished.
    if (firstFailure) throw *firstFailure;  // NOLINT(misc-throw-by-value-catch-by-reference)
}

}  // namespace marrowzip
