// marrowzip list [--json] ARCHIVE
#include <iostream>

#include "commands.hpp"
#include "entry_format.hpp"
#include "marrowzip/container/archive.hpp"

namespace marrowzip::tool {

std::string earlyEndLine(const std::string& archive, const EntryIterator& entries,
                         std::uint64_t entriesRead, std::uint64_t entriesDeclared) {
    const std::string where =
        entries.stoppedAtEncryptedEntry() ? "an encrypted entry" : "a damaged record";
    return Error(ArchiveError::invalidCentralDirectoryEntryCount, archive, {},
                 "the central directory ends at " + where + " after " +
                     std::to_string(entriesRead) + " of " + std::to_string(entriesDeclared) +
                     " entries")
        .what();
}

int runList(const ListOptions& options, ToolContext& context) {
    context.subject = options.archive;
    context.paths.add(options.archive);
    const Archive archive =
        Archive::openFile(FileURL::fromPath(options.archive), Archive::AccessMode::read);

    EntryIterator entries = archive.makeEntryIterator();
    nlohmann::json array = nlohmann::json::array();
    std::uint64_t count = 0;
    while (auto entry = entries.next()) {
        // The listing has no progress object: a signal is noticed here, between entries.
        if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);
        ++count;
        if (options.json) {
            array.push_back(entryJSON(*entry));
        } else {
            std::cout << entryLine(*entry) << '\n';
        }
    }
    if (options.json) {
        // Names that are not UTF-8 cannot reach here (Entry::path decodes them), but a JSON
        // document must never be cut short by one: replace rather than throw.
        std::cout << array.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    }
    // The JSON document stays one array of entries (what scripts already read); the comment
    // follows the table in text mode only.
    if (!options.json && !archive.comment().empty()) {
        std::cout << "comment: " << escapeControlCharacters(archive.comment()) << '\n';
    }
    if (entries.endedEarly())
        throw CommandFailure(
            earlyEndLine(options.archive, entries, count, archive.totalNumberOfEntries()));
    return exitSuccess;
}

}  // namespace marrowzip::tool
