// One zstd frame, a compressed file or a delta, decoded as its bytes are
// read, within release::kMaxWindowLog. A delta decodes against its base, an
// earlier version of the file, referenced as the decoder's prefix.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "contract/codes.h"

struct ZSTD_DCtx_s;

class FrameDecoder {
 public:
  // Takes the decoded bytes; another code than LaunchOk stops the decoding.
  using Sink = std::function<LaunchCode(const std::uint8_t* data, std::size_t size)>;

  FrameDecoder();
  ~FrameDecoder();
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  // `prefix` is read, not copied: it stays until the frame is done. With
  // `into`, the frame decodes straight into it, and must fit; the sink then
  // gets each newly decoded stretch of it.
  bool Start(const std::uint8_t* prefix = nullptr, std::size_t size = 0,
             std::uint8_t* into = nullptr, std::size_t intoSize = 0);
  // LaunchOk; RefusedWindow for a frame that asks a larger window, or more
  // memory than there is; RefusedFileSize for one larger than `into`;
  // RefusedFileHash for bytes that are not one frame; or the sink's code.
  LaunchCode Feed(const std::uint8_t* data, std::size_t size, const Sink& out);
  // Whether the frame ended, with the last byte fed.
  bool Done() const { return done_; }

 private:
  ZSTD_DCtx_s* d_;
  std::unique_ptr<std::uint8_t[]> piece_;  // what one step decodes
  std::uint8_t* into_ = nullptr;
  std::size_t intoSize_ = 0;
  std::size_t made_ = 0;  // of `into_`
  bool done_ = false;
};
