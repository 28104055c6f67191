#include "marrowzip/common/types.hpp"

namespace marrowzip {

std::optional<CompressionMethod> compressionMethodFromRaw(std::uint16_t raw) {
    switch (raw) {
        case static_cast<std::uint16_t>(CompressionMethod::none): return CompressionMethod::none;
        case static_cast<std::uint16_t>(CompressionMethod::deflate):
            return CompressionMethod::deflate;
        default: return std::nullopt;
    }
}

}  // namespace marrowzip
