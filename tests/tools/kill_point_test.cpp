// Kill points: `marrowzip add`, `create`, `remove` and an app-style bulk archive are killed with
// SIGKILL at instants spread over their whole run. After each kill the archive must open, with
// our tool first and then with the other ZIP clients, and hold every entry it held before the
// operation began, with the same bytes. MARROWZIP_KILL_POINTS sets the number of kills per
// operation (`make test-kill` runs 200).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <thread>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/filesystem/zip_item.hpp"
#include "tool_fixture.hpp"

extern char** environ;

namespace marrowzip::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Contents = std::map<std::string, Bytes>;

int killPoints() {
    const char* text = std::getenv("MARROWZIP_KILL_POINTS");
    const int count = text != nullptr ? std::atoi(text) : 0;
    return count > 0 ? count : 24;
}

// Every entry and its bytes, as our library reads them; absent when the archive does not open
// or an entry fails.
std::optional<Contents> contentsOf(const fs::path& path) {
    try {
        Archive archive = Archive::openFile(fileURL(path), Archive::AccessMode::read);
        Contents contents;
        EntryIterator entries = archive.makeEntryIterator();
        while (auto entry = entries.next()) {
            Bytes bytes;
            archive.extractEntry(*entry, [&](ByteView chunk) {
                bytes.insert(bytes.end(), chunk.begin(), chunk.end());
            });
            contents[entry->path()] = std::move(bytes);
        }
        if (entries.endedEarly()) return std::nullopt;
        return contents;
    } catch (const Error&) {
        return std::nullopt;
    }
}

// A process that is either the tool with `arguments` or a fork running `work`.
pid_t startTool(const std::vector<std::string>& arguments, const fs::path& folder) {
    std::vector<std::string> argv{MARROWZIP_TOOL_PATH, "--quiet"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

pid_t startFork(const std::function<void()>& work) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            work();
        } catch (...) {
            std::_Exit(1);
        }
        std::_Exit(0);
    }
    return pid;
}

