// The command line: subcommands, their options and arguments, --help and --version.
#pragma once

#include <optional>
#include <variant>

#include "commands.hpp"

namespace marrowzip::tool {

struct CommandLine {
    bool quiet = false;
    unsigned workers = 0;  // --workers: threads of create, add, extract and test; 0 one per core
    std::variant<ListOptions, CreateOptions, AddOptions, ExtractOptions, RemoveOptions, TestOptions,
                 RepairOptions>
        command;
};

// Parses the arguments into `commandLine` and answers absent when the command is to run.
// Otherwise answers the exit status: 0 after printing help or the version, 2 after reporting
// a usage error.
std::optional<int> parseCommandLine(int argc, char** argv, CommandLine& commandLine);

}  // namespace marrowzip::tool
