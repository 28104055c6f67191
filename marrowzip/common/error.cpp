#include "marrowzip/common/error.hpp"

#include <cerrno>
#include <cstring>
#include <optional>

namespace marrowzip {
namespace {

// The portable condition a value stands for: none for the engine's own kinds.
template <typename Enum>
std::optional<std::errc> conditionOf(Enum) {
    return std::nullopt;
}

std::optional<std::errc> conditionOf(FileError e) {
    switch (e) {
        case FileError::fileReadNoSuchFile:
            return std::errc::no_such_file_or_directory;
        case FileError::fileReadNoPermission:
            return std::errc::permission_denied;
        case FileError::fileReadTooLarge:
            return std::errc::file_too_large;
        case FileError::fileWriteFileExists:
            return std::errc::file_exists;
        case FileError::fileReadInvalidFileName:
            return std::errc::invalid_argument;
    }
    return std::nullopt;
}

// One category per enumeration, each with the descriptions a person reads.
template <typename Enum>
class EnumCategory final : public std::error_category {
public:
    using Describe = const char* (*)(Enum);

    EnumCategory(const char* name, Describe describe) : name_(name), describe_(describe) {}

    const char* name() const noexcept override { return name_; }
    std::string message(int value) const override { return describe_(static_cast<Enum>(value)); }
    // Through this, the default equivalent() makes a code compare equal to its std::errc.
    std::error_condition default_error_condition(int value) const noexcept override {
        if (const auto condition = conditionOf(static_cast<Enum>(value))) {
            return std::make_error_condition(*condition);
        }
        return {value, *this};
    }

private:
    const char* name_;
    Describe describe_;
};

const char* describe(ArchiveError e) {
    switch (e) {
        case ArchiveError::unreadableArchive:
            return "the archive cannot be read";
        case ArchiveError::unwritableArchive:
            return "the archive cannot be written";
        case ArchiveError::invalidEntryPath:
            return "the entry path is not valid";
        case ArchiveError::invalidCompressionMethod:
            return "the entry uses an unsupported compression method";
        case ArchiveError::invalidCRC32:
            return "the CRC-32 of the data does not match the entry";
        case ArchiveError::cancelledOperation:
            return "the operation was cancelled";
        case ArchiveError::invalidBufferSize:
            return "the buffer size is not valid";
        case ArchiveError::invalidEntrySize:
            return "the entry size is not valid";
        case ArchiveError::invalidLocalHeaderDataOffset:
            return "the entry's data offset is not valid";
        case ArchiveError::invalidLocalHeaderSize:
            return "the local header size is not valid";
        case ArchiveError::invalidCentralDirectoryOffset:
            return "the central directory offset is not valid";
        case ArchiveError::invalidCentralDirectorySize:
            return "the central directory size is not valid";
        case ArchiveError::invalidCentralDirectoryEntryCount:
            return "the central directory does not hold the number of entries its end record "
                   "declares";
        case ArchiveError::missingEndOfCentralDirectoryRecord:
            return "no end of central directory record was found: this is not a ZIP file";
        case ArchiveError::uncontainedSymlink:
            return "the symbolic link points outside the extraction folder";
        case ArchiveError::encryptedEntry:
            return "the entry is encrypted, and encryption is not supported";
    }
    return "unknown archive error";
}

const char* describe(EntryError e) {
    switch (e) {
        case EntryError::invalidDataError:
            return "the entry's extra data is not valid";
        case EntryError::missingPermissionsAttributeError:
            return "the permissions attribute is missing";
        case EntryError::missingModificationDateAttributeError:
            return "the modification date attribute is missing";
    }
    return "unknown entry error";
}

const char* describe(DataError e) {
    switch (e) {
        case DataError::unreadableFile:
            return "the file could not be read";
        case DataError::unwritableFile:
            return "the file could not be written";
    }
    return "unknown data error";
}

const char* describe(CompressionError e) {
    switch (e) {
        case CompressionError::invalidStream:
            return "the compressor could not be set up";
        case CompressionError::corruptedData:
            return "the compressed data is corrupted";
    }
    return "unknown compression error";
}

const char* describe(FileError e) {
    switch (e) {
        case FileError::fileReadNoSuchFile:
            return "no such file or folder";
        case FileError::fileReadNoPermission:
            return "permission to read was denied";
        case FileError::fileReadTooLarge:
            return "the file is too large";
        case FileError::fileWriteFileExists:
            return "the file already exists";
        case FileError::fileReadInvalidFileName:
            return "the file name is not valid or lies outside the destination folder";
    }
    return "unknown file error";
}

}  // namespace

const std::error_category& archiveErrorCategory() noexcept {
    static const EnumCategory<ArchiveError> category("marrowzip.archive", describe);
    return category;
}

const std::error_category& entryErrorCategory() noexcept {
    static const EnumCategory<EntryError> category("marrowzip.entry", describe);
    return category;
}

const std::error_category& dataErrorCategory() noexcept {
    static const EnumCategory<DataError> category("marrowzip.data", describe);
    return category;
}

const std::error_category& compressionErrorCategory() noexcept {
    static const EnumCategory<CompressionError> category("marrowzip.compression", describe);
    return category;
}

const std::error_category& fileErrorCategory() noexcept {
    static const EnumCategory<FileError> category("marrowzip.file", describe);
    return category;
}

std::error_code make_error_code(ArchiveError e) noexcept {
    return {static_cast<int>(e), archiveErrorCategory()};
}
std::error_code make_error_code(EntryError e) noexcept {
    return {static_cast<int>(e), entryErrorCategory()};
}
std::error_code make_error_code(DataError e) noexcept {
    return {static_cast<int>(e), dataErrorCategory()};
}
std::error_code make_error_code(CompressionError e) noexcept {
    return {static_cast<int>(e), compressionErrorCategory()};
}
std::error_code make_error_code(FileError e) noexcept {
    return {static_cast<int>(e), fileErrorCategory()};
}

namespace {

// A POSIX failure reads like the engine's own: a missing file in the engine's words, any other
// in the system's, begun in lower case as every other description is.
std::string describeCode(const std::error_code& code) {
    if (code.category() != std::generic_category() && code.category() != std::system_category()) {
        return code.message();
    }
    if (code.value() == ENOENT) return describe(FileError::fileReadNoSuchFile);
    std::string text = code.message();
    if (!text.empty() && text.front() >= 'A' && text.front() <= 'Z') {
        text.front() = static_cast<char>(text.front() - 'A' + 'a');
    }
    return text;
}

std::string compose(const std::error_code& code, const std::string& path, const std::string& entry,
                    const std::string& detail) {
    std::string text;
    if (!path.empty()) text += path + ": ";
    if (!entry.empty()) text += entry + ": ";
    text += describeCode(code);
    if (!detail.empty()) text += "; " + detail;
    return text;
}

}  // namespace

Error::Error(std::error_code code, std::string path, std::string entry, std::string detail)
    : std::runtime_error(compose(code, path, entry, detail)),
      code_(code),
      path_(std::move(path)),
      entry_(std::move(entry)),
      detail_(std::move(detail)) {}

Error Error::withContext(const std::string& path, const std::string& entry) const {
    return Error(code_, path_.empty() ? path : path_, entry_.empty() ? entry : entry_, detail_);
}

Error posixFileError(int errorNumber, const std::string& path) {
    // One kind per situation: a missing item or one in the way is the engine's own kind,
    // whichever step met it (and still compares equal to its std::errc).
    if (errorNumber == ENOENT) return Error(FileError::fileReadNoSuchFile, path);
    if (errorNumber == EEXIST) return Error(FileError::fileWriteFileExists, path);
    // glibc describes every errno value it knows and answers null for any other.
    const bool known = errorNumber > 0 && strerrordesc_np(errorNumber) != nullptr;
    return Error(std::error_code(known ? errorNumber : EPERM, std::generic_category()), path);
}

}  // namespace marrowzip
