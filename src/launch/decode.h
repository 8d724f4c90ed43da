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

  // `prefix` is read, not copied: it stays until the frame is done.
  bool Start(const std::uint8_t* prefix = nullptr, std::size_t size = 0);
  // LaunchOk; RefusedWindow for a frame that asks a larger window, or more
  // memory than there is; RefusedFileHash for bytes that are not one frame;
  // or the sink's code.
  LaunchCode Feed(const std::uint8_t* data, std::size_t size, const Sink& out);
  // Whether the frame ended, with the last byte fed.
  bool Done() const { return done_; }

 private:
  ZSTD_DCtx_s* d_;
  std::unique_ptr<std::uint8_t[]> piece_;  // what one step decodes
  bool done_ = false;
};
