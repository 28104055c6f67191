#include "marrowzip/common/file_url.hpp"

#include <cctype>
#include <charconv>

namespace marrowzip {
namespace {

// Collapses repeated slashes and removes the trailing one (but keeps "/").
std::string tidyPath(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out.push_back(c);
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    if (out.empty()) out = "/";
    return out;
}

std::vector<std::string> splitComponents(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Letters, digits, the unreserved marks, the sub-delimiters, ':', '@' and '/'.
bool isAllowedInPath(unsigned char c) {
    return std::isalnum(c) != 0 ||
           std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(c)) !=
               std::string_view::npos;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        // Exactly two hexadecimal digits, of either case.
        unsigned char byte = 0;
        const char* digits = text.data() + i + 1;
        if (i + 2 >= text.size() || std::from_chars(digits, digits + 2, byte, 16).ptr != digits + 2)
            return std::nullopt;
        out.push_back(static_cast<char>(byte));
        i += 2;
    }
    return out;
}

}  // namespace

FileURL::FileURL(std::string scheme, std::string path, bool directory)
    : scheme_(std::move(scheme)), path_(std::move(path)), directory_(directory) {}

FileURL FileURL::fromPath(std::string_view path, bool isDirectory) {
    std::string absolute(path);
    if (absolute.empty() || absolute.front() != '/') {
        std::error_code ignored;
        absolute = std::filesystem::current_path(ignored).string() + "/" + absolute;
    }
    const bool directory = isDirectory || absolute.back() == '/';
    return FileURL("file", tidyPath(absolute), directory);
}

std::optional<FileURL> FileURL::parse(std::string_view text) {
    if (text == "memory:/") return FileURL("memory", "/", false);
    constexpr std::string_view filePrefix = "file://";
    if (text.substr(0, filePrefix.size()) != filePrefix) return std::nullopt;
    std::string_view rest = text.substr(filePrefix.size());
    if (rest.empty() || rest.front() != '/') return std::nullopt;  // only the local host
    auto decoded = percentDecode(rest);
    if (!decoded) return std::nullopt;
    return fromPath(*decoded);
}

std::vector<std::string> FileURL::pathComponents() const {
    std::vector<std::string> components{"/"};
    for (auto& part : splitComponents(path_))
        components.push_back(std::move(part));
    return components;
}

std::string FileURL::lastPathComponent() const {
    if (path_ == "/") return "/";
    return path_.substr(path_.rfind('/') + 1);
}

std::string FileURL::pathExtension() const {
    const std::string last = lastPathComponent();
    const auto dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    return last.substr(dot + 1);
}

FileURL FileURL::appendingPathComponent(std::string_view component) const {
    const bool directory = !component.empty() && component.back() == '/';
    return FileURL(scheme_, tidyPath(path_ + "/" + std::string(component)), directory);
}

FileURL FileURL::deletingLastPathComponent() const {
    // The root's parent is the root: its only slash stands at 0.
    const auto slash = path_.rfind('/');
    return FileURL(scheme_, slash == 0 ? "/" : path_.substr(0, slash), true);
}

FileURL FileURL::standardized() const {
    std::vector<std::string> kept;
    for (auto& part : splitComponents(path_)) {
        if (part == ".") continue;
        if (part == "..") {
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        kept.push_back(std::move(part));
    }
    std::string path;
    for (const auto& part : kept)
        path += "/" + part;
    return FileURL(scheme_, path.empty() ? "/" : path, directory_);
}

FileURL FileURL::asDirectory() const {
    return FileURL(scheme_, path_, true);
}

std::string FileURL::absoluteString() const {
    std::string text = scheme_ + (isFileURL() ? "://" : ":");
    static constexpr char digits[] = "0123456789ABCDEF";
    for (unsigned char c : path_) {
        if (isAllowedInPath(c)) {
            text.push_back(static_cast<char>(c));
        } else {
            text.push_back('%');
            text.push_back(digits[c >> 4]);
            text.push_back(digits[c & 0xF]);
        }
    }
    if (directory_ && path_ != "/") text.push_back('/');
    return text;
}

}  // namespace marrowzip
