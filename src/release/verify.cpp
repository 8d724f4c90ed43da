#include "release/verify.h"

#include <cstring>

#include "platform/platform.h"

namespace release {

namespace {

// FILETIME of 1970-01-01, in 100 ns units.
constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ull;

}  // namespace

std::int64_t NowSeconds() {
  const std::uint64_t t = platform::GetSystemTimeAsFileTime();
  return t < kUnixEpochFileTime ? 0
                                : static_cast<std::int64_t>((t - kUnixEpochFileTime) / 10000000);
}

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

namespace {

// The key's handle, or kNullHandle for a point CNG does not take.
platform::Handle ImportKey(platform::Handle alg, const PublicKey& point) {
  std::uint8_t blob[8 + 64];
  const std::uint32_t header[2] = {platform::kBcryptEcdsaPublicP256Magic, 32};
  std::memcpy(blob, header, sizeof header);
  std::copy(point.begin(), point.end(), blob + 8);
  platform::Handle key = platform::kNullHandle;
  if (platform::BCryptImportKeyPair(alg, platform::kBcryptEccPublicBlob, &key, blob, sizeof blob) <
      0) {
    return platform::kNullHandle;
  }
  return key;
}

// RefusedPublicKey when no key could be imported at all.
LaunchCode Verify(const std::string& manifest, const Signatures& signatures,
                  const std::vector<PublicKey>& keys) {
  HashProvider provider;
  Sha256 hash(provider);
  Digest digest{};
  if (!hash.Ready()) return FailedCrypto;
  if (!hash.Update(manifest.data(), manifest.size()) || !hash.Finish(digest)) return FailedCrypto;
  platform::Handle alg = platform::kNullHandle;
  if (platform::BCryptOpenAlgorithmProvider(&alg, platform::kBcryptEcdsaP256) < 0) {
    return FailedCrypto;
  }
  LaunchCode code = RefusedPublicKey;
  for (const PublicKey& point : keys) {
    const platform::Handle key = ImportKey(alg, point);
    if (key == platform::kNullHandle) continue;
    if (code == RefusedPublicKey) code = RefusedSignature;
    for (const Signature& s : signatures) {
      if (platform::BCryptVerifySignature(key, digest.data(), 32, s.data(), 64) ==
          platform::kStatusSuccess) {
        code = LaunchOk;
        break;
      }
    }
    platform::BCryptDestroyKey(key);
    if (code == LaunchOk) break;
  }
  platform::BCryptCloseAlgorithmProvider(alg);
  return code;
}

}  // namespace

LaunchCode VerifySignature(const std::string& manifest, const Bytes& signatureBytes,
                           const PublicKey& point) {
  Signature signature{};
  if (!ParseSignature(signatureBytes, signature)) return RefusedSignature;
  return Verify(manifest, {signature}, {point});
}

LaunchCode VerifyAny(const std::string& manifest, const Signatures& signatures,
                     const std::vector<PublicKey>& keys) {
  return Verify(manifest, signatures, keys);
}

}  // namespace release
