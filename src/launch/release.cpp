#include "launch/release.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>

#include "contract/folders.h"
#include "contract/limits.h"
#include "launch/decode.h"
#include "launch/staging.h"
#include "platform/platform.h"
#include "release/rollout.h"
#include "release/verify.h"

namespace {

using release::HashProvider;
using release::Sha256;

constexpr std::size_t kBlock = 256 * 1024;
constexpr std::size_t kWritePiece = 16 << 20;  // a file decoded whole, written in few calls
constexpr std::size_t kMaxSignatureBytes = 128;
constexpr std::size_t kMaxSignaturesBytes = release::kMaxSignatures * 64;
// In the client root: the install's rollout bucket, and per channel the
// newest manifest seen ("seen-stable").
constexpr char16_t kBucketFileName[] = u"rollout-bucket";
constexpr char16_t kSeenFilePrefix[] = u"seen-";

// The ASCII of a text that must be ASCII; false for anything else.
bool Ascii(const WideString& text, std::string& out) {
  out.clear();
  for (char16_t c : text) {
    if (c == 0 || c > 0x7F) return false;
    out += static_cast<char>(c);
  }
  return true;
}

// A local file of the install or the staging folder, read or written once.
class LocalFile {
 public:
  LocalFile(const WideString& path, std::uint32_t access, std::uint32_t disposition)
      : h_(platform::CreateFileW(path.c_str(), access, platform::kFileShareRead, disposition,
                                 platform::kAttributeNormal | platform::kFileFlagSequentialScan)) {}
  ~LocalFile() {
    if (Open()) platform::CloseHandle(h_);
  }
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;
  bool Open() const { return h_ != platform::kInvalidHandle; }
  platform::Handle Raw() const { return h_; }
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

// The SHA-256 of `f`, open and of `size` bytes: `found` says whether it
// could be read to its end within that size.
LaunchCode HashLocal(const HashProvider& provider, Block& block, const LocalFile& f,
                     std::uint64_t size, bool& found, release::Digest& digest) {
  found = false;
  Sha256 hash(provider);
  if (!hash.Ready()) return FailedCrypto;
  std::uint64_t total = 0;
  for (;;) {
    std::size_t n = 0;
    if (!f.Read(block.data(), block.size(), n)) return LaunchOk;
    if (n == 0) break;
    total += n;
    if (total > size || !hash.Update(block.data(), n)) return LaunchOk;
  }
  if (!hash.Finish(digest)) return FailedCrypto;
  found = total == size;
  return LaunchOk;
}

// Whether the file at `path` has the size and SHA-256 of `expected`. The size
// first: a file of another size is not read.
LaunchCode Matches(const HashProvider& provider, Block& block, const WideString& path,
                   const release::File& expected, bool& same) {
  same = false;
  LocalFile f(path, platform::kGenericRead, platform::kOpenExisting);
  std::uint64_t size = 0;
  if (!f.Open() || !f.Size(size) || size != expected.size) return LaunchOk;
  bool found = false;
  release::Digest digest{};
  const LaunchCode code = HashLocal(provider, block, f, expected.size, found, digest);
  same = found && digest == expected.sha256;
  return code;
}

// The names of the files to install, or of every file of the release.
FileList ChangedNames(const CheckedRelease& r) {
  FileList names;
  for (std::size_t i : r.changed) names.push_back(r.manifest.files[i].name);
  return names;
}

FileList AllNames(const release::Manifest& m) {
  FileList names;
  for (const release::File& f : m.files) names.push_back(f.name);
  return names;
}

// What an earlier fetch left of the file: hashed into `hash`, `got` its
// length. False when it cannot be read or is longer than the file.
bool HashPartial(Block& block, const WideString& partial, std::uint64_t size, Sha256& hash,
                 std::uint64_t& got) {
  got = 0;
  LocalFile f(partial, platform::kGenericRead, platform::kOpenExisting);
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

// A file's partial copy in the staging folder: how long it is, and whether
// this fetch continued what an earlier one kept of it.
struct PartialCopy {
  WideString path;
  std::uint64_t length = 0;
  bool continued = false;
};

// What is kept about a partial copy: the content it is fetched toward (its
// SHA-256 and name) and its length then. A copy of another length (one that
// a killed fetch wrote toward other content) is not taken for it.
std::string PartialRecord(const release::File& f, std::uint64_t length) {
  return release::Hex(f.sha256.data(), f.sha256.size()) + " " + std::to_string(length) + " " +
         release::WideToUtf8(f.name);
}

// What one fetch shares among its files.
struct Fetch {
  const HashProvider& provider;
  Block& block;
  ReleaseSource& source;
  const WideString& staging;
  FetchProgress progress;
  void* context;
  std::uint64_t done;
  std::uint64_t total;
  // False when the client asks to stop.
  bool Report() const { return !progress || progress(done, total, context); }
};

// Where the copy of `f` starts: from a web source, what an earlier fetch
// kept toward this very content, hashed into `hash`; else nothing. A partial
// copy toward other content, or past its file, goes with what was kept about it.
void ResumeAt(Fetch& fetch, const release::File& f, PartialCopy& partial,
              std::unique_ptr<Sha256>& hash) {
  partial.length = 0;
  if (!fetch.source.Resumable()) return;
  std::uint64_t got = 0;
  const bool readable = HashPartial(fetch.block, partial.path, f.size, *hash, got);
  if (readable && got > 0 && IsPartialFor(fetch.staging, PartialRecord(f, got))) {
    partial.length = got;
    partial.continued = true;
    return;
  }
  if (!readable || got > 0) {
    Discard(partial.path);
    ForgetPartial(fetch.staging);
  }
  hash = std::make_unique<Sha256>(fetch.provider);
}

// Appends what `in` sends to `out`, hashing it on the way, never past `size`.
LaunchCode CopyInto(Fetch& fetch, SourceFile& in, const LocalFile& out, Sha256& hash,
                    std::uint64_t size, std::uint64_t& got) {
  for (;;) {
    std::size_t n = 0;
    const LaunchCode code = in.Read(fetch.block.data(), fetch.block.size(), n);
    if (code != LaunchOk || n == 0) return code;
    if (got + n > size) return RefusedFileSize;  // cut off: never more than the manifest says
    if (!hash.Update(fetch.block.data(), n)) return FailedCrypto;
    if (!out.Write(fetch.block.data(), n)) return FailedStageWrite;
    got += n;
    fetch.done += n;
    if (!fetch.Report()) return Stopped;
  }
}

// Fetches `f` into its partial copy, continued where a web fetch was cut
// short, and verifies the whole of it.
LaunchCode FetchToPartial(Fetch& fetch, const release::File& f, PartialCopy& partial) {
  auto hash = std::make_unique<Sha256>(fetch.provider);
  if (!hash->Ready()) return FailedCrypto;
  ResumeAt(fetch, f, partial, hash);
  std::uint64_t& got = partial.length;
  std::unique_ptr<SourceFile> in;
  if (got < f.size) {
    // A server that keeps the fetch waiting cannot keep a stop from it.
    const StillWanted wanted = [&fetch] { return fetch.Report(); };
    bool resumed = false;
    const LaunchCode code =
        fetch.source.OpenFrom(release::StoredPath(f.sha256), got, in, resumed, wanted);
    if (code != LaunchOk) return code;
    if (!resumed && got > 0) {
      hash = std::make_unique<Sha256>(fetch.provider);
      got = 0;
    }
  }
  // Appended to what is there, or written anew.
  const LocalFile out(partial.path, got > 0 ? platform::kFileAppendData : platform::kGenericWrite,
                      got > 0 ? platform::kOpenExisting : platform::kCreateAlways);
  if (!out.Open()) return FailedStageWrite;
  if (!hash->Ready()) return FailedCrypto;
  fetch.done += got;
  LaunchCode code = in ? CopyInto(fetch, *in, out, *hash, f.size, got) : LaunchOk;
  // Over the web an early end is a dropped connection (Wine reports one so):
  // kept, to be continued.
  if (code == LaunchOk && got < f.size && fetch.source.Resumable()) code = FailedReadSource;
  if (code == LaunchOk && got != f.size) code = RefusedFileSize;
  release::Digest digest{};
  if (code == LaunchOk && !hash->Finish(digest)) code = FailedCrypto;
  if (code == LaunchOk && digest != f.sha256) code = RefusedFileHash;
  return code;
}

// What a failed fetch toward `as` leaves: its partial copy, kept for the
// next fetch only with a record of what it is, and nothing under `staged`.
LaunchCode Settle(Fetch& fetch, const release::File& as, const PartialCopy& partial,
                  const WideString& staged, LaunchCode code) {
  const bool kept = code != LaunchOk && fetch.source.Resumable() && WorthKeeping(code) &&
                    MarkPartial(fetch.staging, PartialRecord(as, partial.length));
  if (code != LaunchOk) {
    if (!kept) Discard(partial.path);
    Discard(staged);  // whatever stood there was not verified
  }
  if (!kept && partial.continued) ForgetPartial(fetch.staging);
  return code;
}

// Fetches one file to its staged name through its partial copy.
LaunchCode FetchOne(Fetch& fetch, const release::File& f) {
  const WideString staged = fetch.staging + u"\\" + WithBackslashes(f.name);
  PartialCopy partial{PartialPathOf(staged)};
  LaunchCode code = FetchToPartial(fetch, f, partial);
  if (code == LaunchOk && !TakeName(partial.path, staged)) code = FailedStageWrite;
  return Settle(fetch, f, partial, staged, code);
}

// A local file's bytes read where they lie: a delta's base. Null data when
// that cannot be, an empty file among them.
class MappedFile {
 public:
  MappedFile(const LocalFile& f, std::uint64_t size) {
    if (!f.Open() || size == 0 || size > SIZE_MAX) return;
    mapping_ = platform::CreateFileMappingW(f.Raw(), platform::kPageReadOnly, 0);
    if (mapping_ == platform::kNullHandle) return;
    view_ = static_cast<const std::uint8_t*>(platform::MapViewOfFile(
        mapping_, platform::kFileMapRead, 0, static_cast<std::size_t>(size)));
  }
  ~MappedFile() {
    if (view_) platform::UnmapViewOfFile(view_);
    if (mapping_ != platform::kNullHandle) platform::CloseHandle(mapping_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  const std::uint8_t* Data() const { return view_; }

 private:
  platform::Handle mapping_ = platform::kNullHandle;
  const std::uint8_t* view_ = nullptr;
};

// Decodes the verified object at `object` into `decoded`, from `prefix` for
// a delta, hashing what it makes: LaunchOk when that is `f`.
LaunchCode DecodeInto(Fetch& fetch, const WideString& object, const std::uint8_t* prefix,
                      std::size_t prefixSize, const release::File& f, const WideString& decoded) {
  const LocalFile in(object, platform::kGenericRead, platform::kOpenExisting);
  const LocalFile out(decoded, platform::kGenericWrite, platform::kCreateAlways);
  if (!in.Open() || !out.Open()) return FailedStageWrite;
  // Within the window's bound the file is decoded whole in memory, where the
  // decoder's window is the file itself and no copy of it is kept, and
  // written once it verifies; past it, written through the window as it comes.
  std::unique_ptr<std::uint8_t[]> whole;
  if (f.size > 0 && f.size <= (std::uint64_t{1} << release::kMaxWindowLog)) {
    whole.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(f.size)]);
  }
  Sha256 hash(fetch.provider);
  if (!hash.Ready()) return FailedCrypto;
  FrameDecoder decoder;
  if (!decoder.Start(prefix, prefixSize, whole.get(), static_cast<std::size_t>(f.size))) {
    return RefusedWindow;
  }
  std::uint64_t made = 0;
  const FrameDecoder::Sink sink = [&](const std::uint8_t* data, std::size_t n) {
    if (made + n > f.size) return RefusedFileSize;
    if (!hash.Update(data, n)) return FailedCrypto;
    if (!whole && !out.Write(data, n)) return FailedStageWrite;
    made += n;
    return LaunchOk;
  };
  for (;;) {
    std::size_t n = 0;
    if (!in.Read(fetch.block.data(), fetch.block.size(), n)) return FailedStageWrite;
    if (n == 0) break;
    const LaunchCode code = decoder.Feed(fetch.block.data(), n, sink);
    if (code != LaunchOk) return code;
    if (!fetch.Report()) return Stopped;
  }
  if (!decoder.Done()) return RefusedFileHash;  // the frame is cut short
  if (made != f.size) return RefusedFileSize;
  release::Digest digest{};
  if (!hash.Finish(digest)) return FailedCrypto;
  if (digest != f.sha256) return RefusedFileHash;
  for (std::size_t at = 0; whole && at < made; at += kWritePiece) {
    if (!out.Write(whole.get() + at, std::min<std::size_t>(kWritePiece, made - at))) {
      return FailedStageWrite;
    }
  }
  return LaunchOk;
}

// Fetches `object` (f compressed, or its delta from `base`, the installed
// file) through its partial copy, verifies it whole, then decodes it to the
// staged name. The object is kept for the next fetch as a file's partial copy is.
LaunchCode FetchObject(Fetch& fetch, const release::File& f, const release::Stored& object,
                       const release::Digest* base, const WideString& installed,
                       const WideString& staged) {
  const release::File as(f.name, object.size, object.sha256);
  PartialCopy partial{PartialPathOf(staged)};
  LaunchCode code = FetchToPartial(fetch, as, partial);
  // The base is read where it lies, not hashed again: one that changed since
  // the check makes a file whose hash is refused.
  std::optional<LocalFile> baseFile;
  std::uint64_t baseSize = 0;
  if (code == LaunchOk && base) {
    baseFile.emplace(installed, platform::kGenericRead, platform::kOpenExisting);
    if (!baseFile->Open() || !baseFile->Size(baseSize)) code = RefusedFileHash;
  }
  const std::optional<MappedFile> prefix =
      code == LaunchOk && baseSize > 0 ? std::make_optional<MappedFile>(*baseFile, baseSize)
                                       : std::nullopt;
  if (prefix && !prefix->Data()) code = RefusedFileHash;
  // Beside the object's copy: a blank and "~" once more.
  const WideString decoded = PartialPathOf(partial.path);
  if (code == LaunchOk) {
    code = DecodeInto(fetch, partial.path, prefix ? prefix->Data() : nullptr,
                      static_cast<std::size_t>(baseSize), f, decoded);
  }
  if (code == LaunchOk && !TakeName(decoded, staged)) code = FailedStageWrite;
  if (code != LaunchOk) Discard(decoded);
  if (code == LaunchOk) Discard(partial.path);  // decoded: the object is done with
  return Settle(fetch, as, partial, staged, code);
}

// Format 2: the changed file by the delta chosen at the check, or when that
// is refused or does not make the file, compressed whole.
LaunchCode FetchCompressed(Fetch& fetch, const CheckedRelease& r, std::size_t k) {
  const release::File& f = r.manifest.files[r.changed[k]];
  const WideString staged = fetch.staging + u"\\" + WithBackslashes(f.name);
  const WideString installed = r.installFolder + u"\\" + WithBackslashes(f.name);
  if (r.via[k] != kWhole) {
    const release::Delta& d = f.deltas[static_cast<std::size_t>(r.via[k])];
    const LaunchCode code = FetchObject(fetch, f, d.object, &d.base, installed, staged);
    if (code == LaunchOk || WorthKeeping(code) || code == FailedStageWrite ||
        code == FailedCrypto) {
      return code;
    }
    fetch.total += f.whole.size;
    if (!fetch.Report()) return Stopped;
  }
  // A file that does not compress is stored as it is: fetched as format 1 fetches it.
  if (f.whole == release::Stored{f.sha256, f.size}) return FetchOne(fetch, f);
  return FetchObject(fetch, f, f.whole, nullptr, installed, staged);
}

// The query's texts as the release format takes them.
LaunchCode ReadQuery(const ReleaseQuery& q, std::vector<release::PublicKey>& keys,
                     std::string& product, std::string& channel, std::string& installed) {
  std::string key;
  if (!Ascii(q.publicKey, key) || !release::ParsePublicKeys(key, keys)) return RefusedPublicKey;
  // None given: the record of the installed release (RecordedVersion).
  if (!Ascii(q.installedVersion, installed) ||
      (!installed.empty() && !release::IsVersion(installed))) {
    return RefusedVersionText;
  }
  if (!Ascii(q.product, product) || !release::IsPlainField(product) || !Ascii(q.channel, channel) ||
      !release::IsPlainField(channel)) {
    return RefusedProduct;
  }
  return LaunchOk;
}

// Whether a read failed because the file is not there (or the server fails).
bool NotThere(LaunchCode code) { return code == FailedReadSource || code == FailedHttpStatus; }

// Every signature of the channel's manifest: CHANNEL.sigs, or where a folder
// published before several keys has none, CHANNEL.sig.
LaunchCode ReadSignatures(ReleaseSource& source, Block& block, const std::string& channel,
                          release::Signatures& signatures) {
  std::string bytes;
  LaunchCode code = ReadBounded(source, block, release::SignaturesPath(channel),
                                kMaxSignaturesBytes, RefusedSignature, bytes);
  if (code == LaunchOk) return release::ParseSignatures(bytes, signatures) ? LaunchOk : RefusedSignature;
  if (!NotThere(code)) return code;
  code = ReadBounded(source, block, release::SignaturePath(channel), kMaxSignatureBytes,
                     RefusedSignature, bytes);
  // A signature that is not there is a bad one; a server that fails says so.
  if (NotThere(code)) return RefusedSignature;
  if (code != LaunchOk) return code;
  release::Signature one{};
  if (!release::ParseSignature(release::Bytes(bytes.begin(), bytes.end()), one)) {
    return RefusedSignature;
  }
  signatures = {one};
  return LaunchOk;
}

// The version of the release a keyed updater recorded in `folder`, the
// install folder; RefusedVersionText when there is none to read.
LaunchCode RecordedVersion(const WideString& folder, Block& block, std::string& version) {
  LaunchCode code = LaunchOk;
  const std::unique_ptr<ReleaseSource> install = OpenReleaseSource(folder, code);
  std::string bytes;
  release::Manifest recorded;
  if (!install ||
      ReadBounded(*install, block, release::WideToUtf8(kRecordManifestName),
                  release::kMaxManifestBytes, RefusedVersionText, bytes) != LaunchOk ||
      release::ParseManifest(bytes, recorded) != LaunchOk) {
    return RefusedVersionText;
  }
  version = recorded.version;
  return LaunchOk;
}

// The channel's manifest, as it stands, once a signature by one of `keys`
// holds: not one byte of it is parsed before. The newest format the folder
// has, down to `oldest`, and which one in `format`.
LaunchCode ReadSignedManifest(ReleaseSource& source, Block& block, const std::string& channel,
                              const std::vector<release::PublicKey>& keys, int oldest,
                              std::string& manifest, release::Signatures& signatures,
                              int& format) {
  // Once this install saw a newer format, a folder without it is not read.
  LaunchCode code = FailedReadSource;
  for (format = release::kNewestFormat; format >= std::max(oldest, 2); --format) {
    code = ReadBounded(source, block, release::ManifestPath(channel, format),
                       release::kMaxManifestBytes, RefusedManifestTooLarge, manifest);
    if (NotThere(code)) continue;
    if (code != LaunchOk) return code;
    std::string bytes;
    code = ReadBounded(source, block, release::SignaturesPath(channel, format),
                       kMaxSignaturesBytes, RefusedSignature, bytes);
    if (NotThere(code)) return RefusedSignature;
    if (code != LaunchOk) return code;
    if (!release::ParseSignatures(bytes, signatures)) return RefusedSignature;
    return release::VerifyAny(manifest, signatures, keys);
  }
  if (oldest > 1) return code;
  format = 1;
  code = ReadBounded(source, block, release::ManifestPath(channel), release::kMaxManifestBytes,
                     RefusedManifestTooLarge, manifest);
  if (code != LaunchOk) return code;
  code = ReadSignatures(source, block, channel, signatures);
  if (code != LaunchOk) return code;
  return release::VerifyAny(manifest, signatures, keys);
}

// `bytes` staged whole under `name`: written beside, then renamed.
bool StageWhole(const WideString& staging, const char16_t* name, const std::string& bytes) {
  const WideString staged = staging + u"\\" + name;
  const WideString partial = PartialPathOf(staged);
  bool ok = false;
  {
    const LocalFile out(partial, platform::kGenericWrite, platform::kCreateAlways);
    ok = out.Open() && out.Write(bytes.data(), bytes.size());
  }
  if (ok && TakeName(partial, staged)) return true;
  Discard(partial);
  return false;
}

// The delta for the installed file of `size`: the one whose base has that
// size, when one alone does; else the one whose base is `digest`, hashed
// here when `hashed` is false. The file the delta makes is hashed in any
// case, so the size alone may pick it.
LaunchCode ChooseDelta(const HashProvider& provider, Block& block, const LocalFile& installed,
                       const release::File& f, std::uint64_t size, bool hashed,
                       release::Digest digest, int& via) {
  via = kWhole;
  std::size_t sameSize = 0;
  for (std::size_t d = 0; d < f.deltas.size(); ++d) {
    if (f.deltas[d].baseSize != size) continue;
    ++sameSize;
    via = static_cast<int>(d);
  }
  if (sameSize <= 1) return LaunchOk;
  bool found = hashed;
  if (!hashed) {
    const LaunchCode code = HashLocal(provider, block, installed, size, found, digest);
    if (code != LaunchOk) return code;
  }
  via = kWhole;
  for (std::size_t d = 0; found && d < f.deltas.size(); ++d) {
    if (f.deltas[d].base == digest) via = static_cast<int>(d);
  }
  return LaunchOk;
}

// Which files of the release differ from those in `folder`: size, then
// SHA-256; and for each that does, its delta (ChooseDelta).
LaunchCode CompareInstall(const WideString& folder, Block& block, CheckedRelease& r) {
  const HashProvider provider;
  if (!provider.Ready()) return FailedCrypto;
  const std::vector<release::File>& files = r.manifest.files;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const release::File& f = files[i];
    r.totalBytes += f.whole.size;
    r.totalFileBytes += f.size;
    const WideString installed = folder + u"\\" + WithBackslashes(f.name);
    std::uint64_t size = 0;
    bool hashed = false, same = false;
    release::Digest digest{};
    const LocalFile in(installed, platform::kGenericRead, platform::kOpenExisting);
    const bool exists = in.Open() && in.Size(size);
    LaunchCode code = LaunchOk;
    if (exists && size == f.size) {
      code = HashLocal(provider, block, in, size, hashed, digest);
      same = hashed && digest == f.sha256;
    }
    int via = kWhole;
    if (code == LaunchOk && exists && !same) {
      code = ChooseDelta(provider, block, in, f, size, hashed, digest, via);
    }
    if (code != LaunchOk) return code;
    if (!same) {
      r.changed.push_back(i);
      r.via.push_back(via);
      r.changedBytes += via == kWhole ? f.whole.size : f.deltas[via].object.size;
      r.changedFileBytes += f.size;
    }
  }
  return LaunchOk;
}

// A small file of the client root, whole, within `bound` bytes.
bool ReadSmall(const WideString& path, std::size_t bound, std::string& out) {
  const LocalFile f(path, platform::kGenericRead, platform::kOpenExisting);
  char buffer[256];
  std::size_t n = 0;
  out.clear();
  if (!f.Open()) return false;
  while (f.Read(buffer, sizeof buffer, n) && n > 0) {
    out.append(buffer, n);
    if (out.size() > bound) return false;
  }
  return true;
}


// The install's place in every rollout, drawn once and kept in the client
// root. The user may change it: it decides when a release is offered,
// never what is installed.
std::uint32_t Bucket(const WideString& root) {
  const WideString path = root + u"\\" + kBucketFileName;
  std::string text;
  std::uint32_t kept = 0;
  if (ReadSmall(path, 16, text) && ParseBucket(text, kept)) return kept;
  // Uniform: draws past the last whole multiple of kBuckets are drawn again.
  constexpr std::uint32_t kLimit = 0xFFFFFFFFu - 0xFFFFFFFFu % release::kBuckets;
  // Without a generator, the last group: never offered a release early.
  std::uint32_t bucket = release::kBuckets - 1;
  for (int tries = 0; tries < 64; ++tries) {
    std::uint8_t bytes[4] = {};
    if (platform::BCryptGenRandom(bytes, 4) != platform::kStatusSuccess) break;
    const std::uint32_t drawn =
        static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
        static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    if (drawn < kLimit) {
      bucket = drawn % release::kBuckets;
      break;
    }
  }
  EnsureFolder(root);
  StageWhole(root, kBucketFileName, std::to_string(bucket) + "\n");
  return bucket;
}

WideString SeenName(const std::string& channel) {
  return kSeenFilePrefix + WideString(channel.begin(), channel.end());
}

SeenRecord ReadSeen(const WideString& root, const std::string& channel) {
  std::string text;
  SeenRecord seen;
  if (!ReadSmall(root + u"\\" + SeenName(channel), 256, text) || !ParseSeenRecord(text, seen)) {
    return SeenRecord();
  }
  return seen;
}

// <0, 0, >0: `m` against what was seen, by version and then publication.
int AgainstSeen(const release::Manifest& m, const SeenRecord& seen) {
  if (seen.version.empty()) return 1;
  const int order = release::CompareVersions(m.version, seen.version);
  if (order != 0) return order;
  return m.published < seen.published ? -1 : m.published > seen.published ? 1 : 0;
}

void RecordSeen(const WideString& root, const std::string& channel, const release::Manifest& m) {
  EnsureFolder(root);
  StageWhole(root, SeenName(channel).c_str(), WriteSeenRecord({m.version, m.published, m.format}));
}

// Whether the release is offered to this install now, by its rollout.
void Standing(const release::Manifest& m, const WideString& root, bool early,
              CheckedRelease& r) {
  r.rollout = RolloutState::Open;
  r.turn = m.format == 3 ? m.rollout.started : m.published;
  if (m.format != 3) return;
  if (m.rollout.halted) {
    r.rollout = RolloutState::Halted;
    r.turn = 0;
    return;
  }
  if (m.rollout.days == 0) return;
  r.turn = release::RolloutTurn(m.rollout, Bucket(root));
  if (!early && r.turn > release::NowSeconds()) r.rollout = RolloutState::Waiting;
}

}  // namespace

LaunchCode CheckRelease(const ReleaseQuery& q, CheckedRelease& out, std::size_t* file) {
  if (file) *file = kNoName;
  std::vector<release::PublicKey> keys;
  std::string product, channel, installed;
  LaunchCode code = ReadQuery(q, keys, product, channel, installed);
  if (code != LaunchOk) return code;
  const std::unique_ptr<ReleaseSource> source =
      OpenReleaseSource(q.source, code, q.userAgent, q.floor);
  if (!source) return code;
  Block block(kBlock);
  WideString folder = q.installFolder;
  while (!folder.empty() && IsPathSeparator(folder.back())) folder.pop_back();
  if (installed.empty() && (code = RecordedVersion(folder, block, installed)) != LaunchOk) {
    return code;
  }
  WideString root;
  const bool rooted = GetClientRoot(root);
  const SeenRecord seen = rooted ? ReadSeen(root, channel) : SeenRecord();
  CheckedRelease r;
  int format = 1;
  code = ReadSignedManifest(*source, block, channel, keys, seen.format, r.manifestBytes,
                            r.signatures, format);
  if (code != LaunchOk) return code;
  code = release::ParseManifest(r.manifestBytes, r.manifest, file);
  // Signed bytes of one format served under another's name: not this release's.
  if (code == LaunchOk && r.manifest.format != format) code = RefusedMalformed;
  if (code == LaunchOk) {
    code = release::CheckRules(r.manifest, product, channel, installed, release::NowSeconds());
  }
  if (code != LaunchOk && code != UpToDate) return code;
  // A halted or resumed release is published again: only a later one counts.
  const int order = AgainstSeen(r.manifest, seen);
  if (order < 0) return RefusedReplay;
  if (rooted && (order > 0 || (order == 0 && format > seen.format))) {
    RecordSeen(root, channel, r.manifest);
  }
  Standing(r.manifest, root, q.early, r);
  if (code == UpToDate) r.rollout = RolloutState::Open;  // installed already
  if (code == UpToDate || r.rollout != RolloutState::Open) {
    out = std::move(r);
    return UpToDate;
  }

  r.source = q.source;
  r.userAgent = q.userAgent;
  r.floor = q.floor;
  r.updater = folder + u"\\" + kUpdaterFileName;
  r.installFolder = folder;
  // The whole list must be one the updater takes, wherever it installs.
  WideString line;
  LaunchRefusal refusal;
  if (!BuildUpdateCommandLine(r.updater, AllNames(r.manifest), line, &refusal)) {
    if (file) *file = refusal.name;
    return refusal.code;
  }
  code = CompareInstall(folder, block, r);
  if (code != LaunchOk) return code;
  const bool same = r.changed.empty();
  out = std::move(r);
  return same ? UpToDate : LaunchOk;
}

bool ParseSeenRecord(const std::string& text, SeenRecord& out) {
  const std::size_t first = text.find(' ');
  const std::size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
  SeenRecord seen;
  std::uint64_t format = 0;
  if (second == std::string::npos || text.back() != '\n' ||
      !release::IsVersion(text.substr(0, first)) ||
      !release::ParseTime(text.substr(first + 1, second - first - 1), seen.published) ||
      !release::ParseDecimal(text.substr(second + 1, text.size() - second - 2),
                             static_cast<std::uint64_t>(release::kNewestFormat), format) ||
      format < 1) {
    return false;
  }
  seen.version = text.substr(0, first);
  seen.format = static_cast<int>(format);
  out = seen;
  return true;
}

bool ParseBucket(const std::string& text, std::uint32_t& bucket) {
  std::uint64_t value = 0;
  if (text.empty() || text.back() != '\n' ||
      !release::ParseDecimal(text.substr(0, text.size() - 1), release::kBuckets - 1, value)) {
    return false;
  }
  bucket = static_cast<std::uint32_t>(value);
  return true;
}

std::string WriteSeenRecord(const SeenRecord& seen) {
  return seen.version + " " + release::FormatTime(seen.published) + " " +
         std::to_string(seen.format) + "\n";
}

std::uint32_t InstallBucket() {
  WideString root;
  return GetClientRoot(root) ? Bucket(root) : release::kBuckets - 1;
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
  Fetch fetch{provider, block, *source, staging, progress, context, 0, r.changedBytes};
  if (!fetch.Report()) return Stopped;
  for (std::size_t k = 0; k < r.changed.size(); ++k) {
    const release::File& f = r.manifest.files[r.changed[k]];
    bool same = false;
    LaunchCode code =
        Matches(provider, block, staging + u"\\" + WithBackslashes(f.name), f, same);
    if (code == LaunchOk && same) {
      fetch.done += r.via[k] == kWhole ? f.whole.size
                                       : f.deltas[static_cast<std::size_t>(r.via[k])].object.size;
      if (!fetch.Report()) code = Stopped;
    } else if (code == LaunchOk) {
      MakeSubfolders(staging, f.name);
      code = r.manifest.format == 1 ? FetchOne(fetch, f) : FetchCompressed(fetch, r, k);
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
  if (r.changed.empty() || !BuildUpdateCommandLine(r.updater, ChangedNames(r), line, &built)) {
    return refuse(r.changed.empty() ? RefusedEmptyList : built.code, built.name);
  }
  // What vouches for the files, for an updater that checks it itself.
  if (!StageWhole(staging, kRecordSignaturesName, release::WriteSignatures(r.signatures)) ||
      !StageWhole(staging, kRecordManifestName, r.manifestBytes)) {
    return refuse(FailedStageWrite, kNoName);
  }
  if (refusal) *refusal = {};
  return StartUpdater(line);
}
