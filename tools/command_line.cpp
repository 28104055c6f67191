#include "command_line.hpp"

#include <CLI/CLI.hpp>
#include <cstdint>
#include <utility>

#include "marrowzip/format/text_encoding.hpp"
#include "reporting.hpp"

namespace marrowzip::tool {
namespace {

// Every option and argument of every subcommand; CLI11 fills them, then the one chosen is
// copied into the command line.
struct ParsedOptions {
    ListOptions list;
    CreateOptions create;
    AddOptions add;
    ExtractOptions extract;
    RemoveOptions remove;
    TestOptions test;
    RepairOptions repair;
};

// More threads than this only cost memory and descriptors: none of the steps scales that far.
constexpr unsigned maxWorkers = 1024;

constexpr const char* readArchiveHelp =
    "The ZIP file; - reads it from standard input (through a temporary file in $TMPDIR)";

// The entry patterns of the commands that read or remove entries.
void defineSelection(CLI::App* command, EntryPatterns& selection, const std::string& what) {
    command
        ->add_option("-x,--exclude", selection.excludes,
                     "Leave out the entries this pattern selects (repeatable)")
        ->type_name("PATTERN")
        ->allow_extra_args(false);
    command->add_option("PATTERN", selection.patterns, what)->type_name("PATTERN");
    command->footer(
        "A PATTERN is matched against whole entry paths: '*' and '?' do not match '/', '**' "
        "does, '[a-z]' is a class. A pattern that matches a folder selects everything below "
        "it. Quote patterns so that the shell leaves them alone.");
}

// The options create and add share.
void defineArchiving(CLI::App* command, ArchivingOptions& options, bool prefixByDefault) {
    command
        ->add_option("--level", options.level,
                     "Compression level: 0 stores, 1 is the fastest, 9 the smallest (default 6); "
                     "-0 ... -9 are short for it")
        ->type_name("N")
        ->check(CLI::Range(0, smallestCompressionLevel));
    for (int level = 0; level <= smallestCompressionLevel; ++level) {
        command
            ->add_flag_callback("-" + std::to_string(level),
                                [&options, level] { options.level = level; })
            ->group("");
    }
    command->add_flag_callback(
        "--store", [&options] { options.level = 0; }, "The same as -0");
    command->add_flag("--prefix,!--no-prefix", options.prefix,
                      std::string("Name a single folder's entries with the folder's own name "
                                  "first (the default is ") +
                          (prefixByDefault ? "--prefix" : "--no-prefix") +
                          "); every other item is always stored under its own name");
    command
        ->add_option("-x,--exclude", options.excludes,
                     "Leave out what would be stored under an entry path this pattern selects "
                     "(repeatable; a folder's contents go with it)")
        ->type_name("PATTERN")
        ->allow_extra_args(false);
}

void defineList(CLI::App& app, ListOptions& options) {
    auto* command = app.add_subcommand(
        "list",
        "List the entries: type and permissions, sizes, method, CRC-32, modification time (UTC, "
        "to the second), path");
    command->add_flag("--json", options.json,
                      "Print one JSON array with one object per entry; \"modified\" is "
                      "\"YYYY-MM-DDThh:mm:ssZ\"");
    command->footer(
        "Modification times are exact to the second when the entry carries an extended "
        "timestamp (0x5455) or NTFS (0x000A) extra field, as this tool and most others write; "
        "otherwise they come from the DOS date and time, read as UTC, which hold even seconds "
        "only. Extraction sets the same time, to the 100 nanoseconds of an NTFS field where the "
        "file system keeps them.");
    command->add_option("ARCHIVE", options.archive, readArchiveHelp)->required();
    defineSelection(command, options.selection, "Entries to list (all without any)");
}

void defineCreate(CLI::App& app, CreateOptions& options) {
    auto* command = app.add_subcommand(
        "create", "Create a new archive from files, folders or links (never overwrites)");
    defineArchiving(command, options.archiving, false);
    command->add_option("--comment", options.comment, "Write TEXT as the archive comment")
        ->type_name("TEXT");
    command
        ->add_option("ARCHIVE", options.archive,
                     "The ZIP file to create; - writes it to standard output (entries larger "
                     "than 16 KiB then carry their sizes in data descriptors)")
        ->required();
    command
        ->add_option("ITEM", options.items,
                     "Files, folders (with everything below) or links; each is stored under its "
                     "own name, except a single folder without --prefix, whose entries are "
                     "named relative to it")
        ->required();
    command->footer(
        "The archive itself is never stored in itself: met inside a folder, it is skipped with a "
        "warning.");
}

void defineAdd(CLI::App& app, AddOptions& options) {
    auto* command = app.add_subcommand(
        "add", "Append files, folders or links to an archive (created when missing)");
    defineArchiving(command, options.archiving, true);
    command->add_flag("--update", options.update,
                      "Replace the entries whose source is newer; without it an existing entry "
                      "path is refused");
    command->add_flag("--no-wait", options.noWait,
                      "Fail at once while another process is updating the archive");
    command->add_option("--as", options.entryPath, "The entry path of a single ITEM")
        ->type_name("PATH");
    command->add_option("ARCHIVE", options.archive, "The ZIP file")->required();
    command
        ->add_option("ITEM", options.items,
                     "Files, folders (with everything below) or links; each is stored under its "
                     "own name (a single folder with --no-prefix: relative to it)")
        ->required();
    command->footer(
        "The archive itself is never stored in itself: met inside a folder, it is skipped with a "
        "warning.");
}

void defineExtract(CLI::App& app, ExtractOptions& options) {
    auto* command = app.add_subcommand(
        "extract", "Extract entries into a folder, or their data to standard output");
    command->add_flag("-p,--stdout", options.toStdout,
                      "Write the data of the chosen files to standard output, one after the "
                      "other, and nothing else (no DEST)");
    auto* skip = command->add_flag_callback(
        "--skip-existing", [&options] { options.existing = ExistingItems::skip; },
        "Pass over entries whose path is taken, and succeed");
    command
        ->add_flag_callback(
            "--overwrite", [&options] { options.existing = ExistingItems::overwrite; },
            "Replace files and links in one step (written beside, then renamed over; a folder "
            "is never replaced)")
        ->excludes(skip);
    command->add_flag("--skip-checksum", options.skipChecksum, "Do not compare CRC-32 values");
    command->add_flag("--allow-links-outside", options.allowLinksOutside,
                      "Create links that point outside their folder");
    command->add_flag("--keep-special-bits", options.keepSpecialBits,
                      "Keep set-user-ID, set-group-ID and sticky bits (dropped by default)");
    command
        ->add_option("--encoding", options.encoding,
                     "Decode entry names with this character set (for example cp866)")
        ->type_name("NAME");
    command->add_option("ARCHIVE", options.archive, readArchiveHelp)->required();
    command->add_option("DEST", options.destination, "The folder to extract into");
    defineSelection(command, options.selection, "Entries to extract (all without any)");
    command->footer(
        "An item already at an entry's path is left as it is: the entry gets a line and the "
        "others are extracted, and the run ends with status 1 (0 with --skip-existing). "
        "Interrupted, the extraction removes the file it was writing. A PATTERN is matched "
        "against whole entry paths: '*' and '?' do not match '/', '**' does, '[a-z]' is a class. "
        "A pattern that matches a folder selects everything below it. Quote patterns so that "
        "the shell leaves them alone.");
}

void defineRemove(CLI::App& app, RemoveOptions& options) {
    auto* command =
        app.add_subcommand("remove", "Remove entries from an archive (all of them or none)");
    command->add_flag("--no-wait", options.noWait,
                      "Fail at once while another process is updating the archive");
    command->add_option("ARCHIVE", options.archive, "The ZIP file")->required();
    defineSelection(command, options.selection, "Entries to remove, a folder with its contents");
    command->get_option("PATTERN")->required();
}

void defineTest(CLI::App& app, TestOptions& options) {
    auto* command = app.add_subcommand("test", "Read every entry and check its CRC-32");
    command->add_option("ARCHIVE", options.archive, readArchiveHelp)->required();
    defineSelection(command, options.selection, "Entries to test (all without any)");
}

void defineRepair(CLI::App& app, RepairOptions& options) {
    auto* command = app.add_subcommand(
        "repair", "Salvage the whole, checked entries of a damaged archive into a new one");
    command->add_option("DAMAGED", options.damaged, "The damaged ZIP file (only read)")->required();
    command->add_option("OUT", options.output, "The new archive (never overwritten)")->required();
}

// The first argument that is not an option, when it names no command: CLI11 would call it an
// unexpected argument or ask for a subcommand.
std::optional<std::string> unknownCommand(const CLI::App& app, int argc, char** argv) {
    if (!app.get_subcommands().empty()) return std::nullopt;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.starts_with("-")) continue;
        const auto named = app.get_subcommands(
            [&](const CLI::App* command) { return command->get_name() == argument; });
        if (!named.empty()) return std::nullopt;
        return argument;
    }
    return std::nullopt;
}

