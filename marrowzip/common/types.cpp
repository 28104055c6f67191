#include "marrowzip/common/types.hpp"

namespace marrowzip {

std::optional<CompressionMethod> compressionMethodFromRaw(std::uint16_t raw) {
    const auto method = static_cast<CompressionMethod>(raw);
    if (method == CompressionMethod::none || method == CompressionMethod::deflate) return method;
    return std::nullopt;
}

}  // namespace marrowzip
