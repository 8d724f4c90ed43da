// Arbitrary bytes as a stored object the client decodes: alone, as a
// compressed file, and against a prefix, as a delta, fed in pieces of the
// sizes the first byte picks. The decoder never writes past what its sink
// takes, never asks for a window past the bound, and ends with a code.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "launch/decode.h"

namespace {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// What a fetch allows of one file: a bound that a frame's content may not pass.
constexpr std::size_t kBound = 1 << 22;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] % 64 * 97;
  ++data;
  --size;
  static const std::string prefix(1 << 16, 'p');
  for (const bool delta : {false, true}) {
    FrameDecoder decoder;
    if (!decoder.Start(delta ? reinterpret_cast<const std::uint8_t*>(prefix.data()) : nullptr,
                       delta ? prefix.size() : 0)) {
      continue;
    }
    std::size_t made = 0;
    const FrameDecoder::Sink sink = [&](const std::uint8_t* out, std::size_t n) {
      Require(out != nullptr && n > 0, "the sink gets bytes");
      if (made + n > kBound) return RefusedFileSize;
      made += n;
      return LaunchOk;
    };
    LaunchCode code = LaunchOk;
    for (std::size_t at = 0; at < size && code == LaunchOk; at += piece) {
      code = decoder.Feed(data + at, size - at < piece ? size - at : piece, sink);
    }
    Require(made <= kBound, "nothing past the sink's bound");
    Require(code == LaunchOk || code == RefusedFileHash || code == RefusedWindow ||
                code == RefusedFileSize,
            "a known code");
  }
  return 0;
}
