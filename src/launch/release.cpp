#include "launch/release.h"

#include <cstring>
#include <memory>

#include "cmdline/cmdline.h"
#include "cmdline/locations.h"
#include "launch/source.h"
#include "launch/staging.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kBlock = 256 * 1024;
constexpr std::size_t kMaxSignatureBytes = 128;
constexpr char16_t kUpdaterName[] = u"\\updater.exe";
// In the staging folder: no staged name begins with a blank, no partial one so.
constexpr char16_t kLockName[] = u"\\ lock";
// FILETIME of 1970-01-01, in 100 ns units.
constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ull;

// The ASCII of a text that must be ASCII; false for anything else.
bool Ascii(const WideString& text, std::string& out) {
  out.clear();
  for (char16_t c : text) {
    if (c == 0 || c > 0x7F) return false;
    out += static_cast<char>(c);
  }
  return true;
}

class File {
 public:
  File(const WideString& path, std::uint32_t access, std::uint32_t disposition)
      : h_(platform::CreateFileW(path.c_str(), access, platform::kFileShareRead, disposition,
                                 platform::kAttributeNormal | platform::kFileFlagSequentialScan)) {}
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool Open() const { return h_ != platform::kInvalidHandle; }
  void Close() {
    if (Open()) platform::CloseHandle(h_);
    h_ = platform::kInvalidHandle;
  }
  bool Size(std::uint64_t& size) const {
    platform::FileStandardInfo info{};
    if (!platform::GetFileInformationByHandleEx(h_, platform::FileInfoClass::Standard, &info,
                                                sizeof info) ||
        info.Directory || info.EndOfFile < 0) {
      return false;
    }
    size = static_cast<std::uint64_t>(info.EndOfFile);
    return true;
  }
  bool Read(void* buffer, std::size_t size, std::size_t& read) const {
    std::uint32_t n = 0;
    const bool ok = platform::ReadFile(h_, buffer, static_cast<std::uint32_t>(size), &n);
    read = n;
    return ok;
  }
  bool Write(const void* buffer, std::size_t size) const {
    std::uint32_t n = 0;
    return platform::WriteFile(h_, buffer, static_cast<std::uint32_t>(size), &n) && n == size;
  }

 private:
  platform::Handle h_;
};

// CNG's SHA-256, opened once per operation: opening the provider costs more
// than hashing a small file.
class HashProvider {
 public:
  HashProvider() {
    if (platform::BCryptOpenAlgorithmProvider(&alg_, platform::kBcryptSha256) < 0) {
      alg_ = platform::kNullHandle;
    }
  }
  ~HashProvider() {
    if (alg_ != platform::kNullHandle) platform::BCryptCloseAlgorithmProvider(alg_);
  }
  HashProvider(const HashProvider&) = delete;
  HashProvider& operator=(const HashProvider&) = delete;
  bool Ready() const { return alg_ != platform::kNullHandle; }
  platform::Handle Get() const { return alg_; }

 private:
  platform::Handle alg_ = platform::kNullHandle;
};

class Sha256 {
 public:
  explicit Sha256(const HashProvider& provider) {
    if (!provider.Ready() || platform::BCryptCreateHash(provider.Get(), &hash_) < 0) {
      hash_ = platform::kNullHandle;
    }
  }
  ~Sha256() {
    if (hash_ != platform::kNullHandle) platform::BCryptDestroyHash(hash_);
  }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  bool Ready() const { return hash_ != platform::kNullHandle; }
  bool Update(const void* data, std::size_t size) {
    return platform::BCryptHashData(hash_, data, static_cast<std::uint32_t>(size)) >= 0;
  }
  bool Finish(release::Digest& digest) {
    return platform::BCryptFinishHash(hash_, digest.data(), 32) >= 0;
  }

 private:
  platform::Handle hash_ = platform::kNullHandle;
};

// Held while a fetch or an apply works in the staging folder, so that
// another one (on another thread, or in another instance of the client) is
// told so instead of replacing or removing what this one verified. Windows
// removes the file with its last handle, also a crashed process's.
class StagingLock {
 public:
  explicit StagingLock(const WideString& staging)
      : h_(platform::CreateFileW((staging + kLockName).c_str(),
                                 platform::kGenericWrite | platform::kDelete, 0,
                                 platform::kOpenAlways,
                                 platform::kAttributeNormal | platform::kFileFlagDeleteOnClose |
                                     platform::kFileFlagOpenReparsePoint)) {
    if (h_ == platform::kInvalidHandle) {
      code_ = platform::GetLastError() == platform::kErrorSharingViolation ? FailedBusy
                                                                           : FailedStageWrite;
    }
  }
  ~StagingLock() {
    if (code_ == LaunchOk) platform::CloseHandle(h_);
  }
  StagingLock(const StagingLock&) = delete;
  StagingLock& operator=(const StagingLock&) = delete;
  LaunchCode Code() const { return code_; }

