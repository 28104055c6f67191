// marrowzip list [--json] [-x PATTERN]... ARCHIVE [PATTERN...]
#include <iostream>

#include "commands.hpp"
#include "entry_format.hpp"
#include "marrowzip/archive/archive.hpp"
#include "marrowzip/format/entry_selection.hpp"
#include "standard_streams.hpp"

namespace marrowzip::tool {

void throwIfUnmatched(const EntrySelection& chooser, const std::string& archive) {
    const std::vector<std::string> patterns = chooser.unmatched();
    if (patterns.empty()) return;
    std::string line = archive + ": no entry matches ";
    for (std::size_t i = 0; i < patterns.size(); ++i)
        line += (i == 0 ? "'" : ", '") + escapeControlCharacters(patterns[i]) + "'";
    throw CommandFailure(line);
}

std::vector<Entry> selectEntries(const Archive& archive, const std::string& archiveName,
                                 const EntryPatterns& selection, ToolContext& context) {
    EntrySelection chooser(selection.patterns, selection.excludes);
    EntryIterator entries = archive.makeEntryIterator();
    std::vector<Entry> chosen;
    while (auto entry = entries.next()) {
        if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);
        if (chooser.selects(entry->path())) chosen.push_back(std::move(*entry));
    }
    if (entries.endedEarly()) throw entries.earlyEndError(archive.url().path());
    throwIfUnmatched(chooser, archiveName);
    return chosen;
}

int runList(const ListOptions& options, ToolContext& context) {
    const ArchiveInput input = openArchiveInput(options.archive, context);
    const Archive archive = Archive::openFile(input.url, Archive::AccessMode::read);

    EntrySelection chooser(options.selection.patterns, options.selection.excludes);
    EntryIterator entries = archive.makeEntryIterator();
    nlohmann::json array = nlohmann::json::array();
    // One entry and one path are read into again and again: no allocation for each.
    Entry entry;
    std::string path;
    while (entries.next(entry)) {
        // The listing has no progress object: a signal is noticed here, between entries.
        if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);
        entry.decodePath(path);
        if (!chooser.selects(path)) continue;
        if (options.json) {
            array.push_back(entryJSON(entry));
        } else {
            std::cout << entryLine(entry) << '\n';
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
    if (entries.endedEarly()) throw entries.earlyEndError(archive.url().path());
    throwIfUnmatched(chooser, input.shown);
    return exitSuccess;
}

}  // namespace marrowzip::tool
