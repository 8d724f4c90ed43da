#include "publish.h"

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>
#include <tuple>

#include "contract/limits.h"
#include "crypto.h"
#include "encode.h"
#include "release/format.h"
#include "release/rollout.h"

namespace fs = std::filesystem;

namespace {

constexpr int kDone = 0, kRefused = 1, kUsage = 2;
constexpr std::int64_t kDefaultLifetimeDays = 30;
constexpr std::int64_t kMaxLifetimeDays = 3660;
constexpr std::size_t kCopyBlock = 1 << 20;
constexpr char kPendingSuffix[] = ".pending";
constexpr std::size_t kDefaultDeltas = 3;
// Earlier manifests of each channel, for the deltas of later releases.
constexpr char kHistoryFolder[] = "history";
// The compressed manifest written: format 3, which carries the rollout.
constexpr int kPacked = release::kNewestFormat;

struct Options {
  std::map<std::string, std::vector<std::string>> values;
  std::vector<std::string> positional;
  bool Has(const std::string& key) const { return values.count(key) != 0; }
  // The last value given.
  std::string Get(const std::string& key, const std::string& fallback = "") const {
    const auto it = values.find(key);
    return it == values.end() ? fallback : it->second.back();
  }
  // Every value, in order, of an option that may be given more than once.
  std::vector<std::string> All(const std::string& key) const {
    const auto it = values.find(key);
    return it == values.end() ? std::vector<std::string>{} : it->second;
  }
};

// "--key value" pairs; "--sign-elsewhere" stands alone.
bool ParseOptions(const std::vector<std::string>& args, Options& options) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--sign-elsewhere") {
      options.values[a] = {""};
    } else if (a.compare(0, 2, "--") == 0) {
      if (i + 1 >= args.size()) return false;
      options.values[a].push_back(args[++i]);
    } else {
      options.positional.push_back(a);
    }
  }
  return true;
}

// Arguments and messages are UTF-8 on every system; Windows paths are not
// narrow strings in the code page.
fs::path PathOf(const std::string& utf8) { return fs::u8path(utf8); }
fs::path WithSuffix(fs::path path, const char* suffix) { return path += suffix; }

std::string Files(std::size_t n) { return std::to_string(n) + (n == 1 ? " file" : " files"); }

std::string Narrow(const char16_t* text) {
  return text ? release::WideToUtf8(text) : std::string("unknown");
}

bool ReadAll(const fs::path& path, std::string& bytes, std::size_t bound) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string data;
  char block[65536];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    data.append(block, static_cast<std::size_t>(in.gcount()));
    if (data.size() > bound) return false;
  }
  if (in.bad()) return false;
  bytes = std::move(data);
  return true;
}

// Written beside, then renamed: a reader sees the old file or the new one.
bool WriteAtomically(const fs::path& path, const std::string& bytes, bool secret = false) {
  const fs::path temp = WithSuffix(path, ".tmp");
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    if (secret) {
      std::error_code ec;
      fs::permissions(temp, fs::perms::owner_read | fs::perms::owner_write, ec);
      if (ec) return false;
    }
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) return false;
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  return !ec;
}

// SHA-256 and size of a file; with `copy`, the bytes go there too.
bool HashFile(const fs::path& path, release::Digest& digest, std::uint64_t& size,
              const fs::path* copy = nullptr) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ofstream out;
  if (copy) {
    out.open(*copy, std::ios::binary | std::ios::trunc);
    if (!out) return false;
  }
  crypto::Sha256 hash;
  std::vector<char> block(kCopyBlock);
  size = 0;
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    const auto n = static_cast<std::size_t>(in.gcount());
    hash.Update(block.data(), n);
    if (copy && !out.write(block.data(), static_cast<std::streamsize>(n))) return false;
    size += n;
  }
  if (in.bad() || (copy && !out.flush())) return false;
  digest = hash.Finish();
  return true;
}

bool LoadPublicKey(const std::string& path, crypto::Point& point, std::ostream& err) {
  std::string pem;
  if (!ReadAll(PathOf(path), pem, 1 << 16) || !release::ParsePublicKeyPem(pem, point)) {
    err << "publish: " << path << " is not a P-256 public key (SubjectPublicKeyInfo PEM)\n";
    return false;
  }
  return true;
}

// Names as Windows would compare them, closely enough to catch two files
// that Windows would take for one.
std::wstring Folded(const WideString& name) {
  std::wstring folded;
  for (char16_t c : name) folded += static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  std::replace(folded.begin(), folded.end(), L'/', L'\\');
  return folded;
}

// `path` absolute, links and dot segments resolved, ending in one separator;
// on Windows without case, as the system tells folders apart.
bool FolderKey(const fs::path& path, std::wstring& key) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  if (ec) return false;
  const fs::path resolved = fs::weakly_canonical(absolute, ec);
  WideString wide;
  if (ec || !resolved.is_absolute() ||
      !release::Utf8ToWide(resolved.lexically_normal().generic_u8string(), wide)) {
    return false;
  }
#ifdef _WIN32
  key = Folded(wide);
#else
  key.assign(wide.begin(), wide.end());
#endif
  while (!key.empty() && (key.back() == L'/' || key.back() == L'\\')) key.pop_back();
  key += L'/';
  return true;
}

