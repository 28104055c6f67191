#include "marrowzip/common/error.hpp"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <span>
#include <string_view>

namespace marrowzip {
namespace {

// The descriptions a person reads, in the order of each enumeration's values (from 1).
constexpr const char* archiveMessages[] = {
    "the archive cannot be read",
    "the archive cannot be written",
    "the entry path is not valid",
    "the entry uses an unsupported compression method",
    "the CRC-32 of the data does not match the entry",
    "the operation was cancelled",
    "the buffer size is not valid",
    "the entry size is not valid",
    "the entry's data offset is not valid",
    "the local header size is not valid",
    "the central directory offset is not valid",
    "the central directory size is not valid",
    "the central directory does not hold the number of entries its end record declares",
    "no end of central directory record was found: this is not a ZIP file",
    "the symbolic link points outside the extraction folder",
    "the entry is encrypted, and encryption is not supported",
};
constexpr const char* entryMessages[] = {
    "the entry's extra data is not valid",
    "the permissions attribute is missing",
    "the modification date attribute is missing",
};
constexpr const char* dataMessages[] = {
    "the file could not be read",
    "the file could not be written",
};
constexpr const char* compressionMessages[] = {
    "the compressor could not be set up",
    "the compressed data is corrupted",
};
constexpr const char* fileMessages[] = {
    "no such file or folder",
    "permission to read was denied",
    "the file is too large",
    "the file already exists",
    "the file name is not valid or lies outside the destination folder",
};
// The portable condition each FileError stands for; the engine's other kinds have none.
constexpr std::errc fileConditions[] = {
    std::errc::no_such_file_or_directory,
    std::errc::permission_denied,
    std::errc::file_too_large,
    std::errc::file_exists,
    std::errc::invalid_argument,
};

// A value added to an enumeration needs its description here.
static_assert(std::size(archiveMessages) == static_cast<std::size_t>(ArchiveError::encryptedEntry));
static_assert(std::size(entryMessages) ==
              static_cast<std::size_t>(EntryError::missingModificationDateAttributeError));
static_assert(std::size(dataMessages) == static_cast<std::size_t>(DataError::unwritableFile));
static_assert(std::size(compressionMessages) ==
              static_cast<std::size_t>(CompressionError::corruptedData));
static_assert(std::size(fileMessages) ==
              static_cast<std::size_t>(FileError::fileReadInvalidFileName));
static_assert(std::size(fileConditions) == std::size(fileMessages));

// One category per enumeration ("marrowzip.<kind>"), describing its values from a table.
class TableCategory final : public std::error_category {
public:
    TableCategory(const char* name, std::span<const char* const> messages,
                  std::span<const std::errc> conditions = {})
        : name_(name), messages_(messages), conditions_(conditions) {}

    const char* name() const noexcept override { return name_; }
    std::string message(int value) const override {
        if (inRange(value, messages_.size())) return messages_[value - 1];
        const std::string_view kind = std::string_view(name_).substr(std::strlen("marrowzip."));
        return "unknown " + std::string(kind) + " error";
    }
    // Through this, the default equivalent() makes a code compare equal to its std::errc.
    std::error_condition default_error_condition(int value) const noexcept override {
        if (inRange(value, conditions_.size()))
            return std::make_error_condition(conditions_[value - 1]);
        return {value, *this};
    }

private:
    static bool inRange(int value, std::size_t count) noexcept {
        return value >= 1 && static_cast<std::size_t>(value) <= count;
    }

    const char* name_;
    std::span<const char* const> messages_;
    std::span<const std::errc> conditions_;
};

}  // namespace

const std::error_category& archiveErrorCategory() noexcept {
    static const TableCategory category("marrowzip.archive", archiveMessages);
    return category;
}

const std::error_category& entryErrorCategory() noexcept {
    static const TableCategory category("marrowzip.entry", entryMessages);
    return category;
}

const std::error_category& dataErrorCategory() noexcept {
    static const TableCategory category("marrowzip.data", dataMessages);
    return category;
}

const std::error_category& compressionErrorCategory() noexcept {
    static const TableCategory category("marrowzip.compression", compressionMessages);
    return category;
}

const std::error_category& fileErrorCategory() noexcept {
    static const TableCategory category("marrowzip.file", fileMessages, fileConditions);
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
    if (code.value() == ENOENT) return make_error_code(FileError::fileReadNoSuchFile).message();
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
