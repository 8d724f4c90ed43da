// The publish command's crypto, one small interface: OpenSSL's libcrypto on
// Linux, CNG on Windows. Keys are ECDSA P-256 in standard files.
#pragma once

#include <memory>
#include <string>

#include "release/format.h"

namespace crypto {

using Point = std::array<std::uint8_t, 64>;  // X||Y of a public key

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Update(const void* data, std::size_t size);
  release::Digest Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A new key: the private key as PKCS#8 PEM, its public point.
bool GenerateKey(std::string& privatePem, Point& point);
// A PKCS#8 (or "EC PRIVATE KEY") PEM of a P-256 key: its public point.
bool LoadPrivateKey(const std::string& privatePem, Point& point);
bool Sign(const std::string& privatePem, const release::Digest& digest,
          release::Signature& signature);
bool Verify(const Point& point, const release::Digest& digest, const release::Signature& signature);

}  // namespace crypto