// Every file under `from` as the release lists it, or a refusal said on `err`.
bool CollectFiles(const fs::path& from, std::vector<release::File>& files,
                  std::vector<fs::path>& paths, std::ostream& err) {
  std::error_code ec;
  // Name, path, and what is wrong with the entry if it is not a plain file:
  // said after the name's own refusal (Windows opens CON.txt as a device).
  std::vector<std::tuple<std::string, fs::path, const char*>> found;
  for (fs::recursive_directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code kind;
    const char* problem = nullptr;
    if (it->is_symlink(kind)) {
      problem = "a link; the release takes plain files only";
    } else if (it->is_directory(kind)) {
      continue;
    } else if (!it->is_regular_file(kind)) {
      problem = "not a plain file";
    }
    found.emplace_back(it->path().lexically_relative(from).generic_u8string(), it->path(), problem);
  }
  if (ec) {
    err << "publish: cannot read " << from.u8string() << ": " << ec.message() << "\n";
    return false;
  }
  if (found.empty()) {
    err << "publish: " << from.u8string() << " holds no file\n";
    return false;
  }
  std::sort(found.begin(), found.end());
  std::map<std::wstring, std::string> seen;
  for (const auto& [name, path, problem] : found) {
    release::File f;
    if (!release::Utf8ToWide(name, f.name)) {
      err << "publish: refused " << name << ": not UTF-8\n";
      return false;
    }
    const LaunchCode code = CheckStageableName(f.name);
    if (code != LaunchOk) {
      err << "publish: refused " << name << ": " << Narrow(CodeText(code)) << " (code " << code
          << ")\n";
      return false;
    }
    if (problem) {
      err << "publish: refused " << name << ": " << problem << "\n";
      return false;
    }
    // Past it the manifest could not be read back, and the channel would be
    // stuck: every later release is checked against it.
    if (name.size() > release::kMaxNameBytes) {
      err << "publish: refused " << name << ": longer than " << release::kMaxNameBytes
          << " bytes of UTF-8, the most a manifest takes for a name\n";
      return false;
    }
    if (Folded(f.name) == Folded(kUpdaterFileName)) {
      err << "publish: refused " << name
          << ": the updater cannot replace its own file while it runs; ship a new updater with "
             "the full installer\n";
      return false;
    }
    const auto [earlier, fresh] = seen.emplace(Folded(f.name), name);
    if (!fresh) {
      err << "publish: refused " << name << ": " << Narrow(CodeText(RefusedDuplicateName)) << " ("
          << earlier->second << ", code " << RefusedDuplicateName << ")\n";
      return false;
    }
    files.push_back(std::move(f));
    paths.push_back(path);
  }
  if (!release::FitsOneCommandLine(files)) {
    err << "publish: refused: the " << files.size()
        << " names would not fit one updater command line (" << kMaxCommandLine
        << " code units with its terminator)\n";
    return false;
  }
  return true;
}

// Whole days from `low` to `high`.
bool ParseDays(const std::string& text, std::int64_t low, std::int64_t high, std::int64_t& days) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  days = std::stoll(text);
  return days >= low && days <= high;
}

bool ParseLifetime(const std::string& text, std::int64_t& days) {
  return ParseDays(text, 1, kMaxLifetimeDays, days);
}

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

fs::path ManifestPath(const fs::path& folder, const std::string& channel, int format = 1) {
  return folder / release::ManifestPath(channel, format);
}
fs::path SignaturePath(const fs::path& folder, const std::string& channel) {
  return folder / release::SignaturePath(channel);
}

// The manifest and its signature, the signature checked against `point`.
release::Digest Sha256Of(const std::string& bytes) {
  crypto::Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  return hash.Finish();
}

bool CheckSignature(const std::string& manifest, const release::Signature& signature,
                    const crypto::Point& point) {
  return crypto::Verify(point, Sha256Of(manifest), signature);
}

// Refused, and said on `err`, unless `version` is newer than what `channel`
// serves. A manifest that is there but cannot be read is never written over:
// its version is unknown.
bool NewerThanPublished(const std::string& version, const fs::path& to, const std::string& channel,
                        std::ostream& err) {
  for (int format : {1, 2, kPacked}) {
    const fs::path path = ManifestPath(to, channel, format);
    std::error_code ec;
    if (fs::symlink_status(path, ec).type() == fs::file_type::not_found) continue;
    std::string published;
    release::Manifest earlier;
    if (!ReadAll(path, published, release::kMaxManifestBytes + 1) ||
        release::ParseManifest(published, earlier) != LaunchOk) {
      err << "publish: the " << channel << " manifest in " << to.u8string()
          << " cannot be read; it is left as it is\n";
      return false;
    }
    if (release::CompareVersions(version, earlier.version) <= 0) {
      err << "publish: refused: " << version << " is not newer than " << earlier.version
          << ", already published on " << channel << "\n";
      return false;
    }
  }
  return true;
}

bool ReadSignature(const fs::path& path, release::Signature& signature) {
  std::string bytes;
  return ReadAll(path, bytes, 256) &&
         release::ParseSignature(release::Bytes(bytes.begin(), bytes.end()), signature);
}

// CHANNEL.sigs with every signature, then CHANNEL.sig with the first, for
// clients that read only that one. Each replaced whole.
bool WriteSignatureFiles(const fs::path& to, const std::string& channel,
                         const release::Signatures& signatures) {
  const std::string first(signatures[0].begin(), signatures[0].end());
  return WriteAtomically(to / release::SignaturesPath(channel),
                         release::WriteSignatures(signatures)) &&
         WriteAtomically(SignaturePath(to, channel), first);
}

// What a release folder holds: CHANNEL.sigs, or for one published before
// several keys, CHANNEL.sig alone.
bool ReadSignatureFiles(const fs::path& from, const std::string& channel,
                        release::Signatures& signatures) {
  std::string bytes;
  if (ReadAll(from / release::SignaturesPath(channel), bytes, release::kMaxSignatures * 64)) {
    return release::ParseSignatures(bytes, signatures);
  }
  release::Signature one{};
  if (!ReadSignature(SignaturePath(from, channel), one)) return false;
  signatures = {one};
  return true;
}

// Whether any of `signatures` is `point`'s over `manifest`.
bool SignedBy(const std::string& manifest, const release::Signatures& signatures,
              const crypto::Point& point) {
  return std::any_of(signatures.begin(), signatures.end(), [&](const release::Signature& s) {
    return CheckSignature(manifest, s, point);
  });
}

fs::path HistoryPath(const fs::path& to, const std::string& channel, const std::string& version) {
  return to / kHistoryFolder / channel / (version + ".manifest");
}

