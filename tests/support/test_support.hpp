// Helpers shared by the test suites: temporary folders, files, and the real ZIP clients.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/types.hpp"

namespace marrowzip::testing {

// Whether this build runs under a sanitizer, whose shadow memory makes memory figures moot.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitized = true;
#elif defined(__has_feature)
inline constexpr bool sanitized =
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
inline constexpr bool sanitized = false;
#endif

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const {
        return path_ / relative;
    }

private:
    std::filesystem::path path_;
};

struct CommandResult {
    int exitCode = -1;
    std::string output;  // standard output and standard error together
};

// Runs a shell command (with TZ=UTC) and collects its output.
CommandResult runCommand(const std::string& command);
// Quotes a text for the shell.
std::string shellQuote(const std::string& text);
// Whether a program is on the PATH.
bool haveProgram(const std::string& name);
// The 7-Zip command installed ("7zz" or "7z"), or "" when there is none.
std::string sevenZip();
// What the installed clients (unzip, Python's zipfile, 7-Zip) say against the archive, each line
// behind the command that printed it; empty when all of them accept it.
std::string clientComplaints(const std::filesystem::path& archive);

inline FileURL fileURL(const std::filesystem::path& path, bool isDirectory = false) {
    return FileURL::fromPath(path.string(), isDirectory);
}

// Runs `body` in a forked child that ends at once with the status `body` returns (255 when it
// throws); answers that status, or -1 when the child did not exit.
int exitStatusInChild(const std::function<int()>& body);

// The error that `operation` throws, if any.
std::optional<Error> errorOf(const std::function<void()>& operation);

Bytes readFileBytes(const std::filesystem::path& path);
void writeFileBytes(const std::filesystem::path& path, ByteView bytes);
void writeFileText(const std::filesystem::path& path, const std::string& text);
Bytes bytesOf(const std::string& text);

// zlib's own raw DEFLATE of `input` at `level` (0–9): the reference our coders are held to.
Bytes rawDeflate(const Bytes& input, int level);

// Deterministic pseudo-random bytes (incompressible) and repetitive text (compressible).
Bytes randomBytes(std::size_t count, std::uint32_t seed = 1);
Bytes textBytes(std::size_t count, std::uint32_t seed = 1);

// Every path below `root` (relative, sorted), to compare trees before and after.
std::vector<std::string> listTree(const std::filesystem::path& root);

}  // namespace marrowzip::testing
