// Archives on standard streams: "-" as the ARCHIVE of list, test and extract reads the archive
// from standard input, and "-" as the ARCHIVE of create writes it to standard output.
#pragma once

#include <optional>
#include <string>

#include "commands.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/unique_fd.hpp"

namespace marrowzip::tool {

inline constexpr const char* standardStreamArgument = "-";
inline constexpr const char* standardInputName = "standard input";
inline constexpr const char* standardOutputName = "standard output";

// The archive a reading command works on, as a file the engine can open (and reopen, for the
// workers of an extraction).
struct ArchiveInput {
    FileURL url;
    std::string shown;  // how lines name it: as typed, or "standard input"
    // Standard input spooled to a temporary file, unlinked at once: its central directory is at
    // its end, and the engine reads an archive from its end. The file lives while this does.
    UniqueFd spool;
};

// The front-end step of list, test and extract: registers the archive for messages and, for
// "-", spools standard input (refusing a terminal, and an empty input, with a plain line).
ArchiveInput openArchiveInput(const std::string& typed, ToolContext& context);

// `create -`: the archive goes to standard output and nowhere else.
int runCreateToStandardOutput(const CreateOptions& options, ToolContext& context);

}  // namespace marrowzip::tool
