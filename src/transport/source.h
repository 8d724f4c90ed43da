// Transport: where a release is read from: a folder (local, a mounted volume, a UNC
// share) or the http:// or https:// address of one, served as `publish`
// wrote it. The signature, not the transport, decides what is trusted.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "contract/codes.h"

// One file of the release, read front to back.
class SourceFile {
 public:
  virtual ~SourceFile() = default;
  // LaunchOk and `got` bytes (0 at the end), or the failure.
  virtual LaunchCode Read(void* buffer, std::size_t size, std::size_t& got) = 0;
  // Its size, where known before reading.
  virtual bool Size(std::uint64_t& size) const {
    (void)size;
    return false;
  }
};

// Asked about four times a second while a transfer waits on the server:
// false stops it (Stopped). Empty: it is not stopped.
using StillWanted = std::function<bool()>;

class ReleaseSource {
 public:
  virtual ~ReleaseSource() = default;
  // `relative` as the release names it: "stable.manifest", "files/HEX".
  virtual LaunchCode Open(const std::string& relative, std::unique_ptr<SourceFile>& file) = 0;
  // The file from byte `offset` on where the source can (`resumed` true),
  // else from its start; while it waits on the server, opening or reading,
  // `wanted` can stop it.
  virtual LaunchCode OpenFrom(const std::string& relative, std::uint64_t offset,
                              std::unique_ptr<SourceFile>& file, bool& resumed,
                              const StillWanted& wanted) {
    (void)offset;
    (void)wanted;
    resumed = false;
    return Open(relative, file);
  }
  // Whether a partly fetched file is worth keeping for the next fetch.
  virtual bool Resumable() const { return false; }
};

// Over the web, a transfer that brings fewer than `minBytes` in a window of
// `windowMs` is given up (FailedSlow): a trickle the receive timeout misses.
struct TransferFloor {
  std::uint64_t minBytes = 64 << 10;
  std::uint64_t windowMs = 60000;
};

// A folder or a web address, by its form; null and RefusedAddress for an
// address that is neither. Over the web it says it is `userAgent` (empty:
// "KelvoClient-launch/1").
std::unique_ptr<ReleaseSource> OpenReleaseSource(const WideString& source, LaunchCode& code,
                                                 const WideString& userAgent = WideString(),
                                                 TransferFloor floor = TransferFloor());