// Earlier releases of `channel` than `version`, newest first, at most `n`:
// the manifests kept in the history folder and those the channel serves.
// The publisher's own folder: read, not verified again.
std::vector<release::Manifest> EarlierReleases(const fs::path& to, const std::string& channel,
                                               const std::string& version, std::size_t n) {
  std::vector<fs::path> paths{ManifestPath(to, channel, kPacked), ManifestPath(to, channel, 2),
                              ManifestPath(to, channel)};
  std::error_code ec;
  for (fs::directory_iterator it(to / kHistoryFolder / channel, ec), end; !ec && it != end;
       it.increment(ec)) {
    paths.push_back(it->path());
  }
  std::vector<release::Manifest> found;
  for (const fs::path& path : paths) {
    std::string bytes;
    release::Manifest m;
    if (!ReadAll(path, bytes, release::kMaxManifestBytes) ||
        release::ParseManifest(bytes, m) != LaunchOk || m.channel != channel ||
        release::CompareVersions(m.version, version) >= 0) {
      continue;
    }
    const auto same = std::find_if(found.begin(), found.end(), [&](const release::Manifest& e) {
      return release::CompareVersions(e.version, m.version) == 0;
    });
    if (same == found.end()) {
      found.push_back(std::move(m));
    } else if (m.format > same->format) {
      *same = std::move(m);  // formats 2 and 3 know the stored objects
    }
  }
  std::sort(found.begin(), found.end(), [](const release::Manifest& a, const release::Manifest& b) {
    return release::CompareVersions(a.version, b.version) > 0;
  });
  if (found.size() > n) found.resize(n);
  return found;
}

// `stored`'s bytes from the folder, when they have its size and SHA-256.
bool ReadStored(const fs::path& to, const release::Stored& stored, std::string& bytes) {
  return ReadAll(to / release::StoredPath(stored.sha256), bytes, stored.size) &&
         bytes.size() == stored.size && Sha256Of(bytes) == stored.sha256;
}

// A file an earlier release lists, from the folder: stored as it is, or
// decoded from its compressed whole.
bool ReadEarlierFile(const fs::path& to, const release::File& f, std::string& bytes) {
  if (ReadStored(to, {f.sha256, f.size}, bytes)) return true;
  std::string frame;
  return f.whole.sha256 != f.sha256 && ReadStored(to, f.whole, frame) &&
         encode::Decode(frame, nullptr, f.size, bytes) && Sha256Of(bytes) == f.sha256;
}

// `bytes` stored under their hash, unless the same bytes are there.
bool Store(const fs::path& to, const std::string& bytes, release::Stored& stored) {
  stored = {Sha256Of(bytes), bytes.size()};
  std::string there;
  return ReadStored(to, stored, there) ||
         WriteAtomically(to / release::StoredPath(stored.sha256), bytes);
}

std::string Mib(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  return text;
}

// Fills format 2's stored objects of `m`, whose files are stored as they
// are: each compressed, and its deltas from the versions of the same name in
// `earlier`, each kept only when it is at most 9/10 of the compressed whole.
// What an earlier format 2 release stored for the same content is reused.
bool EncodeFiles(const fs::path& to, release::Manifest& m,
                 const std::vector<release::Manifest>& earlier, std::ostream& out,
                 std::ostream& err) {
  for (release::File& f : m.files) {
    const std::string name = release::WideToUtf8(f.name);
    // The same content in an earlier format 2 release.
    const release::File* known = nullptr;
    for (const release::Manifest& e : earlier) {
      for (const release::File& g : e.files) {
        if (e.format >= 2 && g.sha256 == f.sha256 && !known) known = &g;
      }
    }
    std::string data, frame;
    bool loaded = false;
    const auto load = [&] {
      if (!loaded) loaded = ReadStored(to, {f.sha256, f.size}, data);
      if (!loaded) err << "publish: cannot read the stored copy of " << name << "\n";
      return loaded;
    };
    if (known && ReadStored(to, known->whole, frame)) {
      f.whole = known->whole;
    } else {
      if (f.size >= (8u << 20)) out << "compressing " << name << " (" << Mib(f.size) << ")\n";
      if (!load() || !encode::Compress(data, frame)) {
        err << "publish: cannot compress " << name << "\n";
        return false;
      }
      // What does not compress is fetched as it is, stored already: nothing to decode.
      if (frame.size() >= f.size) {
        f.whole = {f.sha256, f.size};
      } else if (!Store(to, frame, f.whole)) {
        err << "publish: cannot store " << name << " compressed\n";
        return false;
      }
    }
    f.deltas.clear();
    for (const release::Manifest& e : earlier) {
      const auto base = std::find_if(e.files.begin(), e.files.end(),
                                     [&](const release::File& g) { return g.name == f.name; });
      if (base == e.files.end() || base->sha256 == f.sha256 ||
          std::any_of(f.deltas.begin(), f.deltas.end(),
                      [&](const release::Delta& d) { return d.base == base->sha256; })) {
        continue;
      }
      release::Delta delta{base->sha256, base->size, {}};
      std::string bytes;
      const release::Delta* reused = nullptr;
      if (known) {
        for (const release::Delta& d : known->deltas) {
          if (d.base == base->sha256) reused = &d;
        }
      }
      if (reused && ReadStored(to, reused->object, bytes)) {
        f.deltas.push_back(*reused);
        continue;
      }
      std::string old;
      if (!ReadEarlierFile(to, *base, old)) continue;  // gone from the folder: no delta from it
      if (f.size >= (8u << 20)) {
        out << "delta of " << name << " from " << e.version << " (" << Mib(f.size) << ")\n";
      }
      if (!load() || !encode::Delta(old, data, bytes)) {
        err << "publish: cannot make the delta of " << name << " from " << e.version << "\n";
        return false;
      }
      // Not clearly smaller than the whole: a client fetches the whole.
      if (bytes.size() * 10 > f.whole.size * 9) continue;
      if (!Store(to, bytes, delta.object)) {
        err << "publish: cannot store the delta of " << name << "\n";
        return false;
      }
      f.deltas.push_back(delta);
    }
  }
  return true;
}

