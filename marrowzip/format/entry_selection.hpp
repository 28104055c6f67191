// Choosing entries by name: shell-style patterns matched against whole entry paths, as a
// command line gives them for listing, testing, extracting or removing some entries only, and
// for leaving items out when archiving.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace marrowzip {

// Whether `pattern` matches all of `path`. `*` matches any run of characters but "/", `?` one
// character but "/", `**` any run including "/" ("**/" also none at all, so "**/x" matches "x"),
// `[abc]`, `[a-z]` and `[!a-z]` (or `[^a-z]`) one character of a class, and `\` makes the next
// character plain. An unclosed `[` is plain.
bool matchesPattern(std::string_view pattern, std::string_view path);

// Whether `pattern` selects the entry at `path`: it matches the path or one of the folders the
// path lies in, so that a folder's name selects the folder and everything below it. A folder
// entry's trailing "/" and one on the pattern are ignored.
bool selectsEntry(std::string_view pattern, std::string_view path);

// The entries named on a command line: those that some include pattern selects (every entry
// when none is given) and no exclude pattern does.
class EntrySelection {
public:
    EntrySelection(std::vector<std::string> includes, std::vector<std::string> excludes);

    // Whether the entry is chosen; notes which include patterns chose something.
    bool selects(std::string_view path);
    // The include patterns that have matched no entry so far (excluded or not), in the order
    // given.
    std::vector<std::string> unmatched() const;
    bool choosesAll() const noexcept { return includes_.empty(); }

private:
    std::vector<std::string> includes_;
    std::vector<std::string> excludes_;
    std::vector<bool> used_;
};

}  // namespace marrowzip
