#include "marrowzip/filesystem/attributes.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/unique_fd.hpp"

namespace marrowzip {

struct stat statusOfItem(const FileURL& url) {
    struct stat status {};
    if (!url.isFileURL() || ::lstat(url.path().c_str(), &status) != 0) {
        throw Error(FileError::fileReadNoSuchFile, url.path());
    }
    return status;
}

Date dateOf(const struct timespec& time) {
    return static_cast<Date>(time.tv_sec) + static_cast<Date>(time.tv_nsec) / 1e9;
}

ProvidedEntry providedEntryOf(const struct stat& status) {
    const EntryType type = S_ISDIR(status.st_mode)   ? EntryType::directory
                           : S_ISLNK(status.st_mode) ? EntryType::symlink
                                                     : EntryType::file;
    return {.type = type,
            .uncompressedSize = type == EntryType::directory ? 0 : status.st_size,
            .modificationDate = dateOf(status.st_mtim),
            .permissions = static_cast<std::uint16_t>(status.st_mode & 07777)};
}

namespace {

// The times utimensat and futimens take: the access time stays as it is.
std::array<struct timespec, 2> timesOf(const Timestamp& time) {
    return {{{0, UTIME_OMIT}, {static_cast<time_t>(time.seconds), time.nanoseconds}}};
}

void setModificationDateAt(int directoryDescriptor, const char* name, const Timestamp& time,
                           const std::string& displayPath) {
    if (::utimensat(directoryDescriptor, name, timesOf(time).data(), AT_SYMLINK_NOFOLLOW) != 0) {
        throw posixFileError(errno, displayPath);
    }
}

// A link's date is set through a descriptor of the link itself (O_PATH without following it),
// after making sure that a link is what the name still holds.
void setLinkModificationDateAt(int directoryDescriptor, const char* name, const Timestamp& time,
                               const std::string& displayPath) {
    const UniqueFd link(::openat(directoryDescriptor, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!link) throw posixFileError(errno, displayPath);
    struct stat status {};
    if (::fstat(link.get(), &status) != 0) throw posixFileError(errno, displayPath);
    if (!S_ISLNK(status.st_mode)) {
        throw Error(FileError::fileWriteFileExists, displayPath, {},
                    "the link was replaced while it was extracted");
    }
    if (::utimensat(link.get(), "", timesOf(time).data(), AT_EMPTY_PATH) == 0) return;
    // Kernels before 5.8 take no empty path here; by name, without following, is as safe for
    // a link: only a link's own times can change.
    if (errno != EINVAL) throw posixFileError(errno, displayPath);
    setModificationDateAt(directoryDescriptor, name, time, displayPath);
}

void setPermissionsAt(int directoryDescriptor, const char* name, std::uint16_t permissions,
                      bool isLink, const std::string& displayPath) {
    const int flags = isLink ? AT_SYMLINK_NOFOLLOW : 0;
    if (::fchmodat(directoryDescriptor, name, permissions & 07777, flags) == 0) return;
    // Linux keeps no mode of a link's own and refuses to change it; there is nothing to set.
    if (isLink && (errno == EOPNOTSUPP || errno == ENOTSUP)) return;
    throw posixFileError(errno, displayPath);
}

}  // namespace

bool isReachable(const FileURL& url) {
    struct stat status {};
    return url.isFileURL() && ::lstat(url.path().c_str(), &status) == 0;
}

EntryType typeOfItem(const FileURL& url) {
    const mode_t mode = statusOfItem(url).st_mode;
    return S_ISDIR(mode)   ? EntryType::directory
           : S_ISLNK(mode) ? EntryType::symlink
                           : EntryType::file;
}

void createParentDirectory(const FileURL& url) {
    const FileURL parent = url.deletingLastPathComponent();
    std::error_code error;
    std::filesystem::create_directories(parent.filesystemPath(), error);
    if (error) throw Error(error, parent.path());
}

FileAttributes attributesOfEntry(const Entry& entry) {
    return {entry.permissions(), entry.modificationTime()};
}

void applyAttributesAt(const FileAttributes& attributes, int directoryDescriptor, const char* name,
                       bool isLink, const std::string& displayPath) {
    // A link needs both attributes; the permissions are set before the date is checked.
    if (isLink && !attributes.posixPermissions)
        throw Error(EntryError::missingPermissionsAttributeError, displayPath);
    if (attributes.posixPermissions) {
        setPermissionsAt(directoryDescriptor, name, *attributes.posixPermissions, isLink,
                         displayPath);
    }
    if (isLink && !attributes.modificationDate)
        throw Error(EntryError::missingModificationDateAttributeError, displayPath);
    if (!attributes.modificationDate) return;
    const auto setDate = isLink ? setLinkModificationDateAt : setModificationDateAt;
    setDate(directoryDescriptor, name, *attributes.modificationDate, displayPath);
}

FileAttributes withoutSpecialBits(FileAttributes attributes) {
    if (attributes.posixPermissions) *attributes.posixPermissions &= 0777;
    return attributes;
}

void applyAttributesToOpenFile(const FileAttributes& attributes, int descriptor,
                               const std::string& displayPath) {
    if (attributes.posixPermissions &&
        ::fchmod(descriptor, *attributes.posixPermissions & 07777) != 0) {
        throw posixFileError(errno, displayPath);
    }
    if (attributes.modificationDate &&
        ::futimens(descriptor, timesOf(*attributes.modificationDate).data()) != 0) {
        throw posixFileError(errno, displayPath);
    }
}

}  // namespace marrowzip
