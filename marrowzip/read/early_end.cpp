// The one wording of a central directory pass that ends before the count its end records
// declare, shared by the listing, the test, the extraction and the desktop app's restore.
#include <string>

#include "marrowzip/read/entry_iterator.hpp"

namespace marrowzip {

Error EntryIterator::earlyEndError(const std::string& archivePath) const {
    if (stoppedAtEncryptedEntry_) {
        // The pass counted the encrypted entry before it stopped: it is entry index_, and the
        // ones before it were read whole.
        const std::uint64_t readable = index_ - 1;
        std::string detail =
            "it is entry " + std::to_string(index_) + " of " + std::to_string(count_);
        if (readable > 0) {
            detail += readable == 1 ? ", and the entry before it is readable"
                                    : ", and the " + std::to_string(readable) +
                                          " entries before it are readable";
        }
        return Error(ArchiveError::encryptedEntry, archivePath, encryptedEntryPath_, detail);
    }
    return Error(ArchiveError::invalidCentralDirectoryEntryCount, archivePath, {},
                 "the central directory ends at a damaged record after " + std::to_string(index_) +
                     " of " + std::to_string(count_) + (count_ == 1 ? " entry" : " entries"));
}

}  // namespace marrowzip
