#include "marrowzip/format/entry_selection.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

namespace marrowzip {
namespace {

// Whether the character class at pattern[start] ("[" included) holds `c`; the index behind it
// goes to `end`. Nothing when the class is not closed: the "[" is then a plain character.
std::optional<bool> classHolds(std::string_view pattern, std::size_t start, char c,
                               std::size_t& end) {
    std::size_t i = start + 1;
    const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
    if (negated) ++i;
    bool found = false;
    bool first = true;
    for (; i < pattern.size() && (first || pattern[i] != ']'); first = false) {
        char low = pattern[i];
        if (low == '\\' && i + 1 < pattern.size()) low = pattern[++i];
        char high = low;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            high = pattern[i + 2];
            i += 2;
        }
        if (static_cast<unsigned char>(low) <= static_cast<unsigned char>(c) &&
            static_cast<unsigned char>(c) <= static_cast<unsigned char>(high)) {
            found = true;
        }
        ++i;
    }
    if (i >= pattern.size()) return std::nullopt;
    end = i + 1;
    return found != negated;
}

// Backtracking over the pattern with the positions already tried remembered, so that runs of
// stars cost at most pattern × path steps.
class Matcher {
public:
    Matcher(std::string_view pattern, std::string_view path)
        : pattern_(pattern), path_(path), tried_((pattern.size() + 1) * (path.size() + 1)) {}

    bool match(std::size_t p, std::size_t s) {
        const std::size_t key = p * (path_.size() + 1) + s;
        if (tried_[key]) return false;  // a success would have ended the search
        tried_[key] = true;
        while (p < pattern_.size()) {
            const char c = pattern_[p];
            if (c == '*') {
                const bool doubled = p + 1 < pattern_.size() && pattern_[p + 1] == '*';
                if (!doubled) {
                    for (std::size_t i = s;; ++i) {
                        if (match(p + 1, i)) return true;
                        if (i == path_.size() || path_[i] == '/') return false;
                    }
                }
                std::size_t rest = p + 2;
                // "**/" at the start of a component may stand for no folder at all.
                const bool wholeComponent = (p == 0 || pattern_[p - 1] == '/') &&
                                            rest < pattern_.size() && pattern_[rest] == '/';
                if (wholeComponent && match(rest + 1, s)) return true;
                for (std::size_t i = s; i <= path_.size(); ++i) {
                    if (match(rest, i)) return true;
                }
                return false;
            }
            if (s == path_.size()) return false;
            if (c == '?') {
                if (path_[s] == '/') return false;
                ++p;
            } else if (c == '[') {
                std::size_t end = 0;
                const auto holds = classHolds(pattern_, p, path_[s], end);
                if (!holds) {
                    if (path_[s] != '[') return false;
                    ++p;
                } else {
                    if (!*holds || path_[s] == '/') return false;
                    p = end;
                }
            } else {
                const bool escaped = c == '\\' && p + 1 < pattern_.size();
                if (escaped) ++p;
                if (pattern_[p] != path_[s]) return false;
                ++p;
            }
            ++s;
        }
        return s == path_.size();
    }

private:
    std::string_view pattern_;
    std::string_view path_;
    std::vector<bool> tried_;
};

std::string_view withoutTrailingSlashes(std::string_view text) {
    while (text.size() > 1 && text.back() == '/')
        text.remove_suffix(1);
    return text;
}

}  // namespace

bool matchesPattern(std::string_view pattern, std::string_view path) {
    return Matcher(pattern, path).match(0, 0);
}

bool selectsEntry(std::string_view pattern, std::string_view path) {
    pattern = withoutTrailingSlashes(pattern);
    path = withoutTrailingSlashes(path);
    if (path.empty()) return matchesPattern(pattern, path);
    // The path itself, then each folder it lies in, longest first.
    for (std::size_t end = path.size();;) {
        if (matchesPattern(pattern, path.substr(0, end))) return true;
        const std::size_t slash = path.rfind('/', end - 1);
        if (slash == std::string_view::npos || slash == 0) return false;
        end = slash;
    }
}

EntrySelection::EntrySelection(std::vector<std::string> includes, std::vector<std::string> excludes)
    : includes_(std::move(includes)), excludes_(std::move(excludes)), used_(includes_.size()) {}

bool EntrySelection::selects(std::string_view path) {
    bool chosen = includes_.empty();
    for (std::size_t i = 0; i < includes_.size(); ++i) {
        if (selectsEntry(includes_[i], path)) {
            used_[i] = true;
            chosen = true;
        }
    }
    return chosen && std::none_of(excludes_.begin(), excludes_.end(),
                                  [&](const std::string& p) { return selectsEntry(p, path); });
}

std::vector<std::string> EntrySelection::unmatched() const {
    std::vector<std::string> result;
    for (std::size_t i = 0; i < includes_.size(); ++i) {
        if (!used_[i]) result.push_back(includes_[i]);
    }
    return result;
}

}  // namespace marrowzip
