// What the publisher stores: files compressed with zstd, and deltas (an
// earlier version of a file as the compressor's prefix). The client decodes
// both with one decoder, within release::kMaxWindowLog.
#pragma once

#include <cstdint>
#include <string>

namespace encode {

// One zstd frame of `data`: level 19, the window as large as the file needs
// up to the client's bound, long-distance matching on.
bool Compress(const std::string& data, std::string& out);
// One zstd frame of `data` with `base` as its prefix: the delta from it.
bool Delta(const std::string& base, const std::string& data, std::string& out);
// The frame decoded, with `base` as its prefix when given; false past `size`
// bytes, on a frame that is not one, or one asking a window past the bound.
bool Decode(const std::string& frame, const std::string* base, std::uint64_t size,
            std::string& out);

}  // namespace encode
