// How `list` shows an entry: one text line, or one JSON object.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "marrowzip/common/types.hpp"
#include "marrowzip/format/entry.hpp"

namespace marrowzip::tool {

// As `ls -l` shows a mode: "-rw-r--r--", "drwxr-xr-x", "lrwxrwxrwx", with s/S and t/T.
std::string permissionString(EntryType type, std::uint16_t permissions);

// "2024-05-01 10:00:00" (text) or "2024-05-01T10:00:00Z" (JSON), always UTC, to the second.
std::string utcTimestamp(const Timestamp& time, bool iso8601);

// "stored", "deflate", or the raw number of a method the engine cannot read.
std::string methodName(std::uint16_t method);

// Type and permissions, uncompressed size, compressed size, method, CRC-32, time, path.
std::string entryLine(const Entry& entry);

nlohmann::json entryJSON(const Entry& entry);

}  // namespace marrowzip::tool
