// The numbers of the ZIP format that more than one record or step reads: sentinels, flags,
// extra-field header IDs and versions. The signatures and fixed sizes stay with their records.
#pragma once

#include <cstdint>

namespace marrowzip {

// A 32-bit size or offset of this value (a 16-bit count or disk number of 0xFFFF) stands for a
// value held in the ZIP64 block; a value this large no longer fits the field.
constexpr std::uint32_t sentinel32 = 0xFFFFFFFF;
constexpr std::uint16_t sentinel16 = 0xFFFF;

// General purpose bit flags.
constexpr std::uint16_t encryptedFlag = 1U << 0;
constexpr std::uint16_t dataDescriptorFlag = 1U << 3;
constexpr std::uint16_t utf8NameFlag = 1U << 11;

// Extra-field header IDs.
constexpr std::uint16_t zip64HeaderID = 0x0001;
constexpr std::uint16_t ntfsHeaderID = 0x000A;
constexpr std::uint16_t timestampHeaderID = 0x5455;  // "UT"
// Info-ZIP's Unicode Path field: version 1, the CRC-32 of the name it stands for, then the name
// in UTF-8.
constexpr std::uint16_t unicodePathHeaderID = 0x7075;

// Version needed to extract: 2.0 for the engine's entries, 4.5 once they carry ZIP64 values.
constexpr std::uint16_t versionNeededDefault = 20;
constexpr std::uint16_t versionNeededZIP64 = 45;
// Version made by: Unix (3) in the high byte, format version 2.1 in the low byte.
constexpr std::uint16_t versionMadeByUnix = 789;

}  // namespace marrowzip
