// Windows backend of the seam, the calls only the launch library makes: in an
// object of their own, so that the updater, which makes none, does not import
// bcrypt.dll.
#include <windows.h>
// The other Windows headers need it first.

#include <bcrypt.h>

#include <cstdint>

#include "platform/platform.h"

namespace platform {
namespace {

static_assert(kBcryptEcdsaPublicP256Magic == BCRYPT_ECDSA_PUBLIC_P256_MAGIC, "ECDSA P-256 magic");
static_assert(sizeof(BCRYPT_ECCKEY_BLOB) == 8, "BCRYPT_ECCKEY_BLOB layout");

const wchar_t* as_wcstr(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
HANDLE native(Handle h) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(h)); }
Handle portable(HANDLE h) { return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(h)); }

}  // namespace

std::uint64_t GetSystemTimeAsFileTime() {
  FILETIME t{};
  ::GetSystemTimeAsFileTime(&t);
  return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

std::uint64_t GetTickCount64() { return ::GetTickCount64(); }

std::int32_t BCryptOpenAlgorithmProvider(Handle* algorithm, const char16_t* id) {
  BCRYPT_ALG_HANDLE h = nullptr;
  const NTSTATUS status = ::BCryptOpenAlgorithmProvider(&h, as_wcstr(id), nullptr, 0);
  *algorithm = status >= 0 ? portable(h) : kNullHandle;
  return status;
}

std::int32_t BCryptCloseAlgorithmProvider(Handle algorithm) {
  return ::BCryptCloseAlgorithmProvider(native(algorithm), 0);
}

std::int32_t BCryptCreateHash(Handle algorithm, Handle* hash) {
  BCRYPT_HASH_HANDLE h = nullptr;
  const NTSTATUS status = ::BCryptCreateHash(native(algorithm), &h, nullptr, 0, nullptr, 0, 0);
  *hash = status >= 0 ? portable(h) : kNullHandle;
  return status;
}

std::int32_t BCryptHashData(Handle hash, const void* data, std::uint32_t size) {
  return ::BCryptHashData(native(hash), static_cast<PUCHAR>(const_cast<void*>(data)), size, 0);
}

std::int32_t BCryptFinishHash(Handle hash, std::uint8_t* digest, std::uint32_t size) {
  return ::BCryptFinishHash(native(hash), digest, size, 0);
}

std::int32_t BCryptDestroyHash(Handle hash) { return ::BCryptDestroyHash(native(hash)); }

std::int32_t BCryptImportKeyPair(Handle algorithm, const char16_t* blobType, Handle* key,
                                 const std::uint8_t* blob, std::uint32_t size) {
  BCRYPT_KEY_HANDLE h = nullptr;
  const NTSTATUS status = ::BCryptImportKeyPair(native(algorithm), nullptr, as_wcstr(blobType), &h,
                                                const_cast<PUCHAR>(blob), size, 0);
  *key = status >= 0 ? portable(h) : kNullHandle;
  return status;
}

std::int32_t BCryptVerifySignature(Handle key, const std::uint8_t* hash, std::uint32_t hashSize,
                                   const std::uint8_t* signature, std::uint32_t signatureSize) {
  return ::BCryptVerifySignature(native(key), nullptr, const_cast<PUCHAR>(hash), hashSize,
                                 const_cast<PUCHAR>(signature), signatureSize, 0);
}

std::int32_t BCryptDestroyKey(Handle key) { return ::BCryptDestroyKey(native(key)); }

std::int32_t BCryptGenRandom(std::uint8_t* buffer, std::uint32_t size) {
  return ::BCryptGenRandom(nullptr, buffer, size, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
}

}  // namespace platform
