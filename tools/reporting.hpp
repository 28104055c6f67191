// How the tool reports failures: one line on standard error, "marrowzip: <file or entry>:
// <description>", with paths shown as the user typed them.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/warning.hpp"

namespace marrowzip::tool {

inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

// A failure the tool words itself. what() is the line without the leading "marrowzip: ".
class CommandFailure : public std::runtime_error {
public:
    explicit CommandFailure(const std::string& line, int status = exitFailure)
        : std::runtime_error(line), status_(status) {}
    int status() const noexcept { return status_; }

private:
    int status_;
};

// The engine names files by absolute path; a person reads them best as typed. Each command
// registers the paths it was given, and a path at or below one of them is shown through it.
class DisplayPaths {
public:
    void add(std::string_view typed);
    // Shows `absolutePath` (and what lies below it) as `shown`.
    void addAlias(std::string absolutePath, std::string shown);
    std::string display(const std::string& absolutePath) const;

private:
    std::vector<std::pair<std::string, std::string>> roots_;  // absolute → as typed
};

// The error's line: its file shown as typed (or `subject` when it names no file), its entry,
// its description.
std::string describe(const Error& error, const DisplayPaths& paths, const std::string& subject);

// A warning's line (without "marrowzip: warning: "): its file shown as typed, its entry, what
// was set aside.
std::string describeWarning(const Warning& warning, const DisplayPaths& paths);

// Entry names come from the archive: a newline would split a line in two, and an escape
// sequence would reach the terminal. Control characters are shown as \n, \t or \xNN (and a
// backslash as \\) so every name stays on its line and prints as text.
std::string escapeControlCharacters(std::string_view text);

// Writes "marrowzip: " and the escaped line to standard error.
void printErrorLine(std::string_view line);

}  // namespace marrowzip::tool
