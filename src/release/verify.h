// Verification of a release through Windows' CNG (the platform seam): SHA-256
// of files and the ECDSA P-256 check of a manifest's exact bytes. The client
// and the updater verify with this code.
#pragma once

#include "release/format.h"
#include "platform/types.h"

namespace release {

// CNG's SHA-256 provider, opened once per operation: opening it costs more
// than hashing a small file.
class HashProvider {
 public:
  HashProvider();
  ~HashProvider();
  HashProvider(const HashProvider&) = delete;
  HashProvider& operator=(const HashProvider&) = delete;
  bool Ready() const { return alg_ != platform::kNullHandle; }
  platform::Handle Get() const { return alg_; }

 private:
  platform::Handle alg_ = platform::kNullHandle;
};

class Sha256 {
 public:
  explicit Sha256(const HashProvider& provider);
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  bool Ready() const { return hash_ != platform::kNullHandle; }
  bool Update(const void* data, std::size_t size);
  bool Finish(Digest& digest);

 private:
  platform::Handle hash_ = platform::kNullHandle;
};

// LaunchOk when `signature` (DER or r||s) is `point`'s over SHA-256 of
// `manifest`, as it stands. RefusedSignature for a signature that is
// malformed or does not verify, RefusedPublicKey for a point CNG does not
// take, FailedCrypto when CNG is missing.
LaunchCode VerifySignature(const std::string& manifest, const Bytes& signature,
                           const PublicKey& point);

// LaunchOk when any of `signatures` is any of `keys`' over SHA-256 of
// `manifest`: a signature by a key not held is passed over. RefusedSignature
// when none verifies, RefusedPublicKey when CNG takes none of the keys,
// FailedCrypto when CNG is missing.
LaunchCode VerifyAny(const std::string& manifest, const Signatures& signatures,
                     const std::vector<PublicKey>& keys);

// The system clock in seconds since 1970, as the rules are checked against it.
std::int64_t NowSeconds();

}  // namespace release
