#include "launch/decode.h"

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
    default:
      return RefusedFileHash;
  }
}

}  // namespace

FrameDecoder::FrameDecoder()
    : d_(ZSTD_createDCtx()), piece_(new (std::nothrow) std::uint8_t[kPiece]) {}

FrameDecoder::~FrameDecoder() { ZSTD_freeDCtx(d_); }

bool FrameDecoder::Start(const std::uint8_t* prefix, std::size_t size) {
  done_ = false;
  return d_ && piece_ && !ZSTD_isError(ZSTD_DCtx_reset(d_, ZSTD_reset_session_and_parameters)) &&
         !ZSTD_isError(ZSTD_DCtx_setParameter(d_, ZSTD_d_windowLogMax,
                                              static_cast<int>(release::kMaxWindowLog))) &&
         (!prefix || !ZSTD_isError(ZSTD_DCtx_refPrefix(d_, prefix, size)));
}

LaunchCode FrameDecoder::Feed(const std::uint8_t* data, std::size_t size, const Sink& out) {
  if (!d_ || !piece_) return RefusedWindow;
  ZSTD_inBuffer in{data, size, 0};
  for (;;) {
    if (done_ && in.pos < in.size) return RefusedFileHash;  // past the one frame
    ZSTD_outBuffer o{piece_.get(), kPiece, 0};
    const std::size_t left = ZSTD_decompressStream(d_, &o, &in);
    if (ZSTD_isError(left)) return CodeOf(left);
    if (o.pos > 0) {
      const LaunchCode code = out(piece_.get(), o.pos);
      if (code != LaunchOk) return code;
    }
    if (left == 0) done_ = true;
    // All taken in, and nothing more waits to come out.
    if (in.pos == in.size && o.pos < o.size) return LaunchOk;
  }
}
