// Extracting 400 files each one folder deeper than the last, 1,600 to 2,000 folders down: the
// cost of finding (and making) the folder of each entry must not grow with the square of its
// depth.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "marrowzip/filesystem/unzip_directory.hpp"

namespace {

constexpr int entryCount = 400;

// Python's zipfile writes the archive: no folder entries, only the files' paths.
std::filesystem::path makeArchive(const std::filesystem::path& folder) {
    const auto path = folder / "deep.zip";
    const std::string command =
        "python3 -c \"import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        " for i in range(" +
        std::to_string(entryCount) + "): z.writestr('d/' * (1600 + i) + f'f{i}', b'x')\" '" +
        path.string() + "'";
    if (std::system(command.c_str()) != 0) return {};
    return path;
}

void ExtractDeepPaths(benchmark::State& state) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("marrowzip-bench-deep-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::filesystem::path archive = makeArchive(folder);
    if (archive.empty()) {
        state.SkipWithError("python3 could not write the archive");
        return;
    }
    int run = 0;
    for (auto _ : state) {
        const auto out = folder / ("out" + std::to_string(run++));
        marrowzip::unzipArchiveToDirectory(marrowzip::FileURL::fromPath(archive.string()),
                                           marrowzip::FileURL::fromPath(out.string()));
        state.PauseTiming();
        std::filesystem::remove_all(out);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * entryCount);
    std::filesystem::remove_all(folder);
}
BENCHMARK(ExtractDeepPaths)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
