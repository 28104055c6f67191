// A small URL value for the engine: file URLs with path arithmetic, and the "memory:/" URL of
// in-memory archives. Only what the engine needs; no network schemes, queries or fragments.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marrowzip {

class FileURL {
public:
    // A file URL for a path. A relative path is taken relative to the current directory; links
    // are not resolved. A path ending in "/" (or `isDirectory`) marks a directory URL.
    static FileURL fromPath(std::string_view path, bool isDirectory = false);

    // Parses "file:///…" (percent-decoded) and "memory:/"; anything else is absent.
    static std::optional<FileURL> parse(std::string_view text);

    const std::string& scheme() const noexcept { return scheme_; }
    bool isFileURL() const noexcept { return scheme_ == "file"; }
    bool hasDirectoryPath() const noexcept { return directory_; }

    // The path, without a trailing slash (except for "/" itself).
    const std::string& path() const noexcept { return path_; }
    std::filesystem::path filesystemPath() const { return std::filesystem::path(path_); }

    // "/" followed by the names below it; a trailing slash adds no component.
    std::vector<std::string> pathComponents() const;
    std::string lastPathComponent() const;
    // The text after the last dot of the last component, without the dot; empty when none.
    std::string pathExtension() const;

    // `component` may hold several components ("a/b/c"); a trailing "/" makes a directory URL.
    FileURL appendingPathComponent(std::string_view component) const;
    FileURL deletingLastPathComponent() const;
    // "." and ".." segments resolved textually; ".." above the root stays at the root.
    FileURL standardized() const;
    FileURL asDirectory() const;

    // "file:///a%20b/c/" — scheme, percent-encoded path, a trailing slash for a directory.
    std::string absoluteString() const;
    // What messages name: the path of a file URL, the whole text of any other ("memory:/").
    std::string displayPath() const { return isFileURL() ? path_ : absoluteString(); }

    friend bool operator==(const FileURL&, const FileURL&) = default;

private:
    FileURL(std::string scheme, std::string path, bool directory);

    std::string scheme_;
    std::string path_;
    bool directory_ = false;
};

}  // namespace marrowzip
