// The subcommands of the tool. Each takes its parsed options and the context of the run and
// returns the exit status; failures are thrown (marrowzip::Error or CommandFailure) and
// reported by main.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "interrupt_watcher.hpp"
#include "marrowzip/archive/archive.hpp"
#include "reporting.hpp"

namespace marrowzip {
class EntryIterator;
class EntrySelection;
}  // namespace marrowzip

namespace marrowzip::tool {

struct ToolContext {
    explicit ToolContext(InterruptWatcher& watcher) : interrupts(watcher) {}

    InterruptWatcher& interrupts;
    bool showProgress = false;    // standard error is a terminal and --quiet was not given
    DisplayPaths paths;           // the paths the command was given, to show errors with
    std::string subject;          // the file named by an error that names none: the archive
    std::string interruptedNote;  // what a Ctrl-C leaves behind, for the closing line
    unsigned workers = 0;         // --workers: 0 one per core, 1 none besides the caller's thread
};

// The entries a command works on: those PATTERNs choose (all without any), less those an
// --exclude pattern chooses.
struct EntryPatterns {
    std::vector<std::string> patterns;
    std::vector<std::string> excludes;
};

struct ListOptions {
    std::string archive;
    bool json = false;
    EntryPatterns selection;
};

// What create and add share: how hard to compress, how items are named, what is left out.
struct ArchivingOptions {
    int level = defaultCompressionLevel;  // 0: stored
    // Whether a single folder's entries begin with its name; several items always do.
    bool prefix = true;
    std::vector<std::string> excludes;  // matched against the entry paths to be written
};

struct CreateOptions {
    std::string archive;
    std::vector<std::string> items;
    ArchivingOptions archiving{defaultCompressionLevel, false, {}};
    std::optional<std::string> comment;  // the archive comment
};

struct AddOptions {
    std::string archive;
    std::vector<std::string> items;
    ArchivingOptions archiving;
    bool update = false;                   // replace entries whose source is newer
    bool noWait = false;                   // fail at once while another process updates the archive
    std::optional<std::string> entryPath;  // --as
};

struct ExtractOptions {
    std::string archive;
    std::string destination;  // empty with --stdout
    EntryPatterns selection;
    bool toStdout = false;  // the data of the chosen files, and nothing else, on standard output
    ExistingItems existing = ExistingItems::refuse;
    bool skipChecksum = false;
    bool allowLinksOutside = false;
    bool keepSpecialBits = false;
    std::optional<std::string> encoding;
};

struct RemoveOptions {
    std::string archive;
    EntryPatterns selection;
    bool noWait = false;
};

struct TestOptions {
    std::string archive;
    EntryPatterns selection;
};

struct RepairOptions {
    std::string damaged;
    std::string output;
};

// Fails naming the include patterns of `chooser` that chose no entry of `archive`.
void throwIfUnmatched(const EntrySelection& chooser, const std::string& archive);

// The entries of `archive` that the patterns choose, in the archive's order; a PATTERN that
// chooses none is an error naming it (after the entries before a central directory that ends
// early, which is an error too).
std::vector<Entry> selectEntries(const Archive& archive, const std::string& archiveName,
                                 const EntryPatterns& selection, ToolContext& context);

// How the tool opens an archive it changes: waiting for another writer (and saying so), or,
// with --no-wait, failing at once.
Archive::OpenOptions writerOptions(bool noWait, const ToolContext& context);

int runList(const ListOptions& options, ToolContext& context);
int runCreate(const CreateOptions& options, ToolContext& context);
int runAdd(const AddOptions& options, ToolContext& context);
int runExtract(const ExtractOptions& options, ToolContext& context);
int runRemove(const RemoveOptions& options, ToolContext& context);
int runTest(const TestOptions& options, ToolContext& context);
int runRepair(const RepairOptions& options, ToolContext& context);

}  // namespace marrowzip::tool
