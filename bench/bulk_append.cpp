// N empty entries appended to an in-memory archive in one bulk append, with the central
// directory written once: the time per entry should not grow with N. The file-system side (a
// tree of N empty files against zip -r) is bench/bulk_append_scaling.
#include <benchmark/benchmark.h>

#include <string>

#include "marrowzip/archive/archive.hpp"

namespace {

using marrowzip::Archive;
using marrowzip::Bytes;

void BM_BulkAppendOfEmptyEntries(benchmark::State& state) {
    const auto count = state.range(0);
    for (auto _ : state) {
        Archive archive = Archive::openMemory({}, Archive::AccessMode::create);
        Archive::BulkAppend bulk = archive.beginBulkAppend();
        for (std::int64_t i = 0; i < count; ++i) {
            archive.appendEntry("d/f" + std::to_string(i) + ".qorvels",
                                {.modificationDate = 1700000000},
                                [](std::int64_t, std::int64_t) { return Bytes(); },
                                {.compressionMethod = marrowzip::CompressionMethod::deflate});
        }
        bulk.finish();
        benchmark::DoNotOptimize(archive.totalNumberOfEntries());
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_BulkAppendOfEmptyEntries)
    ->Arg(10000)
    ->Arg(50000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
