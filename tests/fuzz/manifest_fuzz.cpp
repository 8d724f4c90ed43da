// Arbitrary bytes as a release's manifest, signatures and embedded keys: each
// parser refuses or accepts exactly the form its writer makes. The same bytes
// as a release source's web address, as the publisher's key files, and as
// the records a client keeps in its client root, which its user may write.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "keyfile.h"
#include "launch/release.h"
#include "release/format.h"
#include "release/rollout.h"
#include "transport/web_address.h"

namespace {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  release::Manifest m;
  std::size_t file = 0;
  SeenRecord seen;
  if (ParseSeenRecord(bytes, seen)) {
    Require(WriteSeenRecord(seen) == bytes, "a seen record is written back as it was");
  }
  std::uint32_t bucket = 0;
  if (ParseBucket(bytes, bucket)) {
    Require(bucket < release::kBuckets && std::to_string(bucket) + "\n" == bytes,
            "a bucket within bounds, written back as it was");
  }
  const LaunchCode code = release::ParseManifest(bytes, m, &file);
  if (code == LaunchOk) {
    Require(release::WriteManifest(m) == bytes, "an accepted manifest is written back as it was");
    Require(!m.files.empty() && m.files.size() <= release::kMaxFiles, "file count within bounds");
    for (const release::File& f : m.files) {
      Require(IsStageableName(f.name), "every accepted name can be staged");
    }
  } else {
    Require(file == kNoName || file < release::kMaxFiles, "a refusal names a file or none");
  }

  WebAddress address;
  const WideString text(bytes.begin(), bytes.end());
  if (ParseWebAddress(text, address)) {
    Require(IsWebAddress(text), "a parsed address is a web address");
    Require(!address.host.empty() && address.port != 0, "a host and a port");
    Require(address.path.empty() || (address.path[0] == u'/' && address.path.back() != u'/'),
            "a path from its slash, without a trailing one");
    Require(address.path.find_first_of(u"?#%\\") == WideString::npos, "nothing to be misread");
  }

  release::Signature signature{};
  if (release::ParseSignature(release::Bytes(bytes.begin(), bytes.end()), signature) &&
      size != signature.size()) {
    const release::Bytes der = release::SignatureDer(signature);
    Require(std::string(der.begin(), der.end()) == bytes, "only minimal DER is accepted");
  }
  std::array<std::uint8_t, 64> point{};
  if (release::ParsePublicKeyText(bytes, point)) {
    Require(release::PublicKeyText(point) == bytes, "a key text is read in its one form");
  }
  if (release::ParsePublicKeyPem(bytes, point)) {
    std::array<std::uint8_t, 64> again{};
    Require(release::ParsePublicKeyPem(release::PublicKeyPem(point), again) && again == point,
            "a public key file is written back as the same key");
  }
  keyfile::Scalar d{}, d2{};
  keyfile::Point q{}, q2{};
  if (keyfile::ParsePrivateKeyPem(bytes, d, q)) {
    Require(keyfile::ParsePrivateKeyPem(keyfile::PrivateKeyPem(d, q), d2, q2) && d2 == d && q2 == q,
            "a private key file is written back as the same key");
  }
  release::Signatures signatures;
  if (release::ParseSignatures(bytes, signatures)) {
    Require(release::WriteSignatures(signatures) == bytes, "signatures are read in their one form");
    Require(signatures.size() <= release::kMaxSignatures, "signature count within bounds");
  }
  std::vector<release::PublicKey> keys;
  if (release::ParsePublicKeys(bytes, keys)) {
    Require(!keys.empty() && keys.size() <= release::kMaxKeys, "key count within bounds");
    for (const release::PublicKey& k : keys) {
      Require(bytes.find(release::PublicKeyText(k)) != std::string::npos, "each key is in the text");
    }
  }
  WideString wide;
  if (release::Utf8ToWide(bytes, wide)) {
    Require(release::WideToUtf8(wide) == bytes, "valid UTF-8 comes back unchanged");
  }
  return 0;
}
