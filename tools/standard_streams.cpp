#include "standard_streams.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

#include "add_plan.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/stream_writer.hpp"
#include "progress_bar.hpp"

namespace marrowzip::tool {
namespace {

constexpr std::size_t spoolChunk = 1 << 20;
constexpr std::size_t outputBufferSize = 1 << 18;

std::string temporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

// A file in $TMPDIR that no name reaches: it disappears with the process, however it ends.
UniqueFd makeUnnamedTemporaryFile() {
    std::string name = temporaryFolder() + "/marrowzip-stdin-XXXXXX";
    UniqueFd file(::mkostemp(name.data(), O_CLOEXEC));
    if (!file) throw posixFileError(errno, temporaryFolder());
    ::unlink(name.c_str());
    return file;
}

void writeAll(int descriptor, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(descriptor, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw posixFileError(errno, temporaryFolder());
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

// Copies standard input into `spool`; answers the number of bytes.
std::uint64_t spoolStandardInput(int spool, const ToolContext& context) {
    std::vector<char> buffer(spoolChunk);
    std::uint64_t total = 0;
    for (;;) {
        // A Ctrl-C also ends the writer of a pipeline, whose end of input then lands here.
        if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);
        const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw posixFileError(errno, standardInputName);
        if (got == 0) return total;
        writeAll(spool, buffer.data(), static_cast<std::size_t>(got));
        total += static_cast<std::uint64_t>(got);
    }
}

}  // namespace

ArchiveInput openArchiveInput(const std::string& typed, ToolContext& context) {
    if (typed != standardStreamArgument) {
        context.subject = typed;
        context.paths.add(typed);
        return {FileURL::fromPath(typed), typed, UniqueFd()};
    }
    context.subject = standardInputName;
    if (::isatty(STDIN_FILENO) == 1) {
        throw CommandFailure(
            std::string(standardInputName) + ": is a terminal; pipe or redirect an archive into it",
            exitUsage);
    }
    ArchiveInput input{FileURL::fromPath("/"), standardInputName, makeUnnamedTemporaryFile()};
    if (spoolStandardInput(input.spool.get(), context) == 0) {
        throw CommandFailure(std::string(standardInputName) +
                             ": the input is empty; a ZIP archive was expected");
    }
    // The engine opens archives by path, and the workers of an extraction each open their
    // own: the descriptor's entry in /proc reaches the unlinked file.
    input.url = FileURL::fromPath("/proc/self/fd/" + std::to_string(input.spool.get()));
    context.paths.addAlias(input.url.path(), standardInputName);
    return input;
}

namespace {

// A second entry under one path would make extraction fail on it; the archive cannot be taken
// back once written, so the plan is checked before. A folder named twice is stored once.
std::vector<PlannedEntry> withoutRepeatedFolders(std::vector<PlannedEntry> plan) {
    std::set<std::string> seen;
    std::vector<PlannedEntry> kept;
    for (PlannedEntry& planned : plan) {
        if (seen.insert(planned.path).second) {
            kept.push_back(std::move(planned));
        } else if (planned.type != EntryType::directory) {
            throw CommandFailure(std::string(standardOutputName) + ": " + planned.path +
                                 ": two items would be stored under this entry path");
        }
    }
    return kept;
}

}  // namespace

int runCreateToStandardOutput(const CreateOptions& options, ToolContext& context) {
    context.subject = standardOutputName;
    if (::isatty(STDOUT_FILENO) == 1) {
        throw CommandFailure(
            std::string(standardOutputName) + ": is a terminal; redirect it to a file or a pipe",
            exitUsage);
    }
    // Where standard output leads is the archive: met inside a folder, that file is left out.
    const std::vector<PlannedEntry> plan = withoutRepeatedFolders(
        planItems(options.items,
                  {std::nullopt, options.archiving.prefix, options.archiving.excludes},
                  {"/proc/self/fd/1", standardOutputName}, context)
            .entries);
    context.interruptedNote = "the archive written to standard output is incomplete";

    const FileURL name = FileURL::fromPath(standardStreamArgument);
    context.paths.addAlias(name.path(), standardOutputName);
    // A copy of the descriptor: closing the stream leaves standard output itself open.
    UniqueFd output(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
    if (!output) throw posixFileError(errno, standardOutputName);
    UniqueFile sink(::fdopen(output.get(), "wb"));
    if (!sink) throw posixFileError(errno, standardOutputName);
    output.release();
    // Declared before the writer, which closes the stream first.
    const auto buffer = std::make_unique<char[]>(outputBufferSize);
    std::setvbuf(sink.get(), buffer.get(), _IOFBF, outputBufferSize);

    ArchiveStreamWriter::Options writing;
    writing.level = options.archiving.level;
    writing.comment = options.comment.value_or("");
    ArchiveStreamWriter writer(std::move(sink), name, writing);
    Progress progress(totalUnits(plan));
    auto attachment = context.interrupts.attach(progress);
    ProgressBar bar(progress, "creating", context.showProgress);
    for (const PlannedEntry& entry : plan) {
        auto child = progress.makeChild(entry.units, std::max<std::int64_t>(entry.units, 0));
        writer.appendEntry(entry.path, entry.item, child.get());
    }
    writer.finish();
    return exitSuccess;
}

}  // namespace marrowzip::tool
