// Arbitrary bytes as a stored object the client decodes: alone, as a
// compressed file, and against a prefix, as a delta, fed in pieces of the
// sizes the first byte picks. The decoder never writes past what its sink
// takes, never asks for a window past the bound, and ends with a code. Decoded
// in place into a whole buffer, a frame makes the same bytes as streamed, or
// is refused where it does not fit or says it would not (the streaming
// decoder may let a frame whose declared size lies end early).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <zstd.h>

#include "launch/decode.h"

namespace {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// What a fetch allows of one file: a bound that a frame's content may not pass.
constexpr std::size_t kBound = 1 << 22;
// The size of the file a frame is decoded into in place.
constexpr std::size_t kWhole = 1 << 18;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] % 64 * 97;
  ++data;
  --size;
  static const std::string prefix(1 << 16, 'p');
  for (const bool delta : {false, true}) {
    const auto* from = delta ? reinterpret_cast<const std::uint8_t*>(prefix.data()) : nullptr;
    const std::size_t fromSize = delta ? prefix.size() : 0;
    FrameDecoder decoder;
    if (!decoder.Start(from, fromSize)) continue;
    std::string streamed;
    const FrameDecoder::Sink sink = [&](const std::uint8_t* out, std::size_t n) {
      Require(out != nullptr && n > 0, "the sink gets bytes");
      if (streamed.size() + n > kBound) return RefusedFileSize;
      streamed.append(reinterpret_cast<const char*>(out), n);
      return LaunchOk;
    };
    LaunchCode code = LaunchOk;
    for (std::size_t at = 0; at < size && code == LaunchOk; at += piece) {
      code = decoder.Feed(data + at, size - at < piece ? size - at : piece, sink);
    }
    Require(streamed.size() <= kBound, "nothing past the sink's bound");
    Require(code == LaunchOk || code == RefusedFileHash || code == RefusedWindow ||
                code == RefusedFileSize,
            "a known code");
    const bool whole = code == LaunchOk && decoder.Done();

    static std::uint8_t file[kWhole];
    FrameDecoder inPlace;
    if (!inPlace.Start(from, fromSize, file, kWhole)) continue;
    std::size_t made = 0;
    const FrameDecoder::Sink next = [&](const std::uint8_t* out, std::size_t n) {
      Require(out == file + made && n > 0 && made + n <= kWhole, "each stretch follows the last");
      made += n;
      return LaunchOk;
    };
    LaunchCode placed = LaunchOk;
    for (std::size_t at = 0; at < size && placed == LaunchOk; at += piece) {
      placed = inPlace.Feed(data + at, size - at < piece ? size - at : piece, next);
    }
    Require(placed == LaunchOk || placed == RefusedFileHash || placed == RefusedWindow ||
                placed == RefusedFileSize,
            "a known code in place");
    const unsigned long long declared = ZSTD_getFrameContentSize(data, size);
    const bool fits = declared == ZSTD_CONTENTSIZE_UNKNOWN || declared <= kWhole;
    const bool placedWhole = placed == LaunchOk && inPlace.Done();
    if (whole && streamed.size() <= kWhole && !placedWhole) {
      Require(!fits, "what streams decodes in place, unless it declares more than fits");
    }
    if (placedWhole) {
      Require(whole && streamed == std::string(reinterpret_cast<const char*>(file), made),
              "what decodes in place streams the same");
    }
  }
  return 0;
}
