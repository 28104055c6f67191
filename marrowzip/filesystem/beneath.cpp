#include "marrowzip/filesystem/beneath.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <deque>
#include <iterator>

#include "marrowzip/common/error.hpp"

namespace marrowzip {

TextualContainment::TextualContainment(const FileURL& base)
    : baseText_(FileURL::fromPath(base.path(), true).standardized().absoluteString()) {}

bool TextualContainment::holds(const FileURL& candidate) const {
    return FileURL::fromPath(candidate.path())
        .standardized()
        .absoluteString()
        .starts_with(baseText_);
}

namespace {

// As many links as the kernel itself follows in one lookup.
constexpr int maximumLinkHops = 40;
// openat2 answers EAGAIN when a rename elsewhere raced with a ".." step; trying again is safe.
constexpr int lookupAttempts = 8;

constexpr int folderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

std::string joined(std::span<const std::string> components) {
    std::string path;
    for (const auto& component : components) {
        if (!path.empty()) path.push_back('/');
        path += component;
    }
    return path;
}

UniqueFd openSelf(int root) {
    return UniqueFd(::openat(root, ".", folderFlags));
}

int openWithKernel(int root, const std::string& path, UniqueFd& folder) {
    struct open_how how {};
    how.flags = folderFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < lookupAttempts; ++attempt) {
        const long descriptor = ::syscall(SYS_openat2, root, path.c_str(), &how, sizeof how);
        if (descriptor >= 0) {
            folder.reset(static_cast<int>(descriptor));
            return 0;
        }
        if (errno != EAGAIN) return errno;
    }
    return EAGAIN;
}

int openDirectoryBeneath(int root, std::span<const std::string> components, UniqueFd& folder) {
    if (components.empty()) {
        folder = openSelf(root);
        return folder ? 0 : errno;
    }
    const int error = openWithKernel(root, joined(components), folder);
    // Kernels before 5.6 have no openat2, and some sandboxes refuse it: the walk in user space
    // gives the same answers, one component at a time.
    if (error == ENOSYS || error == EPERM) return walkBeneath(root, components, folder);
    return error;
}

int readLinkAt(int folder, const std::string& name, std::string& target) {
    std::array<char, PATH_MAX> buffer{};
    const ssize_t length = ::readlinkat(folder, name.c_str(), buffer.data(), buffer.size());
    if (length < 0) return errno;  // EINVAL: the item is not a link
    if (static_cast<std::size_t>(length) == buffer.size()) return ENAMETOOLONG;
    target.assign(buffer.data(), static_cast<std::size_t>(length));
    return 0;
}

// One component still to go; `ownFolder` marks the components of the folder that a new link is
// to be created in (the walk that checks a link's target starts with them).
struct Step {
    std::string name;
    bool ownFolder = false;
};

// The walk keeps a stack of the folders it went through, each opened without following a link:
// ".." pops one (never past `root`), and a link's text takes the link's place among the
// components still to go. With `tolerateMissing`, a missing component (or a file where a folder
// should be) becomes a folder to come, and ".." leaves it as the text says. That is sound only
// for the link's own folders, which are made as real folders right after the check: any other
// missing folder may yet be created as a link by a later entry, so a ".." over it is EXDEV.
int walk(int root, std::deque<Step> pending, bool tolerateMissing, std::vector<UniqueFd>& stack) {
    int hops = 0;
    std::vector<bool> foldersToCome;  // true: one of the link's own folders
    while (!pending.empty()) {
        const Step step = std::move(pending.front());
        pending.pop_front();
        if (step.name.empty() || step.name == ".") continue;
        if (step.name == "..") {
            if (!foldersToCome.empty()) {
                if (!foldersToCome.back()) return EXDEV;
                foldersToCome.pop_back();
            } else if (stack.empty()) {
                return EXDEV;
            } else {
                stack.pop_back();
            }
            continue;
        }
        if (!foldersToCome.empty()) {
            foldersToCome.push_back(step.ownFolder);
            continue;
        }
        const int folder = stack.empty() ? root : stack.back().get();
        UniqueFd next(::openat(folder, step.name.c_str(), folderFlags | O_NOFOLLOW));
        if (next) {
            stack.push_back(std::move(next));
            continue;
        }
        int error = errno;
        std::string target;
        if (error == ENOTDIR || error == ELOOP) {
            error = readLinkAt(folder, step.name, target);
            if (error == EINVAL) error = ENOTDIR;
        }
        if (error == 0) {
            if (++hops > maximumLinkHops) return ELOOP;
            if (!target.empty() && target.front() == '/') return EXDEV;
            const auto parts = relativeComponents(target);
            std::for_each(parts.rbegin(), parts.rend(), [&](const std::string& part) {
                pending.push_front({part, step.ownFolder});
            });
            continue;
        }
        if (!tolerateMissing || (error != ENOENT && error != ENOTDIR)) return error;
        // A file in the way never becomes a folder (nothing is overwritten): never sound to climb
        // out of.
        foldersToCome.push_back(step.ownFolder && error == ENOENT);
    }
    return 0;
}

std::deque<Step> stepsOf(std::span<const std::string> components, bool ownFolder) {
    std::deque<Step> steps;
    for (const auto& component : components)
        steps.push_back({component, ownFolder});
    return steps;
}

}  // namespace