 private:
  platform::Handle h_;
  LaunchCode code_ = LaunchOk;
};

// The read buffer of one operation. Never shared between operations: a client
// may check on one thread while it fetches on another.
using Block = std::vector<std::uint8_t>;

// The whole file, when it is at most `bound` bytes; TooLarge past it, and
// unread where its size is known first.
LaunchCode ReadBounded(ReleaseSource& source, Block& block, const std::string& relative,
                       std::size_t bound, LaunchCode tooLarge, std::string& out) {
  std::unique_ptr<SourceFile> f;
  LaunchCode code = source.Open(relative, f);
  if (code != LaunchOk) return code;
  std::uint64_t size = 0;
  if (f->Size(size) && size > bound) return tooLarge;
  std::string bytes;
  for (;;) {
    std::size_t n = 0;
    code = f->Read(block.data(), block.size(), n);
    if (code != LaunchOk) return code;
    if (n == 0) break;
    bytes.append(reinterpret_cast<const char*>(block.data()), n);
    if (bytes.size() > bound) return tooLarge;  // longer than said, or endless
  }
  out = std::move(bytes);
  return LaunchOk;
}

// Whether the file at `path` has the size and SHA-256 of `expected`. The size
// first: a file of another size is not read.
LaunchCode Matches(const HashProvider& provider, Block& block, const WideString& path,
                   const release::File& expected, bool& same) {
  same = false;
  File f(path, platform::kGenericRead, platform::kOpenExisting);
  std::uint64_t size = 0;
  if (!f.Open() || !f.Size(size) || size != expected.size) return LaunchOk;
  Sha256 hash(provider);
  if (!hash.Ready()) return FailedCrypto;
  std::uint64_t total = 0;
  for (;;) {
    std::size_t n = 0;
    if (!f.Read(block.data(), block.size(), n)) return LaunchOk;
    if (n == 0) break;
    total += n;
    if (total > expected.size || !hash.Update(block.data(), n)) return LaunchOk;
  }
  release::Digest digest{};
  if (!hash.Finish(digest)) return FailedCrypto;
  same = total == expected.size && digest == expected.sha256;
  return LaunchOk;
}

