#include "marrowzip/filesystem/unzip_directory.hpp"

#include <cstdint>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/common/saturating.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "marrowzip/filesystem/beneath.hpp"
#include "marrowzip/filesystem/extraction_folder.hpp"

namespace marrowzip {

bool liesWithin(const FileURL& candidate, const FileURL& base) {
    return TextualContainment(base).holds(candidate);
}

std::int64_t readingUnitCount(const Archive& archive) {
    std::int64_t total = 0;
    for (const Entry& entry : archive)
        total = addUnits(total, entry.progressUnits());
    return total;
}

// From a source to a destination, in the order of every copy; the public interface.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
ExtractResult unzipArchiveToDirectory(const FileURL& source, const FileURL& destination,
                                      const ExtractOptions& options, Progress* progress) {
    if (!isReachable(source)) throw Error(FileError::fileReadNoSuchFile, source.path());
    Archive archive = Archive::openFile(source, Archive::AccessMode::read, options.pathEncoding);
    ExtractOptions withProgress = options;
    if (progress != nullptr) {
        progress->setTotalUnitCount(readingUnitCount(archive));
        if (!withProgress.progress) withProgress.progress = childProgressOf(*progress);
    }
    ExtractionFolder folder(destination, options.keepSpecialBits, options.existing);
    ExtractResult result;
    try {
        result = extractEntries(archive, {.folder = &folder}, withProgress);
    } catch (...) {
        // The folders extracted so far still get their attributes; the first failure is the
        // one to report.
        try {
            folder.finishFolderTimes();
        } catch (const Error&) {
        }
        throw;
    }
    folder.finishFolderTimes();
    return result;
}

void unzipArchiveToDirectory(const FileURL& source, const FileURL& destination, bool skipChecksum,
                             bool allowLinksOutside, Progress* progress,
                             const std::optional<std::string>& pathEncoding) {
    unzipArchiveToDirectory(source, destination,
                            {.verifyChecksum = !skipChecksum,
                             .allowLinksOutside = allowLinksOutside,
                             .pathEncoding = pathEncoding},
                            progress);
}

}  // namespace marrowzip
