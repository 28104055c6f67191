// Storage that fails, for the fault tests of the operations: a gate for the transfers of an
// in-memory archive's buffer (its stdio stream is made with fopencookie) that breaks reads off,
// fails one write, or runs out of space, and a gate that records where those faults can strike.
#pragma once

#include <cstdint>
#include <memory>
#include <set>

#include "marrowzip/processing/memory_file.hpp"

namespace marrowzip::testing {

struct StorageFault {
    enum class Kind {
        readError,   // every read fails once `at` bytes have been read
        writeError,  // the write that crosses `at` bytes written fails; later ones go through
        fullDisk,    // bytes beyond offset `at` are refused with ENOSPC
    };
    Kind kind = Kind::readError;
    std::uint64_t at = 0;
};

MemoryFile::TransferGate failingGate(StorageFault fault);

// The running totals of bytes read and written after each transfer, and the end offset of
// each write: the points where a fault of each kind changes what the operation sees.
struct TransferLog {
    std::set<std::uint64_t> readTotals{0};
    std::set<std::uint64_t> writeTotals{0};
    std::set<std::uint64_t> writeEnds;
};

MemoryFile::TransferGate recordingGate(std::shared_ptr<TransferLog> log);

}  // namespace marrowzip::testing
