#include "marrowzip/common/file_url.hpp"

#include <gtest/gtest.h>

namespace marrowzip {
namespace {

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

TEST(FileURLs, AbsoluteStringIsPercentEncodedAndParsesBack) {
    EXPECT_EQ(FileURL::fromPath("/backup/run2", true).absoluteString(), "file:///backup/run2/");
    EXPECT_EQ(FileURL::fromPath("/my files/Grüße").absoluteString(),
              "file:///my%20files/Gr%C3%BC%C3%9Fe");
    const auto parsed = FileURL::parse("file:///my%20files/Gr%C3%BC%C3%9Fe");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->path(), "/my files/Grüße");
    const auto memory = FileURL::parse("memory:/");
    ASSERT_TRUE(memory.has_value());
    EXPECT_EQ(memory->scheme(), "memory");
    EXPECT_FALSE(memory->isFileURL());
    EXPECT_FALSE(FileURL::parse("http://example.invalid/").has_value());
}

}  // namespace
}  // namespace marrowzip
