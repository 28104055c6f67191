// Archive::extractEntry in its file-system form: an entry becomes a new file, folder or link at
// a destination path, never written through anything that is already there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/unique_fd.hpp"
#include "marrowzip/common/unique_file.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "marrowzip/filesystem/extract_steps.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "marrowzip/format/text_encoding.hpp"
#include "marrowzip/processing/chunked_io.hpp"

namespace marrowzip {
namespace {

// The attributes go on through the descriptor once the data is flushed, and before the file is
// closed: its mode and time never pass through a name that another process may have changed.
void closeWrittenFile(UniqueFile file, const std::string& displayPath,
                      const FileAttributes& attributes) {
    const bool flushed = std::fflush(file.get()) == 0 && std::ferror(file.get()) == 0;
    const int flushError = errno;
    // A failure here still closes the file, with `file`.
    if (flushed) applyAttributesToOpenFile(attributes, ::fileno(file.get()), displayPath);
    // fclose reports what the kernel says about the last writes, so its answer counts too.
    const bool closed = std::fclose(file.release()) == 0;
    if (!flushed) errno = flushError;  // the first failure says why (a full disk)
    if (!flushed || !closed) throw writeFailure(displayPath);
}

// After a creation at `name` failed: whether `existing` lets the item there be replaced (false:
// it is skipped); throws for any other failure and for a refusal. An item that is replaced
// never has a folder's place: a file does not take a folder's name.
bool mayReplace(ExistingItems existing, int folderDescriptor, const char* name,
                const std::string& displayPath) {
    if (errno != EEXIST) throw posixFileError(errno, displayPath);
    if (existing == ExistingItems::refuse) throw Error(FileError::fileWriteFileExists, displayPath);
    if (existing == ExistingItems::skip) return false;
    struct stat status {};
    if (::fstatat(folderDescriptor, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(status.st_mode)) {
        throw Error(FileError::fileWriteFileExists, displayPath, {},
                    "a folder stands there, and a folder is never replaced");
    }
    return true;
}

// Makes an item under a fresh temporary name with `make` (which answers false
// with errno EEXIST when the name is taken) and returns that name.
template <typename Make>
std::string makeBeside(const std::string& displayPath, Make make) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".marrowzip-%08x%08x", random(), random());
        if (make(name)) return name;
        if (errno != EEXIST) throw posixFileError(errno, displayPath);
    }
    throw posixFileError(EEXIST, displayPath);
}