int reportUsageError(const CLI::App& app, const std::string& message) {
    const auto chosen = app.get_subcommands();
    const std::string help =
        chosen.empty() ? "marrowzip --help" : "marrowzip " + chosen.front()->get_name() + " --help";
    printErrorLine("usage: " + message + " (see '" + help + "')");
    return exitUsage;
}

// Checks that CLI11 cannot express; answers a usage error message or nothing.
std::optional<std::string> checkCombinations(const CLI::App& app, ParsedOptions& parsed) {
    if (app.got_subcommand("add") && parsed.add.entryPath) {
        if (parsed.add.items.size() != 1) return "--as names the entry path of a single ITEM";
        const std::string& path = *parsed.add.entryPath;
        // The name is written into the archive as given: it must not escape an extraction folder.
        if (path.empty() || path.front() == '/' || path == ".." || path.starts_with("../") ||
            path.find("/../") != std::string::npos || path.ends_with("/..")) {
            return "--as: the entry path must be relative and stay below the archive's root";
        }
    }
    // Add and remove change an archive in place, and repair reads a file and writes a new one:
    // "-" would otherwise become a file of that name.
    if ((app.got_subcommand("add") && parsed.add.archive == "-") ||
        (app.got_subcommand("remove") && parsed.remove.archive == "-") ||
        (app.got_subcommand("repair") &&
         (parsed.repair.damaged == "-" || parsed.repair.output == "-"))) {
        return "- (a standard stream) works as the ARCHIVE of list, test, extract and create "
               "only; name a file";
    }
    if (app.got_subcommand("create") && parsed.create.comment &&
        parsed.create.comment->size() > UINT16_MAX) {
        return "--comment: the comment is longer than 65535 bytes";
    }
    if (app.got_subcommand("extract")) {
        ExtractOptions& extract = parsed.extract;
        // Without a folder, what took DEST's place is the first pattern.
        if (extract.toStdout && !extract.destination.empty()) {
            extract.selection.patterns.insert(extract.selection.patterns.begin(),
                                              std::exchange(extract.destination, {}));
        }
        if (!extract.toStdout && extract.destination.empty()) {
            return "DEST is required (or --stdout)";
        }
        if (extract.toStdout && extract.existing != ExistingItems::refuse) {
            return "--stdout writes no items: --skip-existing and --overwrite do not apply";
        }
    }
    if (app.got_subcommand("extract") && parsed.extract.encoding) {
        // An unknown converter decodes every name to nothing, which would then be refused as
        // lying outside DEST: say what is wrong instead.
        static constexpr std::uint8_t probe[] = {'a'};
        if (!decodeWithEncoding(probe, *parsed.extract.encoding)) {
            return "--encoding: unknown character set " + *parsed.extract.encoding;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<int> parseCommandLine(int argc, char** argv, CommandLine& commandLine) {
    CLI::App app("Lists, creates, updates, extracts and tests ZIP archives.", "marrowzip");
    app.set_version_flag("--version", std::string("marrowzip ") + MARROWZIP_VERSION);
    app.require_subcommand(1);
    app.fallthrough();  // --quiet may follow the subcommand
    app.add_flag("-q,--quiet", commandLine.quiet, "Show no progress bar");
    app.add_option("--workers", commandLine.workers,
                   "Threads that compress (create, add) or read entries (extract, test): 0, the "
                   "default, is one per core, 1 does all on one thread")
        ->type_name("N")
        ->check(CLI::Range(0U, maxWorkers));

    ParsedOptions parsed;
    defineList(app, parsed.list);
    defineCreate(app, parsed.create);
    defineAdd(app, parsed.add);
    defineExtract(app, parsed.extract);
    defineRemove(app, parsed.remove);
    defineTest(app, parsed.test);
    defineRepair(app, parsed.repair);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (auto command = unknownCommand(app, argc, argv)) {
            printErrorLine("unknown command '" + *command + "' (see marrowzip --help)");
            return exitUsage;
        }
        return reportUsageError(app, e.what());
    }
    if (auto problem = checkCombinations(app, parsed)) return reportUsageError(app, *problem);

    if (app.got_subcommand("list")) commandLine.command = parsed.list;
    if (app.got_subcommand("create")) commandLine.command = parsed.create;
    if (app.got_subcommand("add")) commandLine.command = parsed.add;
    if (app.got_subcommand("extract")) commandLine.command = parsed.extract;
    if (app.got_subcommand("remove")) commandLine.command = parsed.remove;
    if (app.got_subcommand("test")) commandLine.command = parsed.test;
    if (app.got_subcommand("repair")) commandLine.command = parsed.repair;
    return std::nullopt;
}

}  // namespace marrowzip::tool