// The compressed manifest into place, kept for the deltas of later
// releases, and format 2's of an earlier publisher removed: clients that read
// format 2 first find none and read format 1. Each file is replaced whole; a
// reader between the renames finds a manifest and signatures that do not
// verify, and refuses them.
bool PutPackedInPlace(const fs::path& to, const std::string& channel, const std::string& manifest,
                      const release::Signatures& signatures) {
  release::Manifest m;
  std::error_code ec;
  if (release::ParseManifest(manifest, m) != LaunchOk) return false;
  fs::create_directories(HistoryPath(to, channel, m.version).parent_path(), ec);
  if (!WriteAtomically(HistoryPath(to, channel, m.version), manifest) ||
      !WriteAtomically(to / release::SignaturesPath(channel, kPacked),
                       release::WriteSignatures(signatures)) ||
      !WriteAtomically(ManifestPath(to, channel, kPacked), manifest)) {
    return false;
  }
  fs::remove(ManifestPath(to, channel, 2), ec);
  fs::remove(to / release::SignaturesPath(channel, 2), ec);
  return true;
}

// Both formats of a release into place.
bool PutInPlace(const fs::path& to, const std::string& channel, const std::string& manifest,
                const release::Signatures& signatures, const std::string& packed,
                const release::Signatures& packedSignatures) {
  return PutPackedInPlace(to, channel, packed, packedSignatures) &&
         WriteSignatureFiles(to, channel, signatures) &&
         WriteAtomically(ManifestPath(to, channel), manifest);
}

// The private keys given with --key, each a P-256 PKCS#8 PEM; the callers
// bound their number.
bool LoadKeys(const Options& o, std::vector<std::string>& pems, std::ostream& err) {
  for (const std::string& keyFile : o.All("--key")) {
    std::string pem;
    crypto::Point point{};
    if (!ReadAll(PathOf(keyFile), pem, 1 << 16) || !crypto::LoadPrivateKey(pem, point)) {
      err << "publish: " << keyFile << " is not a P-256 private key (PKCS#8 PEM)\n";
      return false;
    }
    pems.push_back(pem);
  }
  return true;
}

bool SignAll(const std::vector<std::string>& pems, const std::string& manifest,
             release::Signatures& signatures) {
  signatures.assign(pems.size(), {});
  for (std::size_t i = 0; i < pems.size(); ++i) {
    if (!crypto::Sign(pems[i], Sha256Of(manifest), signatures[i])) return false;
  }
  return true;
}

int Keygen(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.size() != 1) return kUsage;
  const std::string base = o.positional[0];
  std::error_code ec;
  if (fs::exists(PathOf(base + ".key"), ec) || fs::exists(PathOf(base + ".pub"), ec)) {
    err << "publish: " << base << ".key or .pub exists; a key is never overwritten\n";
    return kRefused;
  }
  std::string privatePem;
  crypto::Point point;
  if (!crypto::GenerateKey(privatePem, point) ||
      !WriteAtomically(PathOf(base + ".key"), privatePem, /*secret=*/true) ||
      !WriteAtomically(PathOf(base + ".pub"), release::PublicKeyPem(point))) {
    err << "publish: the key could not be made or written\n";
    return kRefused;
  }
  out << "private key: " << base << ".key (PKCS#8 PEM; keep it secret)\n"
      << "public key:  " << base << ".pub (SubjectPublicKeyInfo PEM)\n"
      << "for the client to embed:\n"
      << release::PublicKeyText(point) << "\n";
  return kDone;
}

