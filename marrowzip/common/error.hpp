// The engine's errors: a few enumerations a caller can test case by case, and one exception
// type that carries the code together with the file (and, where known, the entry) concerned.
#pragma once

#include <stdexcept>
#include <string>
#include <system_error>

namespace marrowzip {

// Failures of an archive and of the operations on it.
enum class ArchiveError {
    unreadableArchive = 1,
    unwritableArchive,
    invalidEntryPath,
    invalidCompressionMethod,
    invalidCRC32,
    cancelledOperation,
    invalidBufferSize,
    invalidEntrySize,
    invalidLocalHeaderDataOffset,
    invalidLocalHeaderSize,
    invalidCentralDirectoryOffset,
    invalidCentralDirectorySize,
    invalidCentralDirectoryEntryCount,
    missingEndOfCentralDirectoryRecord,
    uncontainedSymlink,
    encryptedEntry,
};

// Failures of an entry's records and of the attributes applied to extracted items.
enum class EntryError {
    invalidDataError = 1,
    missingPermissionsAttributeError,
    missingModificationDateAttributeError,
};

// The only way a stream failure is reported.
enum class DataError {
    unreadableFile = 1,
    unwritableFile,
};

// Failures of the DEFLATE coder.
enum class CompressionError {
    invalidStream = 1,
    corruptedData,
};

// File-access failures (an item missing, unreadable, too large, already present, or a name
// that cannot be used). Each compares equal to its std::errc (no_such_file_or_directory,
// permission_denied, file_too_large, file_exists, invalid_argument). Other POSIX failures use
// std::generic_category() with the errno value.
enum class FileError {
    fileReadNoSuchFile = 1,
    fileReadNoPermission,
    fileReadTooLarge,
    fileWriteFileExists,
    fileReadInvalidFileName,
};

const std::error_category& archiveErrorCategory() noexcept;
const std::error_category& entryErrorCategory() noexcept;
const std::error_category& dataErrorCategory() noexcept;
const std::error_category& compressionErrorCategory() noexcept;
const std::error_category& fileErrorCategory() noexcept;

std::error_code make_error_code(ArchiveError e) noexcept;
std::error_code make_error_code(EntryError e) noexcept;
std::error_code make_error_code(DataError e) noexcept;
std::error_code make_error_code(CompressionError e) noexcept;
std::error_code make_error_code(FileError e) noexcept;

// Every error the engine throws. `path` is the file the error concerns (an archive, a source
// item, a destination); `entry` the archive entry, when one is concerned; `detail` a further
// explanation. what() gives "path: entry: description; detail" with the empty parts left out.
class Error : public std::runtime_error {
public:
    explicit Error(std::error_code code, std::string path = {}, std::string entry = {},
                   std::string detail = {});

    const std::error_code& code() const noexcept { return code_; }
    const std::string& path() const noexcept { return path_; }
    const std::string& entry() const noexcept { return entry_; }
    const std::string& detail() const noexcept { return detail_; }

    // The same error with a file path (and entry) filled in where it had none yet.
    Error withContext(const std::string& path, const std::string& entry = {}) const;

private:
    std::error_code code_;
    std::string path_;
    std::string entry_;
    std::string detail_;
};

// A POSIX failure for a path: ENOENT and EEXIST as their FileError, any other errno value as a
// generic error code; a value that names no POSIX error becomes EPERM.
Error posixFileError(int errorNumber, const std::string& path);

}  // namespace marrowzip

template <>
struct std::is_error_code_enum<marrowzip::ArchiveError> : std::true_type {};
template <>
struct std::is_error_code_enum<marrowzip::EntryError> : std::true_type {};
template <>
struct std::is_error_code_enum<marrowzip::DataError> : std::true_type {};
template <>
struct std::is_error_code_enum<marrowzip::CompressionError> : std::true_type {};
template <>
struct std::is_error_code_enum<marrowzip::FileError> : std::true_type {};
