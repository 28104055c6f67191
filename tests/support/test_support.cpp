#include "support/test_support.hpp"

#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

namespace marrowzip::testing {

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "marrowzip-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    // Folders left without write or search permission by a test must still go.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
    }
    std::filesystem::remove_all(path_, ignored);
}

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    const std::string full = "TZ=UTC " + command + " 2>&1";
    std::FILE* pipe = ::popen(full.c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        result.output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted.push_back(c);
        }
    }
    return quoted + "'";
}

bool haveProgram(const std::string& name) {
    return runCommand("command -v " + shellQuote(name) + " >/dev/null").exitCode == 0;
}

std::string sevenZip() {
    return haveProgram("7zz") ? "7zz" : haveProgram("7z") ? "7z" : "";
}

namespace {

// Only the end record: 22 bytes, the first four its signature.
bool archiveHoldsNoEntries(const std::filesystem::path& archive) {
    std::error_code error;
    if (std::filesystem::file_size(archive, error) != 22 || error) return false;
    const Bytes bytes = readFileBytes(archive);
    return bytes.size() == 22 && bytes[0] == 'P' && bytes[1] == 'K' && bytes[2] == 5 &&
           bytes[3] == 6;
}

}  // namespace

std::string clientComplaints(const std::filesystem::path& archive) {
    std::string complaints;
    const auto check = [&](const std::string& command, const std::string& success) {
        if (!haveProgram(command.substr(0, command.find(' ')))) return;
        const auto result = runCommand(command + " " + shellQuote(archive.string()));
        if (result.exitCode != 0 || result.output.find(success) == std::string::npos) {
            complaints += command + ": " + result.output;
        }
    };
    // An archive of no entries is valid; this client only warns of it, with a status of 1.
    if (!archiveHoldsNoEntries(archive)) check("unzip -t", "No errors detected");
    check("python3 -m zipfile -t", "Done testing");
    if (const std::string seven = sevenZip(); !seven.empty())
        check(seven + " t", "Everything is Ok");
    return complaints;
}

int exitStatusInChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        int status = 255;
        try {
            status = body();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "child: %s\n", error.what());
        } catch (...) {
        }
        std::_Exit(status);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::optional<Error> errorOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

Bytes readFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::filesystem::path& path, ByteView bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void writeFileText(const std::filesystem::path& path, const std::string& text) {
    writeFileBytes(path, bytesOf(text));
}

Bytes rawDeflate(const Bytes& input, int level) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    Bytes output(deflateBound(&stream, static_cast<uLong>(input.size())));
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    const int status = deflate(&stream, Z_FINISH);
    output.resize(stream.total_out);
    deflateEnd(&stream);
    if (status != Z_STREAM_END) throw std::runtime_error("deflate failed");
    return output;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes randomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes out(count);
    for (auto& byte : out)
        byte = static_cast<std::uint8_t>(generator());
    return out;
}

Bytes textBytes(std::size_t count, std::uint32_t seed) {
    static constexpr std::array<const char*, 8> words = {
        "marrow ", "zip ", "entry ", "folder ", "qorvels ", "archive ", "record\n", "data "};
    std::mt19937 generator(seed);
    Bytes out;
    out.reserve(count);
    while (out.size() < count) {
        const char* word = words[generator() % words.size()];
        for (const char* c = word; *c != '\0' && out.size() < count; ++c)
            out.push_back(static_cast<std::uint8_t>(*c));
    }
    return out;
}

std::vector<std::string> listTree(const std::filesystem::path& root) {
    std::vector<std::string> paths;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        paths.push_back(it->path().lexically_relative(root).string());  // links not resolved
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace marrowzip::testing
