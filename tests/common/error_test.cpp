#include "marrowzip/common/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace marrowzip {
namespace {

TEST(Errors, EachEnumerationIsADistinctTestableCode) {
    const Error error(ArchiveError::invalidCRC32, "/backup/run1/a.qorvels");
    EXPECT_EQ(error.code(), ArchiveError::invalidCRC32);
    EXPECT_NE(error.code(), ArchiveError::invalidEntryPath);
    // The same raw value in another enumeration is another error.
    EXPECT_NE(std::error_code(DataError::unreadableFile), std::error_code(EntryError::invalidDataError));
    EXPECT_NE(std::error_code(CompressionError::invalidStream), std::error_code(FileError::fileReadNoSuchFile));
}

TEST(Errors, DescriptionNamesTheFileAndTheEntry) {
    const Error error(FileError::fileWriteFileExists, "/backup/run1/a.qorvels");
    EXPECT_STREQ(error.what(), "/backup/run1/a.qorvels: the file already exists");

    const Error inEntry(CompressionError::corruptedData, "/data/x.zip", "run1/a.qorvels",
                        "the stream ends early");
    EXPECT_STREQ(inEntry.what(),
                 "/data/x.zip: run1/a.qorvels: the compressed data is corrupted; the stream ends early");
    EXPECT_STREQ(Error(DataError::unwritableFile).what(), "the file could not be written");
}

TEST(Errors, ContextFillsOnlyWhatIsMissing) {
    const Error bare(DataError::unreadableFile);
    const Error placed = bare.withContext("/a.zip", "e.txt");
    EXPECT_EQ(placed.path(), "/a.zip");
    EXPECT_EQ(placed.entry(), "e.txt");
    EXPECT_EQ(placed.code(), DataError::unreadableFile);
    EXPECT_EQ(placed.withContext("/other.zip").path(), "/a.zip");
}

TEST(Errors, PosixErrorsKeepTheCodeAndThePath) {
    const Error error = posixFileError(ENOENT, "/missing/file");
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    EXPECT_EQ(error.path(), "/missing/file");
    EXPECT_NE(std::string(error.what()).find("/missing/file: "), std::string::npos);
    // A number that names no POSIX error becomes EPERM.
    EXPECT_EQ(posixFileError(0, "/x").code(), std::errc::operation_not_permitted);
    EXPECT_EQ(posixFileError(99999, "/x").code(), std::errc::operation_not_permitted);
}

}  // namespace
}  // namespace marrowzip