// Removes the item at `name` while it is still the one identified.
void removeIfSame(int folderDescriptor, const char* name, const ItemIdentity& identity) noexcept {
    struct stat status {};
    if (::fstatat(folderDescriptor, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (status.st_dev != identity.device || status.st_ino != identity.inode) return;
    ::unlinkat(folderDescriptor, name, 0);
}

// Creating a folder is accepted when a real folder is already there; anything else at the path
// (a link to a folder included) would have the entry's attributes written through it. The
// folder is opened without following a link, and its attributes go through that descriptor.
UniqueFd createFolder(const FileURL& destination) {
    std::error_code error;
    std::filesystem::create_directories(destination.filesystemPath(), error);
    if (error) throw Error(error, destination.path());
    UniqueFd folder(
        ::open(destination.path().c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder) return folder;
    if (errno == ENOTDIR || errno == ELOOP) {
        throw Error(FileError::fileWriteFileExists, destination.path());
    }
    throw posixFileError(errno, destination.path());
}

std::uint32_t extractLink(Archive& archive, const Entry& entry, const FileURL& destination,
                          const ExtractEntryOptions& options) {
    if (isReachable(destination)) throw Error(FileError::fileWriteFileExists, destination.path());
    std::uint32_t checksum = 0;
    const Bytes bytes = readLinkBytes(archive, entry, options, checksum);
    const std::string target = decodeLinkTarget(bytes, destination.path());
    // A standalone extraction knows no enclosing folder: the link's own folder is the base, and
    // the test is textual, as every reader of the link's text would resolve it.
    const FileURL folder = destination.deletingLastPathComponent();
    const FileURL resolved = !target.empty() && target.front() == '/'
                                 ? FileURL::fromPath(target)
                                 : folder.appendingPathComponent(target);
    if (!options.allowLinksOutside && !liesWithin(resolved, folder)) {
        throw Error(ArchiveError::uncontainedSymlink, destination.path());
    }
    createParentDirectory(destination);
    createLinkAt(target, AT_FDCWD, destination.path().c_str(), destination.path());
    return checksum;
}

}  // namespace

std::string decodeLinkTarget(ByteView bytes, const std::string& displayPath) {
    if (std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) != bytes.end()) {
        throw Error(ArchiveError::invalidEntryPath, displayPath, {},
                    "the link target holds a NUL byte");
    }
    auto text = decodeUTF8(bytes);
    if (!text) {
        throw Error(ArchiveError::invalidEntryPath, displayPath, {},
                    "the link target is not UTF-8");
    }
    return std::move(*text);
}

std::optional<std::uint32_t> writeFileAt(Archive& archive, const Entry& entry, int folderDescriptor,
                                         const char* name, const std::string& displayPath,
                                         const ExtractEntryOptions& options,
                                         const FileAttributes& attributes, ExistingItems existing,
                                         ItemIdentity* created) {
    // O_EXCL with O_NOFOLLOW: whatever is at the name, a dangling link included, stays as it is,
    // and no other process can slip a link in between a check and the creation.
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd descriptor(::openat(folderDescriptor, name, flags, 0600));
    std::string replacement;  // the temporary name of a file that replaces another
    if (!descriptor) {
        if (!mayReplace(existing, folderDescriptor, name, displayPath)) return std::nullopt;
        replacement = makeBeside(displayPath, [&](const char* temporary) {
            descriptor = UniqueFd(::openat(folderDescriptor, temporary, flags, 0600));
            return static_cast<bool>(descriptor);
        });
    }
    const char* written = replacement.empty() ? name : replacement.c_str();
    struct stat status {};
    if (::fstat(descriptor.get(), &status) != 0) {
        const int error = errno;
        ::unlinkat(folderDescriptor, written, 0);
        throw posixFileError(error, displayPath);
    }
    const ItemIdentity identity{status.st_dev, status.st_ino};
    if (created != nullptr && replacement.empty()) *created = identity;
    try {
        UniqueFile file = streamOver(std::move(descriptor), "wb", displayPath);
        const EntryDataConsumer writer = [&](ByteView chunk) {
            try {
                writeStreamChunk(chunk, file.get());
            } catch (const Error& error) {
                throw error.withContext(displayPath);
            }
        };
        const std::uint32_t checksum = archive.extractEntry(entry, writer, options);
        closeWrittenFile(std::move(file), displayPath, attributes);
        if (!replacement.empty() &&
            ::renameat(folderDescriptor, written, folderDescriptor, name) != 0) {
            throw posixFileError(errno, displayPath);
        }
        return checksum;
    } catch (...) {
        // A file cut short would block the next run and pass for a whole one: it goes.
        removeIfSame(folderDescriptor, written, identity);
        throw;
    }
}

bool createLinkAt(const std::string& target, int folderDescriptor, const char* name,
                  const std::string& displayPath, ExistingItems existing) {
    if (::symlinkat(target.c_str(), folderDescriptor, name) == 0) return true;
    if (!mayReplace(existing, folderDescriptor, name, displayPath)) return false;
    const std::string temporary = makeBeside(displayPath, [&](const char* made) {
        return ::symlinkat(target.c_str(), folderDescriptor, made) == 0;
    });
    if (::renameat(folderDescriptor, temporary.c_str(), folderDescriptor, name) != 0) {
        const int error = errno;
        ::unlinkat(folderDescriptor, temporary.c_str(), 0);
        throw posixFileError(error, displayPath);
    }
    return true;
}

Bytes readLinkBytes(Archive& archive, const Entry& entry, const ExtractEntryOptions& options,
                    std::uint32_t& checksum) {
    Bytes bytes;
    checksum = archive.extractEntry(
        entry, [&](ByteView target) { bytes.assign(target.begin(), target.end()); }, options);
    return bytes;
}

std::uint32_t Archive::extractEntry(const Entry& entry, const FileURL& destination,
                                    const ExtractEntryOptions& options) {
    try {
        if (options.bufferSize < 1) throw Error(ArchiveError::invalidBufferSize);
        // A standalone extraction never hands out set-user-ID, set-group-ID or sticky bits.
        const FileAttributes attributes = withoutSpecialBits(attributesOfEntry(entry));
        std::uint32_t checksum = 0;
        switch (entry.type()) {
            case EntryType::file:
                createParentDirectory(destination);
                return *writeFileAt(*this, entry, AT_FDCWD, destination.path().c_str(),
                                    destination.path(), options, attributes);
            case EntryType::directory: {
                UniqueFd folder;
                checksum = extractEntry(
                    entry, [&](ByteView) { folder = createFolder(destination); }, options);
                applyAttributesAt(attributes, folder.get(), ".", false, destination.path());
                return checksum;
            }
            case EntryType::symlink:
                checksum = extractLink(*this, entry, destination, options);
                applyAttributesAt(attributes, AT_FDCWD, destination.path().c_str(), true,
                                  destination.path());
                return checksum;
        }
        return checksum;
    } catch (const Error& error) {
        throw error.withContext(url().displayPath(), entry.path());
    }
}

}  // namespace marrowzip
