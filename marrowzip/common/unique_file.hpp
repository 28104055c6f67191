// Ownership of a stdio stream: closed exactly once, on every path.
#pragma once

#include <cstdio>
#include <memory>

namespace marrowzip {

struct FileCloser {
    void operator()(std::FILE* stream) const noexcept { std::fclose(stream); }
};

using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace marrowzip