int Release(const Options& o, std::ostream& out, std::ostream& err) {
  const std::string channel = o.Get("--channel", release::kDefaultChannel);
  const bool elsewhere = o.Has("--sign-elsewhere");
  if (!o.positional.empty() || !o.Has("--from") || !o.Has("--to") || !o.Has("--product") ||
      !o.Has("--version") || elsewhere == o.Has("--key")) {
    return kUsage;
  }
  release::Manifest m;
  m.product = o.Get("--product");
  m.channel = channel;
  m.version = o.Get("--version");
  std::int64_t days = kDefaultLifetimeDays;
  if (!release::IsPlainField(m.product) || !release::IsPlainField(m.channel)) {
    err << "publish: product and channel take letters, digits and . _ - only\n";
    return kUsage;
  }
  if (!release::IsVersion(m.version)) {
    err << "publish: " << m.version << " is not a version (dotted numbers, as 2.0.1)\n";
    return kUsage;
  }
  if (o.Has("--lifetime") && !ParseLifetime(o.Get("--lifetime"), days)) {
    err << "publish: --lifetime takes days, 1 to " << kMaxLifetimeDays << "\n";
    return kUsage;
  }
  m.published = Now();
  if (o.Has("--published") && !release::ParseTime(o.Get("--published"), m.published)) {
    err << "publish: --published takes a time as 2026-12-08T13:00:00Z\n";
    return kUsage;
  }
  m.expires = m.published + days * 86400;
  std::size_t deltas = kDefaultDeltas;
  if (o.Has("--deltas")) {
    const std::string text = o.Get("--deltas");
    if (text.size() != 1 || text[0] < '0' || text[0] > '0' + static_cast<int>(release::kMaxDeltas)) {
      err << "publish: --deltas takes 0 to " << release::kMaxDeltas << " earlier releases\n";
      return kUsage;
    }
    deltas = static_cast<std::size_t>(text[0] - '0');
  }

  std::int64_t rollout = 0;
  if (o.Has("--rollout") && !ParseDays(o.Get("--rollout"), 0, release::kMaxRolloutDays, rollout)) {
    err << "publish: --rollout takes days, 0 to " << release::kMaxRolloutDays << "\n";
    return kUsage;
  }

  // Several keys during a rotation: the first signs CHANNEL.sig too.
  if (o.All("--key").size() > release::kMaxSignatures) {
    err << "publish: at most " << release::kMaxSignatures << " keys sign one release\n";
    return kUsage;
  }
  std::vector<std::string> privatePems;
  if (!LoadKeys(o, privatePems, err)) return kRefused;

  const fs::path to = PathOf(o.Get("--to"));
  // Each release would carry the ones before it.
  std::wstring fromKey, toKey;
  if (FolderKey(PathOf(o.Get("--from")), fromKey) && FolderKey(to, toKey) &&
      toKey.compare(0, fromKey.size(), fromKey) == 0) {
    err << "publish: refused: " << o.Get("--to") << " is inside " << o.Get("--from")
        << ", which it publishes\n";
    return kRefused;
  }
  if (!NewerThanPublished(m.version, to, channel, err)) return kRefused;

  std::vector<fs::path> paths;
  if (!CollectFiles(PathOf(o.Get("--from")), m.files, paths, err)) return kRefused;
  std::error_code ec;
  fs::create_directories(to / release::kFilesFolder, ec);
  std::uint64_t stored = 0, shared = 0;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const fs::path temp = to / release::kFilesFolder / ".incoming";
    release::File& f = m.files[i];
    if (!HashFile(paths[i], f.sha256, f.size, &temp)) {
      err << "publish: cannot copy " << paths[i].u8string() << "\n";
      return kRefused;
    }
    const fs::path target = to / release::StoredPath(f.sha256);
    release::Digest there{};
    std::uint64_t size = 0;
    if (HashFile(target, there, size) && there == f.sha256) {
      fs::remove(temp, ec);
      ++shared;
      continue;
    }
    fs::rename(temp, target, ec);
    if (ec) {
      err << "publish: cannot store " << target.u8string() << "\n";
      return kRefused;
    }
    ++stored;
  }

  // Format 3 beside format 1: compressed files, deltas and the rollout for
  // clients that read it, the files as they are for clients deployed before
  // it, which take the release at once.
  release::Manifest compressed = m;
  compressed.format = kPacked;
  compressed.rollout = {rollout, m.published, false};
  const std::vector<release::Manifest> earlier = EarlierReleases(to, channel, m.version, deltas);
  if (!EncodeFiles(to, compressed, earlier, out, err)) return kRefused;
  const std::string manifest = release::WriteManifest(m);
  const std::string manifest2 = release::WriteManifest(compressed);
  if (elsewhere) {
    const fs::path pending = WithSuffix(ManifestPath(to, channel), kPendingSuffix);
    const fs::path pending2 = WithSuffix(ManifestPath(to, channel, kPacked), kPendingSuffix);
    if (!WriteAtomically(pending, manifest) || !WriteAtomically(pending2, manifest2)) {
      err << "publish: cannot write " << pending.u8string() << "\n";
      return kRefused;
    }
    out << "to sign, exactly these bytes: " << pending.u8string() << " and "
        << pending2.u8string() << "\n"
        << "  for example: openssl dgst -sha256 -sign KEY.pem -out " << channel << ".sig.der "
        << pending.u8string() << "\n"
        << "               openssl dgst -sha256 -sign KEY.pem -out " << channel << ".3.sig.der "
        << pending2.u8string() << "\n"
        << "then: publish attach --to " << to.u8string() << " --signature " << channel
        << ".sig.der --signature-3 " << channel << ".3.sig.der --public KEY.pub"
        << (channel == release::kDefaultChannel ? "" : " --channel " + channel) << "\n"
        << "  (with several keys, a --signature, a --signature-3 and a --public for each)\n";
    return kDone;
  }
  release::Signatures signatures, signatures2;
  if (!SignAll(privatePems, manifest, signatures) || !SignAll(privatePems, manifest2, signatures2)) {
    err << "publish: the manifest could not be signed\n";
    return kRefused;
  }
  if (!PutInPlace(to, channel, manifest, signatures, manifest2, signatures2)) {
    err << "publish: cannot write the manifest\n";
    return kRefused;
  }
  std::uint64_t whole = 0, packed = 0, deltaCount = 0;
  for (const release::File& f : compressed.files) {
    whole += f.size;
    packed += f.whole.size;
    deltaCount += f.deltas.size();
  }
  out << "published " << m.product << " " << m.version << " on " << channel << ": "
      << Files(m.files.size()) << " (" << stored << " stored, " << shared
      << " already there), expires " << release::FormatTime(m.expires) << ", signed by "
      << signatures.size() << (signatures.size() == 1 ? " key\n" : " keys\n")
      << "compressed: " << Mib(packed) << " of " << Mib(whole) << "; " << deltaCount
      << (deltaCount == 1 ? " delta" : " deltas") << " from " << earlier.size()
      << (earlier.size() == 1 ? " earlier release\n" : " earlier releases\n");
  if (rollout > 0) {
    out << "rolling out over " << rollout << (rollout == 1 ? " day" : " days")
        << " to every install by " << release::FormatTime(m.published + rollout * 86400) << "\n";
  }
  return kDone;
}

// The signatures of one pending manifest, each checked with the public key
// given with it, in order.
bool ReadPendingSignatures(const std::string& manifest, const std::vector<std::string>& files,
                           const std::vector<std::string>& publicFiles,
                           release::Signatures& signatures, std::ostream& err) {
  signatures.assign(files.size(), {});
  for (std::size_t i = 0; i < files.size(); ++i) {
    crypto::Point point;
    if (!LoadPublicKey(publicFiles[i], point, err)) return false;
    if (!ReadSignature(PathOf(files[i]), signatures[i])) {
      err << "publish: " << files[i] << " is not an ECDSA signature (DER or r||s)\n";
      return false;
    }
    if (!CheckSignature(manifest, signatures[i], point)) {
      err << "publish: refused: " << files[i] << " does not verify against " << publicFiles[i]
          << "; nothing changed\n";
      return false;
    }
  }
  return true;
}

