// A release as the publish command writes it and the client and the updater
// read it: the manifest's format, versions and times, the key and signature
// encodings, and where each part lives in a release folder. No Windows call
// here: the publish command on Linux writes with this code and the client
// parses with it. Verification through Windows' CNG is in verify.h.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "contract/names.h"

namespace release {

using Bytes = std::vector<std::uint8_t>;
using Digest = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;  // r||s, 32 bytes each, big-endian
using PublicKey = std::array<std::uint8_t, 64>;  // an uncompressed P-256 point, X||Y

// Bounds: a manifest past kMaxManifestBytes is refused unread.
constexpr std::size_t kMaxManifestBytes = 8 << 20;
constexpr std::size_t kMaxFiles = 16384;
constexpr std::size_t kMaxNameBytes = 1024;
constexpr std::size_t kMaxFieldBytes = 64;  // product, channel, version
// Signatures of one manifest, and keys a client or the updater holds.
constexpr std::size_t kMaxSignatures = 8;
constexpr std::size_t kMaxKeys = 8;
constexpr char kDefaultChannel[] = "stable";
// Deltas listed for one file, from as many earlier versions of it.
constexpr std::size_t kMaxDeltas = 8;
// The largest zstd window a stored object may ask of its decoder (128 MiB):
// what a 32-bit client can hold beside the old file.
constexpr unsigned kMaxWindowLog = 27;

// What a release folder stores under files/: its SHA-256 and size.
struct Stored {
  Digest sha256{};
  std::uint64_t size = 0;
  bool operator==(const Stored& o) const { return sha256 == o.sha256 && size == o.size; }
};

// A zstd frame that makes a file from `base`, an earlier version of it, as
// the decoder's prefix. Its size lets a client pick the delta for the file it
// has without hashing it; the file the delta makes is hashed in any case.
struct Delta {
  Digest base{};
  std::uint64_t baseSize = 0;
  Stored object;
};

struct File {
  File() = default;
  // Stored as it is, as format 1 stores it.
  File(WideString n, std::uint64_t s, const Digest& d)
      : name(std::move(n)), size(s), sha256(d), whole{d, s} {}
  WideString name;  // as staged and installed, "/" between folders
  std::uint64_t size = 0;
  Digest sha256{};
  // Format 2: the file compressed, one zstd frame, and deltas to it; where
  // compressing gains nothing, and always in format 1, the file as it is:
  // `whole` is then its own hash and size.
  Stored whole;
  std::vector<Delta> deltas;
};

// A phased rollout (format 3): from `started`, over `days`, a growing share
// of installs is offered the release (rollout.h). Halted, none is offered it
// that does not have it; the manifest's publication time is then the halt's.
struct Rollout {
  std::int64_t days = 0;  // 0: every install at once
  std::int64_t started = 0;
  bool halted = false;
};
constexpr std::int64_t kMaxRolloutDays = 365;

struct Manifest {
  std::string product;
  std::string channel;
  std::string version;
  std::int64_t published = 0;  // seconds since 1970, UTC
  std::int64_t expires = 0;
  std::vector<File> files;
  // 1: files stored as they are; 2: compressed, with deltas; 3: as 2, with
  // a rollout.
  int format = 1;
  Rollout rollout{};  // format 3
};
constexpr int kNewestFormat = 3;

// A release folder, "/" between folders:
//   CHANNEL.manifest   the release in format 1, UTF-8 text, signed as it stands
//   CHANNEL.sig        ECDSA P-256 over SHA-256 of those bytes, raw r||s
//   CHANNEL.sigs       every signature of it, one per key, raw r||s each;
//                      CHANNEL.sig is the first, for clients that read no other
//   CHANNEL.3.manifest the same release in format 3, and CHANNEL.3.sigs;
//                      folders published before rollouts have format 2's
//                      CHANNEL.2.manifest and CHANNEL.2.sigs instead
//   files/SHA256HEX    every stored object, once, under its hash: format 1's
//                      files as they are, format 3's compressed files and deltas
constexpr char kFilesFolder[] = "files";
std::string ManifestPath(const std::string& channel, int format = 1);
std::string SignaturePath(const std::string& channel);
std::string SignaturesPath(const std::string& channel, int format = 1);
std::string StoredPath(const Digest& sha256);

// The manifest's exact bytes in its format. Names in UTF-8; fields must
// already be valid.
std::string WriteManifest(const Manifest& manifest);

// LaunchOk and `out` filled, or RefusedMalformed, RefusedManifestTooLarge or a
// name's refusal; `file`, when given, is then the index of the file it is
// about (kNoName otherwise). Only the exact forms WriteManifest makes are
// read; a format it does not know is malformed.
LaunchCode ParseManifest(const std::string& bytes, Manifest& out, std::size_t* file = nullptr);

// A decimal without sign or leading zero, of at most 19 digits, within `max`.
bool ParseDecimal(const std::string& text, std::uint64_t max, std::uint64_t& value);
// Dotted decimal numbers ("2", "2.0.11"), at most 8 of at most 9 digits.
bool IsVersion(const std::string& text);
// <0, 0, >0; numerically, missing parts read as 0 (2.0 equals 2).
int CompareVersions(const std::string& a, const std::string& b);
// Letters, digits and ". _ -", 1 to kMaxFieldBytes: product and channel names.
bool IsPlainField(const std::string& text);

// "2026-12-08T13:00:00Z".
std::string FormatTime(std::int64_t seconds);
bool ParseTime(const std::string& text, std::int64_t& seconds);

std::string Hex(const std::uint8_t* data, std::size_t size);
std::string Base64(const Bytes& data);
bool ParseBase64(const std::string& text, Bytes& out);

// Strict: no unpaired surrogates, overlong forms or code points past U+10FFFF.
bool Utf8ToWide(const std::string& text, WideString& out);
std::string WideToUtf8(const WideString& text);

// The public key as a client embeds it: the base64 of its SubjectPublicKeyInfo
// DER, the body of the .pub PEM file. `point` is X||Y.
std::string PublicKeyText(const PublicKey& point);
Bytes PublicKeyDer(const PublicKey& point);
bool ParsePublicKeyDer(const Bytes& der, PublicKey& point);
bool ParsePublicKeyText(const std::string& text, PublicKey& point);
std::string PublicKeyPem(const PublicKey& point);
bool ParsePublicKeyPem(const std::string& pem, PublicKey& point);

// A signature as DER (openssl dgst -sign, most HSMs) or raw r||s.
bool ParseSignature(const Bytes& bytes, Signature& out);
Bytes SignatureDer(const Signature& signature);

// A manifest's signatures as CHANNEL.sigs holds them: 1 to kMaxSignatures.
using Signatures = std::vector<Signature>;
bool ParseSignatures(const std::string& bytes, Signatures& out);
std::string WriteSignatures(const Signatures& signatures);

// Key texts (PublicKeyText) separated by white space or commas: 1 to kMaxKeys.
bool ParsePublicKeys(const std::string& text, std::vector<PublicKey>& out);

// Whether "\"UPDATER\" --files " and the names joined by "|" fit one command
// line wherever the client is installed (an updater path of MAX_PATH - 1).
bool FitsOneCommandLine(const std::vector<File>& files);

// What a signed manifest must be to be installed over `installed`, checked
// at `now` (seconds since 1970): for `product` and `channel`
// (RefusedProduct), not expired (RefusedExpired), and newer (RefusedRollback
// when older, UpToDate when the same). Its names passed the name rules when
// it was parsed. LaunchOk when it may be installed.
LaunchCode CheckRules(const Manifest& manifest, const std::string& product,
                      const std::string& channel, const std::string& installed, std::int64_t now);

}  // namespace release
