// Extracts the input, written to a file, into a fresh folder with unzipArchiveToDirectory, then
// checks that nothing appeared outside that folder. The destination lies a few levels below a
// private root, so that names and links climbing out with "../" land where the check looks.
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <system_error>

#include "fuzz_input.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"

namespace {

namespace fs = std::filesystem;

// Everything below `root`, links not followed.
std::set<std::string> treeBelow(const fs::path& root) {
    std::set<std::string> items;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        items.insert(fs::relative(it->path(), root).string());
    }
    return items;
}

// Extracted folders may carry any permissions; root ignores them, anyone else needs them back
// to empty the folder.
void removeExtracted(const fs::path& folder) {
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code ignored;
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(folder, error);
}

// Every extracted link, followed on the real file system, ends inside the folder (links that
// leave it are refused unless the caller allows them).
void checkLinksStayInside(const fs::path& folder) {
    std::error_code error;
    const fs::path base = fs::canonical(folder, error);
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code ignored;
        if (!it->is_symlink(ignored)) continue;
        std::error_code unresolved;
        const fs::path resolved = fs::weakly_canonical(it->path(), unresolved);
        if (unresolved) continue;  // a loop of links leads nowhere
        const auto [end, _] =
            std::mismatch(base.begin(), base.end(), resolved.begin(), resolved.end());
        if (end != base.end()) marrowzip::fuzzing::fail("an extracted link leads outside");
    }
}

class Sandbox {
public:
    Sandbox() {
        std::string pattern = (fs::temp_directory_path() / "marrowzip-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) marrowzip::fuzzing::fail("no temporary folder");
        root_ = pattern;
        fs::create_directories(root_ / "a" / "b" / "c");
        before_ = treeBelow(root_);
    }
    ~Sandbox() {
        std::error_code error;
        fs::remove_all(root_, error);
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    fs::path archive() const { return root_ / "input.zip"; }
    fs::path destination() const { return root_ / "a" / "b" / "c" / "out"; }

    // The root must hold what it held before, plus the archive and whatever lies in the
    // destination; that is emptied for the next run.
    void checkAndEmpty() {
        const fs::path destination = this->destination();
        std::set<std::string> after = treeBelow(root_);
        const std::string prefix = fs::relative(destination, root_).string();
        std::erase_if(after, [&](const std::string& item) {
            return item == "input.zip" || item == prefix || item.starts_with(prefix + "/");
        });
        if (after != before_) marrowzip::fuzzing::fail("an item was created outside the folder");
        checkLinksStayInside(destination);
        removeExtracted(destination);
    }

private:
    fs::path root_;
    std::set<std::string> before_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Sandbox sandbox;
    {
        std::ofstream file(sandbox.archive(), std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!file) marrowzip::fuzzing::fail("cannot write the input archive");
    }
    fs::create_directory(sandbox.destination());
    try {
        // An even-sized input skips the checksums, so that the fuzzer gets past them.
        marrowzip::unzipArchiveToDirectory(
            marrowzip::FileURL::fromPath(sandbox.archive().string()),
            marrowzip::FileURL::fromPath(sandbox.destination().string(), true), size % 2 == 0);
    } catch (const marrowzip::Error&) {
    }
    sandbox.checkAndEmpty();
    return 0;
}
