#include "support/failing_storage.hpp"

#include <algorithm>
#include <cerrno>

namespace marrowzip::testing {

using Transfer = MemoryFile::Transfer;
using TransferLimit = MemoryFile::TransferLimit;

MemoryFile::TransferGate failingGate(StorageFault fault) {
    auto transferred = std::make_shared<std::uint64_t>(0);
    auto failed = std::make_shared<bool>(false);
    return [=](Transfer kind, std::int64_t position, std::size_t length) -> TransferLimit {
        const auto end = static_cast<std::uint64_t>(position) + length;
        switch (fault.kind) {
            case StorageFault::Kind::readError:
                if (kind == Transfer::write) return {length, 0};
                break;
            case StorageFault::Kind::writeError:
                if (kind == Transfer::read || *failed) return {length, 0};
                break;
            case StorageFault::Kind::fullDisk:
                if (kind == Transfer::read || end <= fault.at) return {length, 0};
                return {static_cast<std::size_t>(fault.at -
                                                 std::min<std::uint64_t>(fault.at, position)),
                        ENOSPC};
        }
        const std::uint64_t allowed = fault.at - std::min(fault.at, *transferred);
        if (length <= allowed) {
            *transferred += length;
            return {length, 0};
        }
        *transferred += allowed;
        *failed = true;
        return {static_cast<std::size_t>(allowed), EIO};
    };
}

MemoryFile::TransferGate recordingGate(std::shared_ptr<TransferLog> log) {
    auto read = std::make_shared<std::uint64_t>(0);
    auto written = std::make_shared<std::uint64_t>(0);
    return [=](Transfer kind, std::int64_t position, std::size_t length) -> TransferLimit {
        if (kind == Transfer::read) {
            log->readTotals.insert(*read += length);
        } else {
            log->writeTotals.insert(*written += length);
            log->writeEnds.insert(static_cast<std::uint64_t>(position) + length);
        }
        return {length, 0};
    };
}

}  // namespace marrowzip::testing
