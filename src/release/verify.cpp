#include "release/verify.h"

#include <cstring>

#include "platform/platform.h"

namespace release {

HashProvider::HashProvider() {
  if (platform::BCryptOpenAlgorithmProvider(&alg_, platform::kBcryptSha256) < 0) {
    alg_ = platform::kNullHandle;
  }
}

HashProvider::~HashProvider() {
  if (alg_ != platform::kNullHandle) platform::BCryptCloseAlgorithmProvider(alg_);
}

Sha256::Sha256(const HashProvider& provider) {
  if (!provider.Ready() || platform::BCryptCreateHash(provider.Get(), &hash_) < 0) {
    hash_ = platform::kNullHandle;
  }
}

Sha256::~Sha256() {
  if (hash_ != platform::kNullHandle) platform::BCryptDestroyHash(hash_);
}

bool Sha256::Update(const void* data, std::size_t size) {
  return platform::BCryptHashData(hash_, data, static_cast<std::uint32_t>(size)) >= 0;
}

bool Sha256::Finish(Digest& digest) {
  return platform::BCryptFinishHash(hash_, digest.data(), 32) >= 0;
}

LaunchCode VerifySignature(const std::string& manifest, const Bytes& signatureBytes,
                           const PublicKey& point) {
  Signature signature{};
  if (!ParseSignature(signatureBytes, signature)) return RefusedSignature;
  HashProvider provider;
  Sha256 hash(provider);
  Digest digest{};
  if (!hash.Ready()) return FailedCrypto;
  if (!hash.Update(manifest.data(), manifest.size()) || !hash.Finish(digest)) return FailedCrypto;
  platform::Handle alg = platform::kNullHandle, key = platform::kNullHandle;
  if (platform::BCryptOpenAlgorithmProvider(&alg, platform::kBcryptEcdsaP256) < 0) {
    return FailedCrypto;
  }
  std::uint8_t blob[8 + 64];
  const std::uint32_t header[2] = {platform::kBcryptEcdsaPublicP256Magic, 32};
  std::memcpy(blob, header, sizeof header);
  std::copy(point.begin(), point.end(), blob + 8);
  LaunchCode code = RefusedPublicKey;
  if (platform::BCryptImportKeyPair(alg, platform::kBcryptEccPublicBlob, &key, blob, sizeof blob) >=
      0) {
    code = platform::BCryptVerifySignature(key, digest.data(), 32, signature.data(), 64) ==
                   platform::kStatusSuccess
               ? LaunchOk
               : RefusedSignature;
    platform::BCryptDestroyKey(key);
  }
  platform::BCryptCloseAlgorithmProvider(alg);
  return code;
}

}  // namespace release