std::vector<std::string> relativeComponents(std::string_view relativePath) {
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= relativePath.size()) {
        std::size_t end = relativePath.find('/', start);
        if (end == std::string_view::npos) end = relativePath.size();
        const std::string_view part = relativePath.substr(start, end - start);
        if (!part.empty() && part != ".") components.emplace_back(part);
        start = end + 1;
    }
    return components;
}

int walkBeneath(int root, std::span<const std::string> components, UniqueFd& folder) {
    std::vector<UniqueFd> stack;
    const int error = walk(root, stepsOf(components, false), false, stack);
    if (error != 0) return error;
    folder = stack.empty() ? openSelf(root) : std::move(stack.back());
    return folder ? 0 : errno;
}

UniqueFd makeFolderAt(int folder, const char* name, const std::string& displayPath, bool* made) {
    const bool created = ::mkdirat(folder, name, 0777) == 0;
    if (!created && errno != EEXIST) throw posixFileError(errno, displayPath);
    if (made != nullptr) *made = created;
    // Whether just made or already there, it is opened only as a real folder.
    UniqueFd opened(::openat(folder, name, folderFlags | O_NOFOLLOW));
    if (opened) return opened;
    if (errno == ENOTDIR || errno == ELOOP)
        throw Error(FileError::fileWriteFileExists, displayPath);
    throw posixFileError(errno, displayPath);
}

UniqueFd openFolderBeneath(int root, std::span<const std::string> components, bool create,
                           const FileURL& rootURL, const std::string& displayPath,
                           std::vector<CreatedItem>* made) {
    // A folder that is there already is opened in one lookup; the walk by prefixes below (a
    // lookup per prefix, each from the root) is for folders still to be made.
    if (!components.empty()) {
        UniqueFd whole;
        if (openDirectoryBeneath(root, components, whole) == 0) return whole;
    }
    UniqueFd folder = openSelf(root);
    if (!folder) throw posixFileError(errno, rootURL.path());
    // Usually only the last folders are missing: the walk starts below the deepest one there.
    // (Without "..", a prefix that resolves beneath the root passed only through folders that
    // do.)
    std::size_t start = 0;
    if (create && components.size() > 1 &&
        std::ranges::find(components, "..") == components.end()) {
        for (std::size_t length = components.size() - 1; length > 0; --length) {
            UniqueFd existing;
            const int error = openDirectoryBeneath(root, components.first(length), existing);
            if (error == 0) {
                folder = std::move(existing);
                start = length;
            }
            if (error != ENOENT) break;
        }
    }
    for (std::size_t i = start; i < components.size(); ++i) {
        // Each prefix is resolved from the root again, so that a link met on the way is judged
        // against the root and not against the folder it happens to sit in.
        const auto prefix = components.first(i + 1);
        UniqueFd next;
        const int error = openDirectoryBeneath(root, prefix, next);
        if (error == 0) {
            folder = std::move(next);
            continue;
        }
        if (error == EXDEV) {
            throw Error(FileError::fileReadInvalidFileName, displayPath, {},
                        "the path leads out of the folder through a link");
        }
        const std::string folderPath = rootURL.appendingPathComponent(joined(prefix)).path();
        if (error != ENOENT || !create || components[i] == "..") {
            throw posixFileError(error, folderPath);
        }
        bool madeHere = false;
        folder = makeFolderAt(folder.get(), components[i].c_str(), folderPath, &madeHere);
        struct stat status {};
        if (madeHere && made != nullptr && ::fstat(folder.get(), &status) == 0) {
            made->push_back({std::vector<std::string>(prefix.begin(), prefix.end()), status.st_dev,
                             status.st_ino, true});
        }
    }
    return folder;
}

bool linkTargetStaysBeneath(int root, const std::string& rootPath,
                            std::span<const std::string> linkFolder, std::string_view target) {
    std::deque<Step> pending;
    if (!target.empty() && target.front() == '/') {
        const std::string path = FileURL::fromPath(target).path();  // "//" folded, dots kept
        std::string_view rest;
        if (rootPath == "/") {
            rest = std::string_view(path).substr(1);
        } else if (path == rootPath) {
            rest = {};
        } else if (path.starts_with(rootPath + "/")) {
            rest = std::string_view(path).substr(rootPath.size() + 1);
        } else {
            return false;
        }
        pending = stepsOf(relativeComponents(rest), false);
    } else {
        pending = stepsOf(linkFolder, true);
        std::ranges::move(stepsOf(relativeComponents(target), false), std::back_inserter(pending));
    }
    std::vector<UniqueFd> stack;
    return walk(root, std::move(pending), true, stack) == 0;
}

}  // namespace marrowzip
