// Helpers of the append and removal tests: entries appended from bytes in memory, their bytes
// read back, and the verdict of the real ZIP clients on an archive.
#pragma once

#include <filesystem>
#include <string>

#include "marrowzip/container/archive.hpp"
#include "support/test_support.hpp"

namespace marrowzip::testing {

inline constexpr Date sampleDate = 1700000000;  // 2023-11-14T22:13:20Z

inline void appendBytes(Archive& archive, const std::string& path, const Bytes& bytes,
                        CompressionMethod method = CompressionMethod::none) {
    archive.appendEntry(path, EntryType::file, static_cast<std::int64_t>(bytes.size()), sampleDate,
                        std::nullopt, method, defaultChunkSize, nullptr,
                        [&](std::int64_t position, std::int64_t size) {
                            return Bytes(bytes.begin() + position, bytes.begin() + position + size);
                        });
}

inline Bytes entryBytes(Archive& archive, const Entry& entry) {
    Bytes out;
    archive.extractEntry(
        entry, [&](ByteView chunk) { out.insert(out.end(), chunk.begin(), chunk.end()); });
    return out;
}

// What the installed clients say against the archive; empty when all of them accept it.
inline std::string clientComplaints(const std::filesystem::path& archive) {
    std::string complaints;
    auto check = [&](const std::string& command, const std::string& successText) {
        const std::string program = command.substr(0, command.find(' '));
        if (!haveProgram(program)) return;
        const auto result = runCommand(command + " " + shellQuote(archive.string()));
        if (result.exitCode != 0 || result.output.find(successText) == std::string::npos) {
            complaints += result.output;
        }
    };
    check("unzip -t", "No errors detected");
    check("python3 -m zipfile -t", "Done testing");
    check(haveProgram("7z") ? "7z t" : "7zz t", "Everything is Ok");
    return complaints;
}

}  // namespace marrowzip::testing