LaunchCode VerifySignature(const std::string& manifest, const std::string& signatureBytes,
                           const std::array<std::uint8_t, 64>& point) {
  release::Signature signature{};
  if (!release::ParseSignature(release::Bytes(signatureBytes.begin(), signatureBytes.end()),
                               signature)) {
    return RefusedSignature;
  }
  HashProvider provider;
  Sha256 hash(provider);
  release::Digest digest{};
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

std::int64_t NowSeconds() {
  const std::uint64_t t = platform::GetSystemTimeAsFileTime();
  return t < kUnixEpochFileTime ? 0
                                : static_cast<std::int64_t>((t - kUnixEpochFileTime) / 10000000);
}

std::string StoredName(const release::File& f) {
  return std::string(release::kFilesFolder) + "/" + release::Hex(f.sha256.data(), f.sha256.size());
}

FileList NamesOf(const CheckedRelease& r, bool changedOnly) {
  FileList names;
  if (changedOnly) {
    for (std::size_t i : r.changed) names.push_back(r.manifest.files[i].name);
  } else {
    for (const release::File& f : r.manifest.files) names.push_back(f.name);
  }
  return names;
}

// What an earlier fetch left of the file: hashed into `hash`, `got` its
// length. False when it cannot be read or is longer than the file.
bool HashPartial(Block& block, const WideString& partial, std::uint64_t size, Sha256& hash,
                 std::uint64_t& got) {
  got = 0;
  File f(partial, platform::kGenericRead, platform::kOpenExisting);
  if (!f.Open())
    return platform::GetFileAttributesW(partial.c_str()) ==
           platform::kInvalidFileAttributes;  // none: start afresh
  for (;;) {
    std::size_t n = 0;
    if (!f.Read(block.data(), block.size(), n)) return false;
    if (n == 0) return true;
    got += n;
    if (got > size || !hash.Update(block.data(), n)) return false;
  }
}

// Failures of the transport or a stop: what was fetched may be continued.
bool WorthKeeping(LaunchCode code) {
  return code == Stopped || code == FailedTimeout || code == FailedConnect ||
         code == FailedReadSource || code == FailedHttpStatus || code == FailedSlow;
}

// Copies one file from the release to its staged name, hashing as it goes.
// From a web source a partial copy that a stop or a failed transfer left is
// continued with a range request, and the whole file is verified.
LaunchCode FetchOne(const HashProvider& provider, Block& block, ReleaseSource& source,
                    const WideString& staged, const release::File& f, std::uint64_t& done,
                    std::uint64_t total, FetchProgress progress, void* context) {
  const WideString partial = PartialPathOf(staged);
  LaunchCode code = LaunchOk;
  {
    auto hash = std::make_unique<Sha256>(provider);
    if (!hash->Ready()) return FailedCrypto;
    std::uint64_t got = 0;
    if (source.Resumable() && !HashPartial(block, partial, f.size, *hash, got)) {
      hash = std::make_unique<Sha256>(provider);
      got = 0;
    }
    std::unique_ptr<SourceFile> in;
    bool resumed = got == f.size;  // complete already: nothing to ask for
    if (!resumed) {
      // A server that keeps the fetch waiting cannot keep a stop from it.
      const StillWanted wanted = [&done, total, progress, context] {
        return !progress || progress(done, total, context);
      };
      code = source.OpenFrom(StoredName(f), got, in, resumed, wanted);
      if (code != LaunchOk) {
        if (!(source.Resumable() && WorthKeeping(code))) Discard(partial);
        return code;
      }
    }
    if (!resumed && got > 0) {
      hash = std::make_unique<Sha256>(provider);
      got = 0;
    }
    // Appended to what is there, or written anew.
    File out(partial, got > 0 ? platform::kFileAppendData : platform::kGenericWrite,
             got > 0 ? platform::kOpenExisting : platform::kCreateAlways);
    if (!out.Open()) code = FailedStageWrite;
    if (!hash->Ready()) code = FailedCrypto;
    done += got;
    while (code == LaunchOk && in) {
      std::size_t n = 0;
      code = in->Read(block.data(), block.size(), n);
      if (code != LaunchOk) {
        break;
      } else if (n == 0) {
        break;
      } else if (got + n > f.size) {
        code = RefusedFileSize;  // cut off: never more than the manifest says
      } else if (!hash->Update(block.data(), n)) {
        code = FailedCrypto;
      } else if (!out.Write(block.data(), n)) {
        code = FailedStageWrite;
      } else {
        got += n;
        done += n;
        if (progress && !progress(done, total, context)) code = Stopped;
      }
    }
    release::Digest digest{};
    // Over the web an early end is a dropped connection (Wine reports one so):
    // kept, to be continued.
    if (code == LaunchOk && got < f.size && source.Resumable()) code = FailedReadSource;
    if (code == LaunchOk && got != f.size) code = RefusedFileSize;
    if (code == LaunchOk && !hash->Finish(digest)) code = FailedCrypto;
    if (code == LaunchOk && digest != f.sha256) code = RefusedFileHash;
  }
  if (code == LaunchOk) {
    const auto move = [&] {
      return platform::MoveFileExW(partial.c_str(), staged.c_str(),
                                   platform::kMoveFileReplaceExisting) != platform::kFalse;
    };
    // A read-only copy under the name refuses the rename: then it goes first.
    if (!move() &&
        !(platform::SetFileAttributesW(staged.c_str(), platform::kAttributeNormal) && move())) {
      code = FailedStageWrite;
    }
  }
  if (code != LaunchOk) {
    if (!(source.Resumable() && WorthKeeping(code))) Discard(partial);
    Discard(staged);  // whatever stood there was not verified
  }
  return code;
}

}  // namespace

