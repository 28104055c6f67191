// Paths below a folder as the kernel resolves them, not as their text reads: a link that an
// archive created a moment before ("l" → ".") can turn the textually harmless "l/../x" into a
// path outside the folder. Everything here works from a descriptor of the folder and never lets
// ".." or a link lead above it.
#pragma once

#include <sys/types.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/unique_fd.hpp"

namespace marrowzip {

// An item an extraction created, by its path below the folder and by device and inode: it is
// removed again only while that path still holds that very item.
struct CreatedItem {
    std::vector<std::string> components;
    dev_t device = 0;
    ino_t inode = 0;
    bool folder = false;
};

// The textual containment test of liesWithin for many paths below one folder: the folder's own
// text (with "//" folded and dot segments resolved) is made once, not again for every path.
class TextualContainment {
public:
    explicit TextualContainment(const FileURL& base);
    // Whether `candidate`, tidied the same way, begins with the folder's text as a directory.
    bool holds(const FileURL& candidate) const;

private:
    std::string baseText_;
};

// The components of a relative path: empty and "." components dropped, ".." kept (only the
// kernel knows where ".." leads once links are involved).
std::vector<std::string> relativeComponents(std::string_view relativePath);

// Opens (O_PATH) the folder at `components` below the folder open as `root`. Links inside are
// followed while they stay below `root`. With `create`, missing folders are made one by one,
// each opened without following anything. A path that leaves `root`:
// FileError::fileReadInvalidFileName with `displayPath`; other failures are POSIX errors naming
// the folder (`rootURL` + the components so far). `made` receives each folder this call made.
UniqueFd openFolderBeneath(int root, std::span<const std::string> components, bool create,
                           const FileURL& rootURL, const std::string& displayPath,
                           std::vector<CreatedItem>* made = nullptr);

// Makes the folder `name` in `folder` unless a real folder is there, and opens it without
// following a link: anything else at the name is FileError::fileWriteFileExists. `made` tells
// whether this call made it.
UniqueFd makeFolderAt(int folder, const char* name, const std::string& displayPath,
                      bool* made = nullptr);

// The same walk done one component at a time in user space with O_NOFOLLOW, for kernels
// without openat2. Returns 0 and the folder, or an errno value (EXDEV: the path leaves `root`).
int walkBeneath(int root, std::span<const std::string> components, UniqueFd& folder);

// Whether a link at `linkFolder` (components below `root`) whose text is `target` resolves
// below `root`, through the links already present. An absolute target counts when its text
// lies below `rootPath`. Missing folders of `linkFolder` are taken as the real folders they are
// about to become. A ".." out of any other folder that does not exist yet is refused: a link
// created there later could send it anywhere.
bool linkTargetStaysBeneath(int root, const std::string& rootPath,
                            std::span<const std::string> linkFolder, std::string_view target);

}  // namespace marrowzip
