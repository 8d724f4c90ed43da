#include "launch/decode.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_stableOutBuffer
#include <zstd.h>
#include <zstd_errors.h>

#include <new>

#include "release/format.h"

namespace {

// Decoded bytes go to the sink in pieces of this size.
constexpr std::size_t kPiece = 128 * 1024;

LaunchCode CodeOf(std::size_t result) {
  switch (ZSTD_getErrorCode(result)) {
    case ZSTD_error_frameParameter_windowTooLarge:
    case ZSTD_error_memory_allocation:
      return RefusedWindow;
    case ZSTD_error_dstSize_tooSmall:
      return RefusedFileSize;
    default:
      return RefusedFileHash;
  }
}

}  // namespace

FrameDecoder::FrameDecoder()
    : d_(ZSTD_createDCtx()), piece_(new (std::nothrow) std::uint8_t[kPiece]) {}

FrameDecoder::~FrameDecoder() { ZSTD_freeDCtx(d_); }

bool FrameDecoder::Start(const std::uint8_t* prefix, std::size_t size, std::uint8_t* into,
                         std::size_t intoSize) {
  done_ = false;
  into_ = into;
  intoSize_ = into ? intoSize : 0;
  made_ = 0;
  // Decoded in place, the window is the output itself: no copy of it is kept.
  return d_ && piece_ && !ZSTD_isError(ZSTD_DCtx_reset(d_, ZSTD_reset_session_and_parameters)) &&
         !ZSTD_isError(ZSTD_DCtx_setParameter(d_, ZSTD_d_windowLogMax,
                                              static_cast<int>(release::kMaxWindowLog))) &&
         !ZSTD_isError(ZSTD_DCtx_setParameter(d_, ZSTD_d_stableOutBuffer, into ? 1 : 0)) &&
         (!prefix || !ZSTD_isError(ZSTD_DCtx_refPrefix(d_, prefix, size)));
}

LaunchCode FrameDecoder::Feed(const std::uint8_t* data, std::size_t size, const Sink& out) {
  if (!d_ || !piece_) return RefusedWindow;
  ZSTD_inBuffer in{data, size, 0};
  for (;;) {
    if (done_ && in.pos < in.size) return RefusedFileHash;  // past the one frame
    ZSTD_outBuffer o = into_ ? ZSTD_outBuffer{into_, intoSize_, made_}
                             : ZSTD_outBuffer{piece_.get(), kPiece, 0};
    const std::size_t from = o.pos;
    const std::size_t left = ZSTD_decompressStream(d_, &o, &in);
    if (ZSTD_isError(left)) return CodeOf(left);
    if (into_) made_ = o.pos;
    if (o.pos > from) {
      const LaunchCode code = out(static_cast<std::uint8_t*>(o.dst) + from, o.pos - from);
      if (code != LaunchOk) return code;
    }
    if (left == 0) done_ = true;
    // All taken in, and nothing more waits to come out (in place, nothing waits).
    if (in.pos == in.size && (into_ || o.pos < o.size)) return LaunchOk;
  }
}
