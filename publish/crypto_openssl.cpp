#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "crypto.h"

namespace crypto {
namespace {

constexpr char kCurve[] = "P-256";

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey ReadPrivate(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (!bio) return nullptr;
  Pkey key(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
  BIO_free(bio);
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC) return nullptr;
  char group[32] = {};
  std::size_t length = 0;
  if (!EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                      &length) ||
      std::string(group) != "prime256v1") {
    return nullptr;
  }
  return key;
}

bool PointOf(EVP_PKEY* key, Point& point) {
  unsigned char encoded[65];
  std::size_t length = 0;
  if (!EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, encoded,
                                       sizeof encoded, &length) ||
      length != 65 || encoded[0] != 0x04) {
    return false;
  }
  std::copy(encoded + 1, encoded + 65, point.begin());
  return true;
}

}  // namespace

struct Sha256::State {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~State() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : state_(new State) { EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr); }
Sha256::~Sha256() = default;
void Sha256::Update(const void* data, std::size_t size) {
  EVP_DigestUpdate(state_->ctx, data, size);
}
release::Digest Sha256::Finish() {
  release::Digest d{};
  EVP_DigestFinal_ex(state_->ctx, d.data(), nullptr);
  return d;
}

bool GenerateKey(std::string& privatePem, Point& point) {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", kCurve));
  if (!key || !PointOf(key.get(), point)) return false;
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) return false;
  // PKCS#8, unencrypted: the file's permissions guard it, or an HSM holds it.
  const bool written =
      PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  if (written && size > 0) privatePem.assign(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return written && size > 0;
}

bool LoadPrivateKey(const std::string& privatePem, Point& point) {
  const Pkey key = ReadPrivate(privatePem);
  return key && PointOf(key.get(), point);
}

bool Sign(const std::string& privatePem, const release::Digest& digest,
          release::Signature& signature) {
  const Pkey key = ReadPrivate(privatePem);
  if (!key) return false;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
  unsigned char der[80];
  std::size_t length = sizeof der;
  const bool ok = ctx && EVP_PKEY_sign_init(ctx) == 1 &&
                  EVP_PKEY_sign(ctx, der, &length, digest.data(), digest.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  return ok && release::ParseSignature(release::Bytes(der, der + length), signature);
}

bool Verify(const Point& point, const release::Digest& digest,
            const release::Signature& signature) {
  const release::Bytes der = release::PublicKeyDer(point);
  const unsigned char* p = der.data();
  Pkey key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
  if (!key) return false;
  const release::Bytes sig = release::SignatureDer(signature);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
  const bool ok = ctx && EVP_PKEY_verify_init(ctx) == 1 &&
                  EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest.data(), digest.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

}  // namespace crypto
