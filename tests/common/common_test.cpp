// The shared types every layer uses: errors, file URLs and progress.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <tuple>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/progress.hpp"

namespace marrowzip {
namespace {

// The descriptions are looked up by value: the first and the last value of an enumeration have
// their own, a value outside it is unknown (and stands for no portable condition). An error names
// the file and the entry; context added later fills only what is missing.
TEST(Errors, DescriptionsNameTheFileAndTheEntryAndUnknownValuesSaySo) {
    const std::pair<Error, const char*> cases[] = {
        {Error(ArchiveError::unreadableArchive), "the archive cannot be read"},
        {Error(ArchiveError::encryptedEntry),
         "the entry is encrypted, and encryption is not supported"},
        {Error(EntryError::missingModificationDateAttributeError),
         "the modification date attribute is missing"},
        {Error(std::error_code(0, archiveErrorCategory())), "unknown archive error"},
        {Error(std::error_code(17, archiveErrorCategory())), "unknown archive error"},
        {Error(std::error_code(6, fileErrorCategory())), "unknown file error"},
        {Error(CompressionError::corruptedData, "/data/x.zip", "run1/a.qorvels",
               "the stream ends early"),
         "/data/x.zip: run1/a.qorvels: the compressed data is corrupted; the stream ends early"},
        {Error(DataError::unreadableFile).withContext("/a.zip", "e.txt").withContext("/b.zip"),
         "/a.zip: e.txt: the file could not be read"},
        // A system error reads as the engine's own: a missing file in the same words.
        {posixFileError(ENOENT, "/m"), "/m: no such file or folder"},
        {posixFileError(ENOSPC, "/f"), "/f: no space left on device"},
    };
    for (const auto& [error, description] : cases)
        EXPECT_STREQ(error.what(), description);
    EXPECT_EQ(std::error_code(6, fileErrorCategory()).default_error_condition().category(),
              fileErrorCategory());
    // The same raw value in another enumeration is another error.
    EXPECT_NE(std::error_code(DataError::unreadableFile),
              std::error_code(EntryError::invalidDataError));
}

// One kind per situation: a file error compares equal to its std::errc, and a POSIX failure
// with a kind of its own (a missing archive, a name already taken) becomes that kind.
TEST(Errors, FileErrorsAreTheirPortableConditionAndPosixFailuresTakeTheirKind) {
    const std::tuple<std::error_code, std::errc, std::error_code> cases[] = {
        {FileError::fileReadNoSuchFile, std::errc::no_such_file_or_directory,
         posixFileError(ENOENT, "/m").code()},
        {FileError::fileWriteFileExists, std::errc::file_exists,
         posixFileError(EEXIST, "/m").code()},
        {FileError::fileReadNoPermission, std::errc::permission_denied, {}},
        {FileError::fileReadTooLarge, std::errc::file_too_large, {}},
        {FileError::fileReadInvalidFileName, std::errc::invalid_argument, {}},
        // A number that names no POSIX error becomes EPERM.
        {posixFileError(0, "/x").code(), std::errc::operation_not_permitted,
         posixFileError(99999, "/x").code()},
        {posixFileError(ENOSPC, "/x").code(), std::errc::no_space_on_device, {}},
    };
    for (const auto& [code, condition, posix] : cases) {
        EXPECT_EQ(code, condition) << code.message();
        EXPECT_NE(code, std::errc::io_error) << code.message();
        if (posix) {
            EXPECT_EQ(posix, code) << code.message();
        }
    }
    EXPECT_EQ(posixFileError(ENOENT, "/missing/file").path(), "/missing/file");
}

using Components = std::vector<std::string>;

TEST(FileURLs, PathArithmeticAndStandardization) {
    const auto url = FileURL::fromPath("/data/run1");
    EXPECT_EQ(url.lastPathComponent(), "run1");
    EXPECT_EQ(url.deletingLastPathComponent().path(), "/data");
    EXPECT_EQ(url.appendingPathComponent("sub/b.qorvels").path(), "/data/run1/sub/b.qorvels");
    EXPECT_TRUE(url.appendingPathComponent("sub/").hasDirectoryPath());
    EXPECT_EQ(url.pathComponents(), (Components{"/", "data", "run1"}));
    EXPECT_EQ(FileURL::fromPath("/").pathComponents(), Components{"/"});
    EXPECT_EQ(FileURL::fromPath("/").deletingLastPathComponent().path(), "/");
    EXPECT_EQ(FileURL::fromPath("relative/x").path().front(), '/');
    for (auto [path, extension] :
         {std::pair{"/a/x.qorvels.bak", "bak"}, {"/a/qorvels", ""}, {"/a/.hidden", ""}}) {
        EXPECT_EQ(FileURL::fromPath(path).pathExtension(), extension) << path;
    }
    // Dot segments are resolved textually, never past the root.
    EXPECT_EQ(FileURL::fromPath("/a/./b/../c").standardized().path(), "/a/c");
    EXPECT_EQ(FileURL::fromPath("/a/../../x").standardized().path(), "/x");
    EXPECT_EQ(FileURL::fromPath("/a//b/").standardized().absoluteString(), "file:///a/b/");
}

// The URL of archives in memory, "memory:/", is checked with their creation.
TEST(FileURLs, AbsoluteStringIsPercentEncodedAndParsesBack) {
    EXPECT_EQ(FileURL::fromPath("/backup/run2", true).absoluteString(), "file:///backup/run2/");
    EXPECT_EQ(FileURL::fromPath("/my files/Grüße").absoluteString(),
              "file:///my%20files/Gr%C3%BC%C3%9Fe");
    const auto parsed = FileURL::parse("file:///my%20files/Gr%C3%BC%C3%9Fe");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->path(), "/my files/Grüße");
    EXPECT_FALSE(FileURL::parse("http://example.invalid/").has_value());
    // An escape is exactly two hexadecimal digits, of either case: no sign, no single digit.
    EXPECT_EQ(FileURL::parse("file:///gr%c3%bc%C3%9Fe")->path(), "/grüße");
    for (const char* text : {"file:///a%", "file:///a%2", "file:///a%G1", "file:///a%1G",
                             "file:///a%+1", "file:///a%-1", "file:///a% 1"}) {
        EXPECT_FALSE(FileURL::parse(text).has_value()) << text;
    }
}

TEST(ProgressObjects, ChildrenCountTowardsTheParentAndShareItsCancellation) {
    Progress parent(1001);
    auto folder = parent.makeChild(1, 1);
    auto file = parent.makeChild(1000, 1000);
    folder->setCompletedUnitCount(1);
    file->setCompletedUnitCount(500);
    EXPECT_NEAR(parent.fractionCompleted(), 501.0 / 1001.0, 1e-9);
    file->addCompletedUnitCount(500);
    EXPECT_DOUBLE_EQ(parent.fractionCompleted(), 1.0);

    std::thread([&] { parent.cancel(); }).join();
    EXPECT_TRUE(parent.isCancelled() && folder->isCancelled() && file->isCancelled());
    // A child made after the cancellation sees it too.
    EXPECT_TRUE(parent.makeChild(1, 1)->isCancelled());
}

}  // namespace
}  // namespace marrowzip