// Runs a started process to its end (or kills it after `delay`); answers how long it ran.
Clock::duration runUntil(const std::function<pid_t()>& start,
                         std::optional<Clock::duration> delay) {
    const auto begin = Clock::now();
    const pid_t pid = start();
    EXPECT_GT(pid, 0);
    if (delay) {
        std::this_thread::sleep_for(*delay);
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return Clock::now() - begin;
}

class KillPoints : public ToolTest {
protected:
    // Files to archive: many small ones and a few larger, some compressible.
    void makeTree(const std::string& name, int files) {
        const fs::path root = at(name);
        fs::create_directories(root / "sub");
        for (int i = 0; i < files; ++i) {
            const fs::path file = root / (i % 3 == 0 ? "sub" : ".") / ("f" + std::to_string(i));
            writeFileBytes(file, i % 2 ? textBytes(2000 + 37 * i, i) : randomBytes(1500 + i, i));
        }
        writeFileBytes(root / "large", textBytes(1 << 20, 7));
    }

    // Kills the operation at `killPoints()` instants spread over its length (measured once on a
    // fresh copy); before each run the archive is a copy of `seed`, or absent without one;
    // `check` judges what is left.
    void sweep(const std::string& operation, const std::string& seed,
               const std::function<pid_t()>& start,
               const std::function<void(const std::optional<Contents>&)>& check) {
        const auto prepare = [&] {
            if (seed.empty()) {
                fs::remove(archive);
            } else {
                fs::copy_file(at(seed), archive, fs::copy_options::overwrite_existing);
            }
        };
        prepare();
        const auto length = runUntil(start, std::nullopt);
        const int points = killPoints();
        for (int point = 0; point < points; ++point) {
            SCOPED_TRACE(operation + " killed at point " + std::to_string(point));
            prepare();
            // From just after the start to just before the end, with some jitter.
            const auto delay = length * (point + 1) / (points + 1) +
                               std::chrono::microseconds((point * 7919) % 997);
            runUntil(start, std::chrono::duration_cast<Clock::duration>(delay));
            ++killed;
            // Our tool opens it first (that rolls an unfinished update back), then the clients.
            const std::optional<Contents> contents = contentsOf(archive);
            if (fs::exists(archive)) {
                ++checked;
                ASSERT_TRUE(contents) << "the archive does not open";
                check(contents);
                if (!contents->empty() && point % 3 == 0) {
                    EXPECT_EQ(clientComplaints(archive), "");
                }
            } else {
                check(std::nullopt);
            }
            EXPECT_FALSE(fs::exists(archive.string() + ".marrowzip-journal"));
        }
        std::printf("[ kill points ] %s: %d kills, %d archives checked, %d entries lost\n",
                    operation.c_str(), killed, checked, lost);
    }

    // Counts (and reports) the entries of `before` that `contents` lacks or holds differently.
    void expectHolds(const Contents& before, const std::optional<Contents>& contents) {
        ASSERT_TRUE(contents);
        for (const auto& [name, bytes] : before) {
            const auto found = contents->find(name);
            if (found == contents->end() || found->second != bytes) {
                ++lost;
                ADD_FAILURE() << name << " was lost";
            }
        }
    }

    // Starts the tool on the archive in the test's folder.
    std::function<pid_t()> tool(const std::vector<std::string>& arguments) const {
        return [this, arguments] { return startTool(arguments, folder.path()); };
    }

    fs::path archive = at("a.zip");
    int killed = 0;
    int checked = 0;
    int lost = 0;
};

TEST_F(KillPoints, Add) {
    makeTree("base", 60);
    makeTree("more", 120);
    ASSERT_EQ(run({"create", "--quiet", "seed.zip", "base"}).status, 0);
    const Contents before = *contentsOf(at("seed.zip"));
    sweep("add", "seed.zip", tool({"add", "a.zip", "more"}),
          [&](const std::optional<Contents>& contents) {
              expectHolds(before, contents);
              EXPECT_TRUE(contents->size() == before.size() || contents->size() > 120);
          });
    EXPECT_EQ(lost, 0);
}

// Replacing newer files is one step: a kill leaves the old archive or the new, never both
// versions of an entry side by side.
TEST_F(KillPoints, AddUpdate) {
    makeTree("base", 120);
    // `add` names the entries as `add --update` will (`create` stores a folder's contents).
    ASSERT_EQ(run({"add", "--quiet", "seed.zip", "base"}).status, 0);
    const Contents before = *contentsOf(at("seed.zip"));
    const auto later = fs::last_write_time(at("base/large")) + std::chrono::hours(1);
    for (const char* name : {"large", "f1", "sub/f3"}) {
        writeFileBytes(at("base") / name, textBytes(5000, 99));
        fs::last_write_time(at("base") / name, later);
    }
    fs::copy_file(at("seed.zip"), at("after.zip"));
    ASSERT_EQ(run({"add", "--quiet", "--update", "after.zip", "base"}).status, 0);
    const Contents after = *contentsOf(at("after.zip"));
    ASSERT_NE(after, before);
    sweep("add --update", "seed.zip", tool({"add", "--update", "a.zip", "base"}),
          [&](const std::optional<Contents>& contents) {
              ASSERT_TRUE(contents);
              EXPECT_TRUE(*contents == before || *contents == after);
              EXPECT_EQ(Archive::openFile(fileURL(archive), Archive::AccessMode::read)
                            .totalNumberOfEntries(),
                        before.size());
          });
}

TEST_F(KillPoints, Create) {
    makeTree("tree", 120);
    sweep("create", "", tool({"create", "a.zip", "tree"}),
          [&](const std::optional<Contents>& contents) {
              // Nothing, an empty archive, or the whole tree.
              if (contents) {
                  EXPECT_TRUE(contents->empty() || contents->size() > 120);
              }
          });
}

TEST_F(KillPoints, Remove) {
    makeTree("tree", 120);
    ASSERT_EQ(run({"create", "--quiet", "seed.zip", "tree"}).status, 0);
    const Contents before = *contentsOf(at("seed.zip"));
    Contents kept = before;
    kept.erase("large");
    kept.erase("f1");
    sweep("remove", "seed.zip", tool({"remove", "a.zip", "large", "f1"}),
          [&](const std::optional<Contents>& contents) {
              expectHolds(kept, contents);
              EXPECT_TRUE(contents->size() == before.size() || contents->size() == kept.size());
          });
    EXPECT_EQ(lost, 0);
}

TEST_F(KillPoints, AppStyleBulkArchive) {
    makeTree("tree", 120);
    ASSERT_EQ(run({"create", "--quiet", "seed.zip", "tree"}).status, 0);
    const Contents whole = *contentsOf(at("seed.zip"));
    sweep(
        "app archive", "",
        [&] {
            // As the app's archive job: a new archive, one bulk append, default options.
            return startFork([&] { zipFileSystemItem(fileURL(at("tree")), fileURL(archive)); });
        },
        [&](const std::optional<Contents>& contents) {
            if (!contents) return;
            // A valid archive holding some of the tree's entries, each with its own bytes.
            for (const auto& [name, bytes] : *contents) {
                const auto expected = whole.find(name);
                ASSERT_NE(expected, whole.end()) << name;
                EXPECT_TRUE(bytes == expected->second) << name;
            }
        });
}

}  // namespace
}  // namespace marrowzip::testing
