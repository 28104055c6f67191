// marrowzip: the command-line front end of the engine.
//
// Exit status: 0 on success, 1 on a failure, 2 on a usage error, 128 + the signal number when
// interrupted (130 for Ctrl-C). A failure is one line on standard error,
// "marrowzip: <file or entry>: <description>", and nothing else is printed.
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <variant>

#include "command_line.hpp"
#include "commands.hpp"
#include "interrupt_watcher.hpp"
#include "reporting.hpp"

namespace marrowzip::tool {
namespace {

int runChosenCommand(const CommandLine& commandLine, ToolContext& context) {
    return std::visit(
        [&](const auto& options) -> int {
            using Options = std::decay_t<decltype(options)>;
            if constexpr (std::is_same_v<Options, ListOptions>) return runList(options, context);
            if constexpr (std::is_same_v<Options, CreateOptions>)
                return runCreate(options, context);
            if constexpr (std::is_same_v<Options, AddOptions>) return runAdd(options, context);
            if constexpr (std::is_same_v<Options, ExtractOptions>)
                return runExtract(options, context);
            if constexpr (std::is_same_v<Options, RemoveOptions>)
                return runRemove(options, context);
            if constexpr (std::is_same_v<Options, TestOptions>) return runTest(options, context);
            if constexpr (std::is_same_v<Options, RepairOptions>)
                return runRepair(options, context);
        },
        commandLine.command);
}

// Whether the file begins with a local header, as a ZIP file cut short or damaged at its end
// still does.
bool beginsLikeAZip(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char signature[4] = {};
    return in.read(signature, sizeof signature) && signature[0] == 'P' && signature[1] == 'K' &&
           signature[2] == 3 && signature[3] == 4;
}

int reportInterruption(const ToolContext& context) {
    std::string line = context.subject.empty() ? "interrupted" : context.subject + ": interrupted";
    if (!context.interruptedNote.empty()) line += "; " + context.interruptedNote;
    printErrorLine(line);
    const int signal = context.interrupts.signalNumber();
    return 128 + (signal != 0 ? signal : SIGINT);
}

// Runs the command and turns whatever it throws into the one line and the status.
int runAndReport(const CommandLine& commandLine, ToolContext& context) {
    int status = exitFailure;
    try {
        status = runChosenCommand(commandLine, context);
    } catch (const CommandFailure& failure) {
        printErrorLine(failure.what());
        return failure.status();
    } catch (const Error& error) {
        if (error.code() == ArchiveError::cancelledOperation) return reportInterruption(context);
        std::string line = describe(error, context.paths, context.subject);
        if (error.code() == ArchiveError::missingEndOfCentralDirectoryRecord &&
            !context.subject.empty() && beginsLikeAZip(context.subject)) {
            // A cut-off download or a damaged end: the entries may still be there.
            line += "; 'marrowzip repair " + context.subject +
                    " REPAIRED.zip' salvages the entries it still holds";
        }
        printErrorLine(line);
        return exitFailure;
    } catch (const std::bad_alloc&) {
        printErrorLine((context.subject.empty() ? "" : context.subject + ": ") +
                       "not enough memory");
        return exitFailure;
    } catch (const std::exception& error) {
        // std::filesystem errors name their paths themselves.
        printErrorLine((context.subject.empty() ? "" : context.subject + ": ") + error.what());
        return exitFailure;
    }
    // Output that never arrived (a full disk behind a redirection) is a failure too.
    std::cout.flush();
    if (!std::cout) {
        printErrorLine("standard output: the output could not be written");
        return exitFailure;
    }
    return status;
}

}  // namespace
}  // namespace marrowzip::tool

int main(int argc, char** argv) {
    using namespace marrowzip::tool;
    // First: the signals must be blocked before any other thread starts.
    InterruptWatcher interrupts;

    CommandLine commandLine;
    if (auto status = parseCommandLine(argc, argv, commandLine)) return *status;

    ToolContext context(interrupts);
    context.showProgress = !commandLine.quiet && ::isatty(STDERR_FILENO) == 1;
    context.workers = commandLine.workers;
    return runAndReport(commandLine, context);
}
