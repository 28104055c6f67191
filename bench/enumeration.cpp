// Opening an archive of 100,000 empty files and walking its central directory: the cost per
// entry of parsing records, ZIP64 end records included (more than 65,535 entries).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "marrowzip/archive/archive.hpp"

namespace {

constexpr int entryCount = 100000;

// Python's zipfile writes the archive: a peer's records, with the ZIP64 end records that this
// many entries need.
std::filesystem::path makeArchive() {
    const auto path = std::filesystem::temp_directory_path() /
                      ("marrowzip-bench-enumeration-" + std::to_string(::getpid()) + ".zip");
    const std::string command =
        "python3 -c \"import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        " for i in range(" +
        std::to_string(entryCount) +
        "): z.writestr(f'group{i // 1000:03d}/empty{i:06d}', b'')\" '" + path.string() + "'";
    if (std::system(command.c_str()) != 0) return {};
    return path;
}

void EnumerateEntries(benchmark::State& state) {
    const std::filesystem::path path = makeArchive();
    if (path.empty()) {
        state.SkipWithError("python3 could not write the archive");
        return;
    }
    const auto url = marrowzip::FileURL::fromPath(path.string());
    std::int64_t seen = 0;
    for (auto _ : state) {
        const auto archive =
            marrowzip::Archive::openFile(url, marrowzip::Archive::AccessMode::read);
        seen = 0;
        for (const auto& entry : archive)
            seen += entry.path().size() > 0;
    }
    if (seen != entryCount) state.SkipWithError("not every entry was listed");
    state.SetItemsProcessed(state.iterations() * entryCount);
    std::filesystem::remove(path);
}
BENCHMARK(EnumerateEntries)->Unit(benchmark::kMillisecond);

}  // namespace