// The channel's compressed manifest as the folder serves it, unverified: the
// publisher's own folder.
bool ReadPacked(const fs::path& to, const std::string& channel, std::string& bytes,
                release::Manifest& m, std::ostream& err) {
  if (!ReadAll(ManifestPath(to, channel, kPacked), bytes, release::kMaxManifestBytes) ||
      release::ParseManifest(bytes, m) != LaunchOk || m.format != kPacked) {
    err << "publish: no readable " << release::ManifestPath(channel, kPacked) << " in "
        << to.u8string() << ": publish a release there first\n";
    return false;
  }
  return true;
}

// Refused, and said on `err`, unless `m` is the release `channel` serves,
// published again later: a halt or a resume.
bool LaterThanPublished(const release::Manifest& m, const fs::path& to, const std::string& channel,
                        std::ostream& err) {
  std::string bytes;
  release::Manifest now;
  if (!ReadPacked(to, channel, bytes, now, err)) return false;
  if (release::CompareVersions(m.version, now.version) != 0 || m.published <= now.published) {
    err << "publish: refused: " << channel << " serves " << now.version << " published "
        << release::FormatTime(now.published) << "; this is not that release published later\n";
    return false;
  }
  return true;
}

int Attach(const Options& o, std::ostream& out, std::ostream& err) {
  const std::string channel = o.Get("--channel", release::kDefaultChannel);
  const std::vector<std::string> signatureFiles = o.All("--signature");
  const std::vector<std::string> packedFiles = o.All("--signature-3");
  const std::vector<std::string> publicFiles = o.All("--public");
  if (!o.positional.empty() || !o.Has("--to") || publicFiles.empty() ||
      publicFiles.size() > release::kMaxSignatures) {
    return kUsage;
  }
  const fs::path to = PathOf(o.Get("--to"));
  const fs::path pending = WithSuffix(ManifestPath(to, channel), kPendingSuffix);
  const fs::path pending3 = WithSuffix(ManifestPath(to, channel, kPacked), kPendingSuffix);
  std::string manifest, manifest3;
  // A release waits with both; a halt or resume with the compressed one alone.
  const bool both = ReadAll(pending, manifest, release::kMaxManifestBytes);
  if (!ReadAll(pending3, manifest3, release::kMaxManifestBytes)) {
    err << "publish: no manifest waits for its signature: " << pending3.u8string() << "\n";
    return kRefused;
  }
  if (packedFiles.size() != publicFiles.size() ||
      signatureFiles.size() != (both ? publicFiles.size() : 0)) {
    err << "publish: each key signs each waiting manifest: "
        << (both ? "a --signature and a --signature-3" : "a --signature-3")
        << " for each --public\n";
    return kUsage;
  }
  release::Signatures signatures, signatures3;
  if ((both && !ReadPendingSignatures(manifest, signatureFiles, publicFiles, signatures, err)) ||
      !ReadPendingSignatures(manifest3, packedFiles, publicFiles, signatures3, err)) {
    return kRefused;
  }
  // Another release may have been published while this one waited for its signature.
  release::Manifest m, m3;
  if ((both && release::ParseManifest(manifest, m) != LaunchOk) ||
      release::ParseManifest(manifest3, m3) != LaunchOk || (both && m3.version != m.version)) {
    err << "publish: " << pending3.u8string() << " is not a manifest; nothing changed\n";
    return kRefused;
  }
  if (both ? !NewerThanPublished(m3.version, to, channel, err)
              : !LaterThanPublished(m3, to, channel, err)) {
    return kRefused;
  }
  if (both ? !PutInPlace(to, channel, manifest, signatures, manifest3, signatures3)
              : !PutPackedInPlace(to, channel, manifest3, signatures3)) {
    err << "publish: cannot put the manifest in place\n";
    return kRefused;
  }
  std::error_code ec;
  fs::remove(pending, ec);
  fs::remove(pending3, ec);
  out << "signature" << (signatures3.size() == 1 ? "" : "s") << " attached: " << channel
      << " is ready to upload\n";
  return kDone;
}

// "12.34%" of the installs, from buckets of release::kBuckets.
std::string Share(std::uint32_t buckets) {
  const std::uint32_t hundredths = buckets * 10000 / release::kBuckets;
  const std::string cents = std::to_string(hundredths % 100);
  return std::to_string(hundredths / 100) + "." + (cents.size() == 1 ? "0" : "") + cents + "%";
}

// Where the rollout of `m` stands at `now`, one line.
std::string Standing(const release::Manifest& m, std::int64_t now) {
  const std::int64_t full = m.rollout.started + m.rollout.days * 86400;
  if (m.rollout.halted) {
    release::Rollout going = m.rollout;
    going.halted = false;
    return "halted since " + release::FormatTime(m.published) + ": " +
           Share(release::RolloutOpen(going, m.published)) +
           " of installs had been offered it; no other is until publish resume\n";
  }
  return Share(release::RolloutOpen(m.rollout, now)) + " of installs are offered it now; " +
         (full <= now ? "every install since " : "every install from ") +
         release::FormatTime(full) + "\n";
}

