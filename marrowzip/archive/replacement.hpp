// The handle of an update of several steps that lands whole or not at all
// (Archive::beginReplacement): a new copy of the archive without the entries removed, to which
// entries are appended through archive() (one at a time or in bulk), takes the archive's place
// in one step on commit(). Until then, and if commit() is never reached (an error, a cancel, a
// kill), the archive is as it was. The archive must stay open while its replacement lives.
#pragma once

#include <memory>

namespace marrowzip {

class Archive;

class ArchiveReplacement {
public:
    ArchiveReplacement(ArchiveReplacement&&) noexcept;
    ArchiveReplacement& operator=(ArchiveReplacement&&) noexcept;
    ArchiveReplacement(const ArchiveReplacement&) = delete;
    ArchiveReplacement& operator=(const ArchiveReplacement&) = delete;
    // Without commit(), throws the copy away.
    ~ArchiveReplacement();

    Archive& archive();
    // Throws while a bulk append of the copy is open (finish it first), and after commit().
    void commit();

private:
    friend class Archive;
    struct State;
    explicit ArchiveReplacement(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace marrowzip
