#include "reporting.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "commands.hpp"
#include "marrowzip/common/file_url.hpp"

namespace marrowzip::tool {
namespace {

// Repeated slashes folded and a trailing slash dropped, as FileURL keeps its paths.
std::string tidyTypedPath(std::string_view typed) {
    std::string out;
    for (char c : typed) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out.push_back(c);
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

}  // namespace

void DisplayPaths::add(std::string_view typed) {
    if (typed.empty()) return;
    const FileURL url = FileURL::fromPath(typed);
    addAlias(url.path(), tidyTypedPath(typed));
    // "tree/." is also shown as "tree" where the engine names the folder it stands for.
    const std::string standardized = url.standardized().path();
    if (standardized != url.path()) {
        std::string shown = std::filesystem::path(typed).lexically_normal().string();
        while (shown.size() > 1 && shown.back() == '/')
            shown.pop_back();
        addAlias(standardized, shown);
    }
}

void DisplayPaths::addAlias(std::string absolutePath, std::string shown) {
    if (absolutePath == "/") return;  // every path lies below the root: nothing to gain
    roots_.emplace_back(std::move(absolutePath), std::move(shown));
    // The deepest root wins when one registered path lies inside another.
    std::stable_sort(roots_.begin(), roots_.end(),
                     [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
}

std::string DisplayPaths::display(const std::string& absolutePath) const {
    for (const auto& [absolute, typed] : roots_) {
        if (absolutePath == absolute) return typed;
        if (absolutePath.size() > absolute.size() && absolutePath.starts_with(absolute) &&
            absolutePath[absolute.size()] == '/') {
            return typed + absolutePath.substr(absolute.size());
        }
    }
    return absolutePath;
}

std::string describe(const Error& error, const DisplayPaths& paths, const std::string& subject) {
    const std::string path = error.path().empty() ? subject : paths.display(error.path());
    return Error(error.code(), path, error.entry(), error.detail()).what();
}

std::string describeWarning(const Warning& warning, const DisplayPaths& paths) {
    return Warning{paths.display(warning.path), warning.entry, warning.message}.text();
}

std::string escapeControlCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

void printErrorLine(std::string_view line) {
    std::cout.flush();  // keep the order of the two streams when both go to one place
    std::cerr << "marrowzip: " << escapeControlCharacters(line) << '\n' << std::flush;
}

Archive::OpenOptions writerOptions(bool noWait, const ToolContext& context) {
    Archive::OpenOptions options;
    options.waitForOtherWriter = !noWait;
    const std::string shown = context.subject;
    options.onWaiting = [shown] {
        printErrorLine(shown + ": waiting for another process to finish updating the archive");
    };
    return options;
}

}  // namespace marrowzip::tool
