#include "tool_fixture.hpp"

#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>

namespace marrowzip::testing {

namespace fs = std::filesystem;

void ToolTest::makeTree(const std::string& name) const {
    const fs::path root = at(name);
    writeFileText(root / "a.txt", "hello\n");
    writeFileText(root / "empty.txt", "");
    writeFileText(root / "run.sh", "#!/bin/sh\necho run\n");
    fs::permissions(root / "run.sh", fs::perms(0755));
    writeFileText(root / "with space café.txt", std::string(3000, 'c'));
    writeFileBytes(root / "sub/b.bin", randomBytes(20000, 7));
    writeFileBytes(root / "sub/deeper/c.txt", textBytes(50000, 3));
    fs::create_directories(root / "emptydir");
    fs::create_symlink("sub/b.bin", root / "link");
}

void ToolTest::shell(const std::string& command) const {
    const CommandResult result =
        runCommand("cd " + shellQuote(folder.path().string()) + " && " + command);
    ASSERT_EQ(result.exitCode, 0) << command << "\n" << result.output;
}

std::vector<std::string> describeTree(const fs::path& root) {
    std::vector<std::string> lines;
    for (const std::string& relative : listTree(root)) {
        const fs::path path = root / relative;
        struct stat status {};
        ::lstat(path.c_str(), &status);
        std::string line = relative + " ";
        if (S_ISLNK(status.st_mode)) {
            line += "link -> " + fs::read_symlink(path).string();
        } else if (S_ISDIR(status.st_mode)) {
            line += "folder";
        } else {
            const Bytes bytes = readFileBytes(path);
            char summary[64];
            std::snprintf(summary, sizeof summary, "file %zu bytes crc %08lx mode %03o",
                          bytes.size(), ::crc32(0, bytes.data(), static_cast<uInt>(bytes.size())),
                          static_cast<unsigned>(status.st_mode & 0777));
            line += summary;
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace marrowzip::testing
