#include "app/commands/archive_folder_tree.hpp"

#include <exception>
#include <optional>

#include "app/commands/folder_tree_walk.hpp"
#include "marrowzip/container/archive.hpp"

namespace dunmarrow {

using marrowzip::Archive;

void archiveFolderTree(UserInterface& ui, std::ostream& out) {
    const auto destination = ui.chooseNewZipFile();
    if (!destination) return;
    const auto folders = ui.chooseFolders();
    if (folders.empty()) return;

    try {
        // `create` never replaces a file, even one the person agreed to replace in the panel:
        // that file stays as it was and the open fails with the file-exists error.
        Archive archive = Archive::openFile(*destination, Archive::AccessMode::create);
        Archive::BulkAppend bulk = archive.beginBulkAppend();
        for (const auto& folder : folders) {
            addTreeToArchive(folder, std::nullopt, marrowzip::CompressionMethod::deflate, archive,
                             isCollectedItem);
        }
        bulk.finish();
    } catch (const std::exception& error) {
        // A failed append writes the central directory of the entries before it, so stopping
        // here loses nothing written.
        out << error.what() << '\n';
    }
}

}  // namespace dunmarrow
