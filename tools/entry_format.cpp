#include "entry_format.hpp"

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "marrowzip/filesystem/attributes.hpp"
#include "reporting.hpp"

namespace marrowzip::tool {
namespace {

const char* typeName(EntryType type) {
    switch (type) {
        case EntryType::file:
            return "file";
        case EntryType::directory:
            return "directory";
        case EntryType::symlink:
            return "symlink";
    }
    return "file";
}

// The permissions and date exactly as extraction would apply them.
struct ShownAttributes {
    std::uint16_t permissions;
    Timestamp modified;
};

ShownAttributes shownAttributes(const Entry& entry) {
    const FileAttributes attributes = attributesOfEntry(entry);
    const auto& record = entry.centralDirectoryStructure;
    return {attributes.posixPermissions.value_or(permissionsOfEntry(
                record.externalFileAttributes, entry.hostSystem(), entry.type())),
            attributes.modificationDate.value_or(Timestamp{})};
}

}  // namespace

std::string permissionString(EntryType type, std::uint16_t permissions) {
    std::string text = "----------";
    text[0] = type == EntryType::directory ? 'd' : type == EntryType::symlink ? 'l' : '-';
    static constexpr char letters[] = "rwx";
    for (int bit = 0; bit < 9; ++bit) {
        if (permissions & (0400 >> bit)) text[static_cast<std::size_t>(bit) + 1] = letters[bit % 3];
    }
    // Set-user-ID, set-group-ID and sticky bits take the execute column: lower case over x.
    const auto special = [&](std::uint16_t flag, std::size_t column, char withX, char withoutX) {
        if (permissions & flag) text[column] = text[column] == 'x' ? withX : withoutX;
    };
    special(04000, 3, 's', 'S');
    special(02000, 6, 's', 'S');
    special(01000, 9, 't', 'T');
    return text;
}

std::string utcTimestamp(const Timestamp& time, bool iso8601) {
    const auto seconds = static_cast<std::time_t>(time.seconds);
    std::tm parts{};
    if (::gmtime_r(&seconds, &parts) == nullptr) return iso8601 ? "1970-01-01T00:00:00Z" : "-";
    char text[32];
    std::strftime(text, sizeof text, iso8601 ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

std::string methodName(std::uint16_t method) {
    if (method == static_cast<std::uint16_t>(CompressionMethod::none)) return "stored";
    if (method == static_cast<std::uint16_t>(CompressionMethod::deflate)) return "deflate";
    return std::to_string(method);
}

std::string entryLine(const Entry& entry) {
    const ShownAttributes shown = shownAttributes(entry);
    char columns[128];
    std::snprintf(columns, sizeof columns, "%s %10" PRIu64 " %10" PRIu64 " %-7s %08" PRIx32 " %s ",
                  permissionString(entry.type(), shown.permissions).c_str(),
                  entry.uncompressedSize(), entry.compressedSize(),
                  methodName(entry.centralDirectoryStructure.compressionMethod).c_str(),
                  entry.checksum(), utcTimestamp(shown.modified, false).c_str());
    return columns + escapeControlCharacters(entry.path());
}

nlohmann::json entryJSON(const Entry& entry) {
    const ShownAttributes shown = shownAttributes(entry);
    return {
        {"path", entry.path()},
        {"type", typeName(entry.type())},
        {"mode", shown.permissions},
        {"uncompressedSize", entry.uncompressedSize()},
        {"compressedSize", entry.compressedSize()},
        {"method", entry.centralDirectoryStructure.compressionMethod},
        {"crc32", entry.checksum()},
        {"modified", utcTimestamp(shown.modified, true)},
        {"zip64", entry.isZIP64()},
    };
}

}  // namespace marrowzip::tool