// publish halt and publish resume: the channel's release signed again with a
// later publication time and its rollout halted, or going on from where it
// was halted.
int Republish(const Options& o, bool halt, std::ostream& out, std::ostream& err) {
  const std::string channel = o.Get("--channel", release::kDefaultChannel);
  const bool elsewhere = o.Has("--sign-elsewhere");
  if (!o.positional.empty() || !o.Has("--to") || elsewhere == o.Has("--key") ||
      o.All("--key").size() > release::kMaxSignatures) {
    return kUsage;
  }
  std::int64_t days = 0;
  if (o.Has("--lifetime") && !ParseLifetime(o.Get("--lifetime"), days)) {
    err << "publish: --lifetime takes days, 1 to " << kMaxLifetimeDays << "\n";
    return kUsage;
  }
  std::vector<std::string> privatePems;
  if (!LoadKeys(o, privatePems, err)) return kRefused;
  const fs::path to = PathOf(o.Get("--to"));
  std::string bytes;
  release::Manifest m;
  if (!ReadPacked(to, channel, bytes, m, err)) return kRefused;
  if (m.rollout.halted == halt) {
    err << "publish: refused: " << m.product << " " << m.version << " on " << channel
        << (halt ? " is halted already\n" : " is not halted\n");
    return kRefused;
  }
  release::Manifest next = m;
  // Later than the manifest it replaces: a client takes no older one.
  next.published = std::max(Now(), m.published + 1);
  next.expires = next.published + (days ? days * 86400 : m.expires - m.published);
  next.rollout = halt ? release::Halted(m.rollout)
                      : release::Resumed(m.rollout, m.published, next.published);
  const std::string manifest = release::WriteManifest(next);
  const char* what = halt ? "halted" : "resumed";
  if (elsewhere) {
    const fs::path pending = WithSuffix(ManifestPath(to, channel, kPacked), kPendingSuffix);
    if (!WriteAtomically(pending, manifest)) {
      err << "publish: cannot write " << pending.u8string() << "\n";
      return kRefused;
    }
    out << "to sign, exactly these bytes: " << pending.u8string() << "\n"
        << "  for example: openssl dgst -sha256 -sign KEY.pem -out " << channel << ".3.sig.der "
        << pending.u8string() << "\n"
        << "then: publish attach --to " << to.u8string() << " --signature-3 " << channel
        << ".3.sig.der --public KEY.pub"
        << (channel == release::kDefaultChannel ? "" : " --channel " + channel) << "\n";
    return kDone;
  }
  release::Signatures signatures;
  if (!SignAll(privatePems, manifest, signatures)) {
    err << "publish: the manifest could not be signed\n";
    return kRefused;
  }
  if (!PutPackedInPlace(to, channel, manifest, signatures)) {
    err << "publish: cannot write the manifest\n";
    return kRefused;
  }
  out << what << ": " << next.product << " " << next.version << " on " << channel
      << ", published again " << release::FormatTime(next.published) << ", expires "
      << release::FormatTime(next.expires) << "\n"
      << Standing(next, next.published);
  return kDone;
}

// publish rollout: where the channel's rollout stands now.
int Report(const Options& o, std::ostream& out, std::ostream& err) {
  const std::string channel = o.Get("--channel", release::kDefaultChannel);
  if (!o.positional.empty() || !o.Has("--to")) return kUsage;
  std::string bytes;
  release::Manifest m;
  if (!ReadPacked(PathOf(o.Get("--to")), channel, bytes, m, err)) return kRefused;
  out << m.product << " " << m.version << " on " << channel << ": "
      << (m.rollout.days ? "rolled out over " + std::to_string(m.rollout.days) + " days from " +
                               release::FormatTime(m.rollout.started)
                         : "to every install at once, from " +
                               release::FormatTime(m.rollout.started))
      << "\n"
      << Standing(m, Now());
  return kDone;
}

// What is wrong with the release's format 2, said on `err`: signatures,
// the same release as `m`, every stored object by its hash, each compressed
// whole decoded, and each delta decoded from its base where the folder holds
// the base. None: good, or a folder of format 1 alone.
int VerifyCompressed(const fs::path& from, const release::Manifest& m,
                     const std::vector<std::pair<std::string, crypto::Point>>& keys,
                     std::ostream& out, std::ostream& err) {
  std::error_code ec;
  // Format 3, or format 2 in a folder published before rollouts.
  int format = kPacked;
  if (!fs::exists(ManifestPath(from, m.channel, format), ec)) format = 2;
  if (!fs::exists(ManifestPath(from, m.channel, format), ec)) {
    out << "format 1 only: no " << release::ManifestPath(m.channel, kPacked) << "\n";
    return 0;
  }
  const std::string name = release::ManifestPath(m.channel, format);
  std::string manifest, sigs;
  release::Signatures signatures;
  release::Manifest m2;
  if (!ReadAll(ManifestPath(from, m.channel, format), manifest, release::kMaxManifestBytes) ||
      !ReadAll(from / release::SignaturesPath(m.channel, format), sigs,
               release::kMaxSignatures * 64) ||
      !release::ParseSignatures(sigs, signatures) ||
      release::ParseManifest(manifest, m2) != LaunchOk || m2.format != format) {
    err << "publish: bad: " << name << " or its signatures\n";
    return 1;
  }
  for (const auto& [publicFile, point] : keys) {
    if (!SignedBy(manifest, signatures, point)) {
      err << "publish: bad: no signature of " << name << " by " << publicFile << "\n";
      return 1;
    }
  }
  // A halt or resume signs the compressed manifest again, at a later time.
  release::Manifest same = m2;
  same.format = 1;
  same.published = m.published;
  same.expires = m.expires;
  if (release::WriteManifest(same) != release::WriteManifest(m)) {
    err << "publish: bad: the two formats list different releases\n";
    return 1;
  }
  const std::vector<release::Manifest> earlier =
      EarlierReleases(from, m.channel, m.version, SIZE_MAX);
  int bad = 0, unchecked = 0;
  for (const release::File& f : m2.files) {
    const std::string name = release::WideToUtf8(f.name);
    std::string frame, data;
    const bool asItIs = f.whole == release::Stored{f.sha256, f.size};
    if (!ReadStored(from, f.whole, frame) ||
        (!asItIs && (!encode::Decode(frame, nullptr, f.size, data) || Sha256Of(data) != f.sha256))) {
      err << "publish: bad: " << name << ": its compressed object "
          << release::StoredPath(f.whole.sha256) << " is missing, altered or does not decode\n";
      ++bad;
    }
    for (const release::Delta& d : f.deltas) {
      std::string delta, base, made;
      const release::File* known = nullptr;
      for (const release::Manifest& e : earlier) {
        for (const release::File& g : e.files) {
          if (g.sha256 == d.base && !known) known = &g;
        }
      }
      if (!ReadStored(from, d.object, delta)) {
        err << "publish: bad: " << name << ": its delta " << release::StoredPath(d.object.sha256)
            << " is missing or altered\n";
        ++bad;
      } else if (!known || !ReadEarlierFile(from, *known, base)) {
        ++unchecked;  // the base is no longer in the folder
      } else if (!encode::Decode(delta, &base, f.size, made) || Sha256Of(made) != f.sha256) {
        err << "publish: bad: " << name << ": its delta "
            << release::StoredPath(d.object.sha256) << " does not make the file\n";
        ++bad;
      }
    }
  }
  if (!bad) {
    if (format == kPacked) out << Standing(m2, Now());
    out << "format " << format << ": every compressed file and delta decodes to its file"
        << (unchecked ? " (" + std::to_string(unchecked) + " deltas without their base here)" : "")
        << "\n";
  }
  return bad;
}

