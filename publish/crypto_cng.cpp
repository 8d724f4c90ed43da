// The publish command's crypto on Windows: CNG (bcrypt.dll). Keys go to and
// from their PEM files through keyfile.h, in the formats openssl uses.
#include <windows.h>
// The other Windows headers need it first.

#include <bcrypt.h>

#include <cstring>

#include "crypto.h"
#include "keyfile.h"

namespace crypto {
namespace {

constexpr ULONG kPrivateMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
constexpr ULONG kPublicMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;

class Algorithm {
 public:
  explicit Algorithm(const wchar_t* id) {
    if (::BCryptOpenAlgorithmProvider(&h_, id, nullptr, 0) < 0) h_ = nullptr;
  }
  ~Algorithm() {
    if (h_) ::BCryptCloseAlgorithmProvider(h_, 0);
  }
  Algorithm(const Algorithm&) = delete;
  Algorithm& operator=(const Algorithm&) = delete;
  BCRYPT_ALG_HANDLE get() const { return h_; }

 private:
  BCRYPT_ALG_HANDLE h_ = nullptr;
};

class Key {
 public:
  Key() = default;
  ~Key() {
    if (h_) ::BCryptDestroyKey(h_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  BCRYPT_KEY_HANDLE* out() { return &h_; }
  BCRYPT_KEY_HANDLE get() const { return h_; }

 private:
  BCRYPT_KEY_HANDLE h_ = nullptr;
};

// BCRYPT_ECCKEY_BLOB, then X, Y and, for a private key, d.
std::vector<UCHAR> Blob(ULONG magic, const Point& point, const keyfile::Scalar* d) {
  std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64 + (d ? 32 : 0));
  const BCRYPT_ECCKEY_BLOB header{magic, 32};
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, point.data(), 64);
  if (d) std::memcpy(blob.data() + sizeof header + 64, d->data(), 32);
  return blob;
}

bool Import(const Algorithm& alg, const wchar_t* type, const std::vector<UCHAR>& blob, Key& key) {
  return alg.get() &&
         ::BCryptImportKeyPair(alg.get(), nullptr, type, key.out(), const_cast<UCHAR*>(blob.data()),
                               static_cast<ULONG>(blob.size()), 0) >= 0;
}

}  // namespace

struct Sha256::State {
  Algorithm alg{BCRYPT_SHA256_ALGORITHM};
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash) ::BCryptDestroyHash(hash);
  }
};

Sha256::Sha256() : state_(new State) {
  if (state_->alg.get() &&
      ::BCryptCreateHash(state_->alg.get(), &state_->hash, nullptr, 0, nullptr, 0, 0) < 0) {
    state_->hash = nullptr;
  }
}
Sha256::~Sha256() = default;
void Sha256::Update(const void* data, std::size_t size) {
  if (state_->hash) {
    ::BCryptHashData(state_->hash, static_cast<PUCHAR>(const_cast<void*>(data)),
                     static_cast<ULONG>(size), 0);
  }
}
release::Digest Sha256::Finish() {
  release::Digest d{};
  if (state_->hash) ::BCryptFinishHash(state_->hash, d.data(), 32, 0);
  return d;
}

bool GenerateKey(std::string& privatePem, Point& point) {
  Algorithm alg(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  if (!alg.get() || ::BCryptGenerateKeyPair(alg.get(), key.out(), 256, 0) < 0 ||
      ::BCryptFinalizeKeyPair(key.get(), 0) < 0) {
    return false;
  }
  std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 96);
  ULONG size = 0;
  if (::BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(),
                        static_cast<ULONG>(blob.size()), &size, 0) < 0 ||
      size != blob.size()) {
    return false;
  }
  BCRYPT_ECCKEY_BLOB header;
  std::memcpy(&header, blob.data(), sizeof header);
  if (header.dwMagic != kPrivateMagic || header.cbKey != 32) return false;
  keyfile::Scalar d;
  std::memcpy(point.data(), blob.data() + sizeof header, 64);
  std::memcpy(d.data(), blob.data() + sizeof header + 64, 32);
  privatePem = keyfile::PrivateKeyPem(d, point);
  ::SecureZeroMemory(blob.data(), blob.size());
  ::SecureZeroMemory(d.data(), d.size());
  return true;
}

bool LoadPrivateKey(const std::string& privatePem, Point& point) {
  keyfile::Scalar d;
  if (!keyfile::ParsePrivateKeyPem(privatePem, d, point)) return false;
  // The point must be d's: CNG checks the pair on import.
  Algorithm alg(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  std::vector<UCHAR> blob = Blob(kPrivateMagic, point, &d);
  const bool ok = Import(alg, BCRYPT_ECCPRIVATE_BLOB, blob, key);
  ::SecureZeroMemory(blob.data(), blob.size());
  return ok;
}

bool Sign(const std::string& privatePem, const release::Digest& digest,
          release::Signature& signature) {
  keyfile::Scalar d;
  Point point;
  if (!keyfile::ParsePrivateKeyPem(privatePem, d, point)) return false;
  Algorithm alg(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  std::vector<UCHAR> blob = Blob(kPrivateMagic, point, &d);
  const bool imported = Import(alg, BCRYPT_ECCPRIVATE_BLOB, blob, key);
  ::SecureZeroMemory(blob.data(), blob.size());
  ULONG size = 0;
  return imported &&
         ::BCryptSignHash(key.get(), nullptr, const_cast<UCHAR*>(digest.data()), 32,
                          signature.data(), 64, &size, 0) >= 0 &&
         size == 64;
}

bool Verify(const Point& point, const release::Digest& digest,
            const release::Signature& signature) {
  Algorithm alg(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  return Import(alg, BCRYPT_ECCPUBLIC_BLOB, Blob(kPublicMagic, point, nullptr), key) &&
         ::BCryptVerifySignature(key.get(), nullptr, const_cast<UCHAR*>(digest.data()), 32,
                                 const_cast<UCHAR*>(signature.data()), 64, 0) == 0;
}

}  // namespace crypto
