#include "marrowzip/common/file_url.hpp"

#include <gtest/gtest.h>

namespace marrowzip {
namespace {

TEST(FileURLs, PathArithmetic) {
    const auto url = FileURL::fromPath("/data/run1");
    EXPECT_EQ(url.lastPathComponent(), "run1");
    EXPECT_EQ(url.deletingLastPathComponent().path(), "/data");
    EXPECT_EQ(url.appendingPathComponent("sub/b.qorvels").path(), "/data/run1/sub/b.qorvels");
    EXPECT_TRUE(url.appendingPathComponent("sub/").hasDirectoryPath());
    EXPECT_EQ(url.pathComponents(), (std::vector<std::string>{"/", "data", "run1"}));
    EXPECT_EQ(FileURL::fromPath("/").pathComponents(), (std::vector<std::string>{"/"}));
    EXPECT_EQ(FileURL::fromPath("/").deletingLastPathComponent().path(), "/");
    EXPECT_EQ(FileURL::fromPath("/a/x.qorvels.bak").pathExtension(), "bak");
    EXPECT_EQ(FileURL::fromPath("/a/qorvels").pathExtension(), "");
    EXPECT_EQ(FileURL::fromPath("/a/.hidden").pathExtension(), "");
}

TEST(FileURLs, StandardizationResolvesDotSegmentsTextually) {
    EXPECT_EQ(FileURL::fromPath("/a/./b/../c").standardized().path(), "/a/c");
    EXPECT_EQ(FileURL::fromPath("/a/../../x").standardized().path(), "/x");
    EXPECT_EQ(FileURL::fromPath("/a//b/").standardized().absoluteString(), "file:///a/b/");
}

TEST(FileURLs, AbsoluteStringIsPercentEncoded) {
    EXPECT_EQ(FileURL::fromPath("/backup/run2", true).absoluteString(), "file:///backup/run2/");
    EXPECT_EQ(FileURL::fromPath("/my files/Grüße").absoluteString(),
              "file:///my%20files/Gr%C3%BC%C3%9Fe");
    const auto parsed = FileURL::parse("file:///my%20files/Gr%C3%BC%C3%9Fe");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->path(), "/my files/Grüße");
}

TEST(FileURLs, MemoryURLAndRelativePaths) {
    const auto memory = FileURL::parse("memory:/");
    ASSERT_TRUE(memory.has_value());
    EXPECT_EQ(memory->scheme(), "memory");
    EXPECT_FALSE(memory->isFileURL());
    EXPECT_FALSE(FileURL::parse("http://example.invalid/").has_value());
    EXPECT_EQ(FileURL::fromPath("relative/x").path().front(), '/');
}

}  // namespace
}  // namespace marrowzip