int Verify(const Options& o, std::ostream& out, std::ostream& err) {
  const std::string channel = o.Get("--channel", release::kDefaultChannel);
  if (o.positional.size() != 1 || !o.Has("--public")) return kUsage;
  const fs::path from = PathOf(o.positional[0]);
  std::string manifest;
  if (!ReadAll(ManifestPath(from, channel), manifest, release::kMaxManifestBytes)) {
    err << "publish: no readable " << channel << " manifest within its bound\n";
    return kRefused;
  }
  release::Signatures signatures;
  if (!ReadSignatureFiles(from, channel, signatures)) {
    err << "publish: bad: the signatures are missing or malformed\n";
    return kRefused;
  }
  // Every key given must have signed: a rotation signs with both. Each read
  // once: it may be a pipe.
  std::vector<std::pair<std::string, crypto::Point>> keys;
  for (const std::string& publicFile : o.All("--public")) {
    crypto::Point point;
    if (!LoadPublicKey(publicFile, point, err)) return kRefused;
    keys.emplace_back(publicFile, point);
    if (!SignedBy(manifest, signatures, point)) {
      err << "publish: bad: no signature by " << publicFile << "\n";
      return kRefused;
    }
  }
  // Clients that read CHANNEL.sig alone need it to be one of them.
  release::Signature first{};
  if (!ReadSignature(SignaturePath(from, channel), first) ||
      std::find(signatures.begin(), signatures.end(), first) == signatures.end()) {
    err << "publish: bad: " << release::SignaturePath(channel) << " is not one of the signatures\n";
    return kRefused;
  }
  release::Manifest m;
  std::size_t index = kNoName;
  const LaunchCode code = release::ParseManifest(manifest, m, &index);
  if (code != LaunchOk) {
    err << "publish: bad: " << Narrow(CodeText(code)) << " (code " << code << ")\n";
    return kRefused;
  }
  int bad = 0;
  for (const release::File& f : m.files) {
    release::Digest digest{};
    std::uint64_t size = 0;
    const std::string stored = release::StoredPath(f.sha256);
    if (!HashFile(from / stored, digest, size)) {
      err << "publish: bad: " << release::WideToUtf8(f.name) << ": " << stored << " missing\n";
      ++bad;
    } else if (size != f.size || digest != f.sha256) {
      err << "publish: bad: " << release::WideToUtf8(f.name) << ": " << stored
          << (size != f.size ? " has another size\n" : " has another SHA-256\n");
      ++bad;
    }
  }
  bad += VerifyCompressed(from, m, keys, out, err);
  if (bad) return kRefused;
  out << "good: " << m.product << " " << m.version << " on " << m.channel << ", "
      << Files(m.files.size()) << ", published " << release::FormatTime(m.published) << ", expires "
      << release::FormatTime(m.expires) << (m.expires <= Now() ? " (expired)" : "") << "\n";
  return m.expires <= Now() ? kRefused : kDone;
}

constexpr char kUsageText[] =
    "usage:\n"
    "  publish keygen NAME            writes NAME.key (private) and NAME.pub\n"
    "  publish release --from DIR --to RELEASE --product P --version V\n"
    "                  (--key NAME.key... | --sign-elsewhere) [--channel stable]\n"
    "                  [--lifetime 30] [--published 2026-12-08T13:00:00Z] [--deltas 3]\n"
    "                  [--rollout 0]\n"
    "  publish attach --to RELEASE (--signature SIG --signature-3 SIG3 --public NAME.pub)...\n"
    "                 [--channel stable]   (after a halt or resume: --signature-3 alone)\n"
    "  publish halt --to RELEASE (--key NAME.key... | --sign-elsewhere) [--channel stable]\n"
    "               [--lifetime DAYS]      no install that lacks the release is offered it\n"
    "  publish resume --to RELEASE (--key NAME.key... | --sign-elsewhere) [--channel stable]\n"
    "               [--lifetime DAYS]      the rollout goes on from where it was halted\n"
    "  publish rollout --to RELEASE [--channel stable]   where the rollout stands\n"
    "  publish verify RELEASE (--public NAME.pub)... [--channel stable]\n"
    "  a key, signature or public key given more than once: each signs, or must have signed\n";

}  // namespace

int RunPublish(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options o;
  int result = kUsage;
  if (!args.empty() && ParseOptions(args, o)) {
    if (args[0] == "keygen") result = Keygen(o, out, err);
    if (args[0] == "release") result = Release(o, out, err);
    if (args[0] == "attach") result = Attach(o, out, err);
    if (args[0] == "verify") result = Verify(o, out, err);
    if (args[0] == "halt") result = Republish(o, true, out, err);
    if (args[0] == "resume") result = Republish(o, false, out, err);
    if (args[0] == "rollout") result = Report(o, out, err);
  }
  if (result == kUsage) err << kUsageText;
  return result;
}