LaunchCode CheckRelease(const ReleaseQuery& q, CheckedRelease& out, std::size_t* file) {
  if (file) *file = kNoName;
  std::string key, product, channel, installed;
  std::array<std::uint8_t, 64> point{};
  if (!Ascii(q.publicKey, key) || !release::ParsePublicKeyText(key, point)) return RefusedPublicKey;
  if (!Ascii(q.installedVersion, installed) || !release::IsVersion(installed)) {
    return RefusedVersionText;
  }
  if (!Ascii(q.product, product) || !release::IsPlainField(product) || !Ascii(q.channel, channel) ||
      !release::IsPlainField(channel)) {
    return RefusedProduct;
  }
  LaunchCode code = LaunchOk;
  const std::unique_ptr<ReleaseSource> source =
      OpenReleaseSource(q.source, code, q.userAgent, q.floor);
  if (!source) return code;

  Block block(kBlock);
  std::string manifest, signature;
  code = ReadBounded(*source, block, channel + ".manifest", release::kMaxManifestBytes,
                     RefusedManifestTooLarge, manifest);
  if (code != LaunchOk) return code;
  code = ReadBounded(*source, block, channel + ".sig", kMaxSignatureBytes, RefusedSignature,
                     signature);
  // A signature that is not there is a bad one; a server that fails says so.
  if (code == FailedReadSource || code == FailedHttpStatus) return RefusedSignature;
  if (code != LaunchOk) return code;
  // Not one byte of the manifest is parsed before its signature holds.
  code = VerifySignature(manifest, signature, point);
  if (code != LaunchOk) return code;

  CheckedRelease r;
  code = release::ParseManifest(manifest, r.manifest, file);
  if (code != LaunchOk) return code;
  const release::Manifest& m = r.manifest;
  if (m.product != product || m.channel != channel) return RefusedProduct;
  if (NowSeconds() >= m.expires) return RefusedExpired;
  const int order = release::CompareVersions(m.version, installed);
  if (order < 0) return RefusedRollback;
  if (order == 0) return UpToDate;

  WideString folder = q.installFolder;
  while (!folder.empty() && IsPathSeparator(folder.back())) folder.pop_back();
  r.source = q.source;
  r.userAgent = q.userAgent;
  r.floor = q.floor;
  r.updater = folder + kUpdaterName;
  // The whole list must be one the updater takes, wherever it installs.
  WideString line;
  LaunchRefusal refusal;
  if (!BuildUpdateCommandLine(r.updater, NamesOf(r, false), line, &refusal)) {
    if (file) *file = refusal.name;
    return refusal.code;
  }
  const HashProvider provider;
  if (!provider.Ready()) return FailedCrypto;
  for (std::size_t i = 0; i < m.files.size(); ++i) {
    const release::File& f = m.files[i];
    r.totalBytes += f.size;
    bool same = false;
    code = Matches(provider, block, folder + u"\\" + WithBackslashes(f.name), f, same);
    if (code != LaunchOk) return code;
    if (!same) {
      r.changed.push_back(i);
      r.changedBytes += f.size;
    }
  }
  if (r.changed.empty()) return UpToDate;
  out = std::move(r);
  return LaunchOk;
}

LaunchCode FetchRelease(const CheckedRelease& r, FetchProgress progress, void* context,
                        std::size_t* file) {
  if (file) *file = kNoName;
  WideString staging;
  if (!GetStagingDir(staging)) return FailedNoClientRoot;
  const StagingLock lock(staging);
  if (lock.Code() != LaunchOk) return lock.Code();
  const HashProvider provider;
  if (!provider.Ready()) return FailedCrypto;
  LaunchCode opened = LaunchOk;
  const std::unique_ptr<ReleaseSource> source =
      OpenReleaseSource(r.source, opened, r.userAgent, r.floor);
  if (!source) return opened;
  Block block(kBlock);
  std::uint64_t done = 0;
  if (progress && !progress(done, r.changedBytes, context)) return Stopped;
  for (std::size_t k = 0; k < r.changed.size(); ++k) {
    const release::File& f = r.manifest.files[r.changed[k]];
    const WideString name = WithBackslashes(f.name);
    const WideString staged = staging + u"\\" + name;
    bool same = false;
    LaunchCode code = Matches(provider, block, staged, f, same);
    if (code == LaunchOk && same) {
      done += f.size;
      if (progress && !progress(done, r.changedBytes, context)) code = Stopped;
    } else if (code == LaunchOk) {
      for (std::size_t s = name.find(u'\\'); s != WideString::npos; s = name.find(u'\\', s + 1)) {
        EnsureFolder(staging + u"\\" + name.substr(0, s));
      }
      code = FetchOne(provider, block, *source, staged, f, done, r.changedBytes, progress, context);
    }
    if (code != LaunchOk) {
      if (file) *file = k;
      return code;
    }
  }
  return LaunchOk;
}

bool ApplyRelease(const CheckedRelease& r, LaunchRefusal* refusal) {
  const auto refuse = [&](LaunchCode code, std::size_t k) {
    if (refusal) *refusal = {code, k};
    return false;
  };
  WideString staging;
  if (!GetStagingDir(staging)) return refuse(FailedNoClientRoot, kNoName);
  // Held until the updater has started: nothing replaces what was verified.
  const StagingLock lock(staging);
  if (lock.Code() != LaunchOk) return refuse(lock.Code(), kNoName);
  const HashProvider provider;
  if (!provider.Ready()) return refuse(FailedCrypto, kNoName);
  Block block(kBlock);
  for (std::size_t k = 0; k < r.changed.size(); ++k) {
    const release::File& f = r.manifest.files[r.changed[k]];
    bool same = false;
    const LaunchCode code =
        Matches(provider, block, staging + u"\\" + WithBackslashes(f.name), f, same);
    if (code != LaunchOk) return refuse(code, k);
    if (!same) return refuse(RefusedFileHash, k);
  }
  WideString line;
  LaunchRefusal built;
  if (r.changed.empty() || !BuildUpdateCommandLine(r.updater, NamesOf(r, true), line, &built)) {
    return refuse(r.changed.empty() ? RefusedEmptyList : built.code, built.name);
  }
  if (refusal) *refusal = {};
  return StartUpdater(line);
}
