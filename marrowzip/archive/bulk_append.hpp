// The handle of an open bulk append (Archive::beginBulkAppend): a run of appends that writes the
// central directory once, at its end (see append_options.hpp).
#pragma once

#include <memory>
#include <utility>

namespace marrowzip {

class Archive;
struct BulkState;

class BulkAppend {
public:
    BulkAppend(BulkAppend&&) noexcept = default;
    BulkAppend& operator=(BulkAppend&& other) noexcept;
    BulkAppend(const BulkAppend&) = delete;
    BulkAppend& operator=(const BulkAppend&) = delete;
    // Ends the bulk append; an error is swallowed here: call finish() to learn of it.
    ~BulkAppend();

    // Writes the central directory and end records and ends the bulk append. Throws what the
    // write threw, or what an earlier end (a move or destruction of the archive) met.
    void finish();
    bool isOpen() const noexcept;

private:
    friend class Archive;
    explicit BulkAppend(std::shared_ptr<BulkState> state) : state_(std::move(state)) {}
    std::shared_ptr<BulkState> state_;
};

}  // namespace marrowzip
