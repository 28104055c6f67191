// Writing one file, link or whole folder tree as a new ZIP file.
#pragma once

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/types.hpp"
#include "marrowzip/common/warning.hpp"

namespace marrowzip {

class Progress;

// Never overwrites `destination`. A folder's entries are named relative to it, or, with
// `prefixFolderName`, relative to its parent (and the folder gets an entry of its own, last;
// a source named "." or ".." is named by the folder it stands for). Links are stored as links,
// never followed. Sockets, named pipes and devices are not archived: `warn` hears of each. On
// failure the destination holds the entries appended so far and is a valid ZIP file. With
// `storeIfNotSmaller`, a file of a folder that deflate does not make smaller is stored instead.
void zipFileSystemItem(const FileURL& source, const FileURL& destination,
                       bool prefixFolderName = false,
                       CompressionMethod compressionMethod = CompressionMethod::deflate,
                       Progress* progress = nullptr, const WarningHandler& warn = {},
                       bool storeIfNotSmaller = false);

}  // namespace marrowzip
