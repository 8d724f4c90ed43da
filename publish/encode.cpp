#include "encode.h"

#include <zstd.h>

#include <memory>

#include "release/format.h"

namespace encode {
namespace {

constexpr int kLevel = 19;

struct FreeCCtx {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct FreeDCtx {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// The smallest window that spans `span` bytes, within the client's bound.
int WindowLogFor(std::uint64_t span) {
  int log = 10;  // zstd's smallest window
  while (log < static_cast<int>(release::kMaxWindowLog) && (std::uint64_t{1} << log) < span) ++log;
  return log;
}

bool Run(const std::string* base, const std::string& data, std::string& out) {
  const std::unique_ptr<ZSTD_CCtx, FreeCCtx> c(ZSTD_createCCtx());
  // A delta's matches reach back over the base and what is made of the file so far.
  const std::uint64_t span = data.size() + (base ? base->size() : 0);
  if (!c || ZSTD_isError(ZSTD_CCtx_setParameter(c.get(), ZSTD_c_compressionLevel, kLevel)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(c.get(), ZSTD_c_windowLog, WindowLogFor(span))) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(c.get(), ZSTD_c_enableLongDistanceMatching, 1)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(c.get(), ZSTD_c_checksumFlag, 0)) ||
      (base && ZSTD_isError(ZSTD_CCtx_refPrefix(c.get(), base->data(), base->size())))) {
    return false;
  }
  out.resize(ZSTD_compressBound(data.size()));
  const std::size_t n = ZSTD_compress2(c.get(), out.data(), out.size(), data.data(), data.size());
  if (ZSTD_isError(n)) return false;
  out.resize(n);
  return true;
}

}  // namespace

bool Compress(const std::string& data, std::string& out) { return Run(nullptr, data, out); }

bool Delta(const std::string& base, const std::string& data, std::string& out) {
  return Run(&base, data, out);
}

bool Decode(const std::string& frame, const std::string* base, std::uint64_t size,
            std::string& out) {
  const std::unique_ptr<ZSTD_DCtx, FreeDCtx> d(ZSTD_createDCtx());
  const unsigned long long content = ZSTD_getFrameContentSize(frame.data(), frame.size());
  if (!d || content != size || size > SIZE_MAX ||
      ZSTD_isError(ZSTD_DCtx_setParameter(d.get(), ZSTD_d_windowLogMax,
                                          static_cast<int>(release::kMaxWindowLog))) ||
      (base && ZSTD_isError(ZSTD_DCtx_refPrefix(d.get(), base->data(), base->size())))) {
    return false;
  }
  out.resize(static_cast<std::size_t>(size));
  ZSTD_inBuffer in{frame.data(), frame.size(), 0};
  ZSTD_outBuffer o{out.data(), out.size(), 0};
  const std::size_t left = ZSTD_decompressStream(d.get(), &o, &in);
  // One frame, all of it, and exactly `size` bytes.
  return left == 0 && in.pos == in.size && o.pos == out.size();
}

}  // namespace encode
