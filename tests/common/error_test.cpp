#include "marrowzip/common/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace marrowzip {
namespace {

TEST(Errors, TheSameRawValueInAnotherEnumerationIsAnotherError) {
    EXPECT_NE(std::error_code(DataError::unreadableFile),
              std::error_code(EntryError::invalidDataError));
    EXPECT_NE(std::error_code(CompressionError::invalidStream),
              std::error_code(FileError::fileReadNoSuchFile));
}

// The description names the file and the entry; context added later fills only what is missing.
TEST(Errors, DescriptionNamesTheFileAndTheEntry) {
    const std::pair<Error, const char*> cases[] = {
        {Error(FileError::fileWriteFileExists, "/backup/run1/a.qorvels"),
         "/backup/run1/a.qorvels: the file already exists"},
        {Error(CompressionError::corruptedData, "/data/x.zip", "run1/a.qorvels",
               "the stream ends early"),
         "/data/x.zip: run1/a.qorvels: the compressed data is corrupted; the stream ends early"},
        {Error(DataError::unwritableFile), "the file could not be written"},
        {Error(DataError::unreadableFile).withContext("/a.zip", "e.txt").withContext("/b.zip"),
         "/a.zip: e.txt: the file could not be read"},
    };
    for (const auto& [error, description] : cases)
        EXPECT_STREQ(error.what(), description);
}

TEST(Errors, PosixErrorsKeepTheCodeAndThePath) {
    const Error error = posixFileError(ENOENT, "/missing/file");
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    EXPECT_EQ(error.path(), "/missing/file");
    EXPECT_TRUE(std::string(error.what()).starts_with("/missing/file: ")) << error.what();
    // A number that names no POSIX error becomes EPERM.
    EXPECT_EQ(posixFileError(0, "/x").code(), std::errc::operation_not_permitted);
    EXPECT_EQ(posixFileError(99999, "/x").code(), std::errc::operation_not_permitted);
}

}  // namespace
}  // namespace marrowzip
