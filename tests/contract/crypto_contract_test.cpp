// What the launch library relies on from CNG: SHA-256 in pieces, and ECDSA
// P-256 verification of a signature that openssl made. The same suite runs on
// the simulation (OpenSSL behind it) and on the real bcrypt.dll under Wine.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/fixture.h"
#include "support/text.h"

namespace {

// openssl dgst -sha256 -sign over "kelvo release", as raw r||s, and the key's point.
constexpr std::uint8_t kPoint[64] = {
    0xab, 0x27, 0xb3, 0xb0, 0x9f, 0xa8, 0x75, 0xc5, 0xa9, 0x36, 0x0c, 0xd4, 0xf2, 0x35, 0xaa, 0x51,
    0x02, 0xec, 0x36, 0xf1, 0xa1, 0xf1, 0x46, 0x95, 0xda, 0xf0, 0x7f, 0x5c, 0x5d, 0xca, 0x5d, 0xd8,
    0xfc, 0x60, 0x6f, 0xf4, 0x52, 0x32, 0xbe, 0x47, 0x8a, 0xf9, 0x2f, 0x5c, 0xc8, 0x44, 0xec, 0xed,
    0x02, 0xad, 0xca, 0x96, 0x3b, 0x61, 0xf5, 0xbc, 0x10, 0xc1, 0xc8, 0x72, 0xb5, 0xb9, 0x99, 0x59};
constexpr std::uint8_t kSignature[64] = {
    0xaf, 0x67, 0x13, 0x28, 0x71, 0x00, 0x92, 0x0b, 0x94, 0x22, 0x12, 0xdb, 0x61, 0x97, 0x1e, 0x2c,
    0xe6, 0xe5, 0x0e, 0xec, 0xee, 0x75, 0xbd, 0xbd, 0xb8, 0x14, 0x43, 0x6f, 0x6c, 0x6e, 0x3a, 0x7b,
    0x5e, 0xef, 0xfb, 0x23, 0x70, 0x5a, 0xfa, 0xf0, 0xdc, 0x61, 0xeb, 0x35, 0x2f, 0x59, 0x70, 0xf7,
    0x49, 0xa1, 0x6f, 0xbe, 0x0b, 0x61, 0xe9, 0xe7, 0xa9, 0x2b, 0x0e, 0xe4, 0xc5, 0xad, 0x85, 0x18};
constexpr char kMessage[] = "kelvo release";

using test::Hex;

class CryptoContractTest : public PlatformTest {
 protected:
  // SHA-256 of `text` fed in pieces of `piece` bytes.
  static std::string Sha256(const std::string& text, std::size_t piece) {
    platform::Handle alg = platform::kNullHandle, hash = platform::kNullHandle;
    EXPECT_EQ(platform::BCryptOpenAlgorithmProvider(&alg, platform::kBcryptSha256), 0);
    EXPECT_EQ(platform::BCryptCreateHash(alg, &hash), 0);
    for (std::size_t at = 0; at < text.size(); at += piece) {
      const std::size_t n = std::min(piece, text.size() - at);
      EXPECT_EQ(platform::BCryptHashData(hash, text.data() + at, static_cast<std::uint32_t>(n)), 0);
    }
    std::uint8_t digest[32] = {};
    EXPECT_LT(platform::BCryptFinishHash(hash, digest, 31), 0) << "a digest buffer of 31 bytes";
    EXPECT_EQ(platform::BCryptFinishHash(hash, digest, 32), 0);
    platform::BCryptDestroyHash(hash);
    platform::BCryptCloseAlgorithmProvider(alg);
    return Hex(digest, 32);
  }
  // The status of importing `point` and verifying `signature` over `digest`.
  static std::pair<std::int32_t, std::int32_t> Verify(
      const std::uint8_t* point, const std::uint8_t* digest, const std::uint8_t* signature,
      std::uint32_t magic = platform::kBcryptEcdsaPublicP256Magic) {
    platform::Handle alg = platform::kNullHandle, key = platform::kNullHandle;
    EXPECT_EQ(platform::BCryptOpenAlgorithmProvider(&alg, platform::kBcryptEcdsaP256), 0);
    std::uint8_t blob[72];
    const std::uint32_t header[2] = {magic, 32};
    std::memcpy(blob, header, 8);
    std::memcpy(blob + 8, point, 64);
    const std::int32_t imported =
        platform::BCryptImportKeyPair(alg, platform::kBcryptEccPublicBlob, &key, blob, 72);
    std::int32_t verified = imported;
    if (imported >= 0) {
      verified = platform::BCryptVerifySignature(key, digest, 32, signature, 64);
      platform::BCryptDestroyKey(key);
    }
    platform::BCryptCloseAlgorithmProvider(alg);
    return {imported, verified};
  }
};

TEST_F(CryptoContractTest, Sha256OfKnownTextsInAnyPieces) {
  EXPECT_EQ(Sha256("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string million(1000000, 'a');
  for (std::size_t piece : {1000000, 65536, 999}) {
    EXPECT_EQ(Sha256(million, piece),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0")
        << piece;
  }
}

TEST_F(CryptoContractTest, AnOpensslSignatureVerifiesAndNoAlteredOneDoes) {
  std::uint8_t digest[32];
  const std::string hex = Sha256(kMessage, 5);
  for (int i = 0; i < 32; ++i)
    digest[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  EXPECT_EQ(Verify(kPoint, digest, kSignature), std::make_pair(0, 0));
  for (int bit : {0, 100, 511}) {
    std::uint8_t s[64];
    std::memcpy(s, kSignature, 64);
    s[bit / 8] ^= static_cast<std::uint8_t>(1 << (bit % 8));
    EXPECT_EQ(Verify(kPoint, digest, s), std::make_pair(0, platform::kStatusInvalidSignature))
        << bit;
  }
  digest[31] ^= 1;
  EXPECT_EQ(Verify(kPoint, digest, kSignature).second, platform::kStatusInvalidSignature);
  digest[31] ^= 1;
  // Another key's blob type, and a point off the curve, are no key.
  EXPECT_LT(Verify(kPoint, digest, kSignature, 0x31534B45 /* ECDH P-256 */).first, 0);
  std::uint8_t off[64];
  std::memcpy(off, kPoint, 64);
  off[63] ^= 1;
  EXPECT_NE(Verify(off, digest, kSignature).second, 0) << "a point off the curve verifies nothing";
}

}  // namespace
