// Benchmarks of the launch library's release operations against raw Windows
// calls for the same bytes, run under Wine on release folders that
// run_bench.py published. Prints one line per case:
//   CASE RUNS PROGRAM_MEDIAN_MS BASELINE_MEDIAN_MS MEDIAN_RATIO [FLOOR_MS FLOOR_RATIO
//   [THREADED_MS THREADED_RATIO]]
// A fetch's floor is the raw copy with raw hashing on the way; over the web,
// also with the hashing on a second thread, its ratio to the raw loop.
//   bench_release check SOURCE KEY INSTALL RUNS   an unchanged install
//   bench_release fetch SOURCE KEY INSTALL RUNS   every file fetched
//   bench_release web URL KEY INSTALL RUNS        checked and fetched over HTTP,
//                                                 against a raw WinHTTP loop
//   bench_release delta URL KEY INSTALL RUNS      checked and fetched by delta over
//                                                 HTTP, against its raw steps: the
//                                                 delta downloaded, decoded against
//                                                 the old file, the result hashed;
//                                                 then the same with warm buffers
#include <windows.h>
// The other Windows headers need it first.

#include <bcrypt.h>
#include <winhttp.h>

#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cmdline/locations.h"
#include "launch/release.h"
#include "transport/source.h"
#include "transport/web_address.h"
#include "support/text.h"

namespace {

constexpr auto W = &test::Wide;
WideString U(const std::string& s) { return WideString(s.begin(), s.end()); }

double NowMs() {
  LARGE_INTEGER f, c;
  ::QueryPerformanceFrequency(&f);
  ::QueryPerformanceCounter(&c);
  return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

WideString Backslashed(WideString name) {
  std::replace(name.begin(), name.end(), u'/', u'\\');
  return name;
}

// The baseline of a check: SHA-256 of every file with raw CNG calls, in the
// same 256 KiB reads.
bool RawHashAll(const WideString& folder, const std::vector<release::File>& files) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (::BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) return false;
  static std::vector<UCHAR> buffer(256 * 1024);
  bool ok = true;
  for (const release::File& f : files) {
    const HANDLE h =
        ::CreateFileW(W(folder + u"\\" + Backslashed(f.name)), GENERIC_READ, FILE_SHARE_READ,
                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    BCRYPT_HASH_HANDLE hash = nullptr;
    ok =
        h != INVALID_HANDLE_VALUE && ::BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
    DWORD n = 0;
    while (ok && ::ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) && n)
      ok = ::BCryptHashData(hash, buffer.data(), n, 0) >= 0;
    UCHAR digest[32];
    ok = ok && ::BCryptFinishHash(hash, digest, 32, 0) >= 0 &&
         std::equal(digest, digest + 32, f.sha256.begin());
    if (hash) ::BCryptDestroyHash(hash);
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    if (!ok) break;
  }
  ::BCryptCloseAlgorithmProvider(alg, 0);
  return ok;
}

// The baseline of a fetch: CopyFileW of every stored file to a plain name.
bool RawCopyAll(const WideString& source, const WideString& to,
                const std::vector<release::File>& files) {
  for (const release::File& f : files) {
    const WideString from = source + u"\\files\\" + U(release::Hex(f.sha256.data(), 32));
    if (!::CopyFileW(W(from), W(to + u"\\" + Backslashed(f.name)), FALSE)) return false;
  }
  return true;
}

// The file's plain name under `to`, written anew.
HANDLE CreatePlain(const WideString& to, const release::File& f) {
  return ::CreateFileW(W(to + u"\\" + Backslashed(f.name)), GENERIC_WRITE, 0, nullptr,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The floor of a fetch: the same copy loop with raw CNG hashing on the way,
// no partial copy, no rename, no check against the manifest.
bool RawHashedCopyAll(const WideString& source, const WideString& to,
                      const std::vector<release::File>& files) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (::BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) return false;
  static std::vector<UCHAR> buffer(256 * 1024);
  bool ok = true;
  for (const release::File& f : files) {
    const WideString from = source + u"\\files\\" + U(release::Hex(f.sha256.data(), 32));
    const HANDLE in = ::CreateFileW(W(from), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    const HANDLE out = CreatePlain(to, f);
    BCRYPT_HASH_HANDLE hash = nullptr;
    ok = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE &&
         ::BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
    DWORD n = 0, written = 0;
    while (ok && ::ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) && n)
      ok = ::BCryptHashData(hash, buffer.data(), n, 0) >= 0 &&
           ::WriteFile(out, buffer.data(), n, &written, nullptr) && written == n;
    UCHAR digest[32];
    ok = ok && ::BCryptFinishHash(hash, digest, 32, 0) >= 0;
    if (hash) ::BCryptDestroyHash(hash);
    if (in != INVALID_HANDLE_VALUE) ::CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
    if (!ok) break;
  }
  ::BCryptCloseAlgorithmProvider(alg, 0);
  return ok;
}

// A GET of the stored file, its answer's head received; null on a failure.
HINTERNET GetStored(HINTERNET connection, const WebAddress& address, const release::File& f) {
  const WideString object = address.path + u"/files/" + U(release::Hex(f.sha256.data(), 32));
  const HINTERNET request = ::WinHttpOpenRequest(
      connection, L"GET", W(object), nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
  if (request &&
      ::WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                           0) &&
      ::WinHttpReceiveResponse(request, nullptr)) {
    return request;
  }
  if (request) ::WinHttpCloseHandle(request);
  return nullptr;
}

// The baseline over the web: one session and connection, a GET per stored
// file read to the end in 256 KiB reads and written to a plain name; with
// `hash`, raw CNG SHA-256 on the way (the floor).
bool RawWebAll(const WideString& url, const WideString& to, const std::vector<release::File>& files,
               bool hash) {
  WebAddress address;
  if (!ParseWebAddress(url, address)) return false;
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (hash && ::BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0)
    return false;
  const HINTERNET session = ::WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  const HINTERNET connection =
      session ? ::WinHttpConnect(session, W(address.host), address.port, 0) : nullptr;
  static std::vector<UCHAR> buffer(256 * 1024);
  bool ok = connection != nullptr;
  for (const release::File& f : files) {
    if (!ok) break;
    const HINTERNET request = GetStored(connection, address, f);
    const HANDLE out = CreatePlain(to, f);
    BCRYPT_HASH_HANDLE h = nullptr;
    ok = request && out != INVALID_HANDLE_VALUE &&
         (!hash || ::BCryptCreateHash(alg, &h, nullptr, 0, nullptr, 0, 0) >= 0);
    DWORD n = 0, written = 0;
    while (ok && ::WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &n) &&
           n) {
      ok = (!hash || ::BCryptHashData(h, buffer.data(), n, 0) >= 0) &&
           ::WriteFile(out, buffer.data(), n, &written, nullptr) && written == n;
    }
    UCHAR digest[32];
    if (hash) ok = ok && ::BCryptFinishHash(h, digest, 32, 0) >= 0;
    if (h) ::BCryptDestroyHash(h);
    if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
    if (request) ::WinHttpCloseHandle(request);
  }
  if (connection) ::WinHttpCloseHandle(connection);
  if (session) ::WinHttpCloseHandle(session);
  if (alg) ::BCryptCloseAlgorithmProvider(alg, 0);
  return ok;
}

// The floor of a design that hashes on a second thread: the same loop, each
// read handed to a hashing thread through a ring of buffers, so that the
// download and the hash overlap.
struct HashRing {
  static constexpr int kSlots = 4;
  std::vector<UCHAR> data[kSlots];
  DWORD size[kSlots] = {};  // 0: the file ends here
  HANDLE free = nullptr, filled = nullptr, fileDone = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false, quit = false;
};

DWORD WINAPI HashSlots(void* context) {
  HashRing& ring = *static_cast<HashRing*>(context);
  for (int slot = 0;; slot = (slot + 1) % HashRing::kSlots) {
    ::WaitForSingleObject(ring.filled, INFINITE);
    if (ring.quit) return 0;
    if (ring.size[slot] == 0) {
      ::SetEvent(ring.fileDone);
    } else if (::BCryptHashData(ring.hash, ring.data[slot].data(), ring.size[slot], 0) < 0) {
      ring.failed = true;
    }
    ::ReleaseSemaphore(ring.free, 1, nullptr);
  }
}

bool RawWebHashedOnAThread(const WideString& url, const WideString& to,
                           const std::vector<release::File>& files) {
  WebAddress address;
  if (!ParseWebAddress(url, address)) return false;
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (::BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) return false;
  static HashRing ring;
  for (std::vector<UCHAR>& d : ring.data) d.resize(256 * 1024);
  ring.free = ::CreateSemaphoreW(nullptr, HashRing::kSlots, HashRing::kSlots, nullptr);
  ring.filled = ::CreateSemaphoreW(nullptr, 0, HashRing::kSlots, nullptr);
  ring.fileDone = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ring.failed = ring.quit = false;
  const HANDLE thread = ::CreateThread(nullptr, 0, HashSlots, &ring, 0, nullptr);
  const HINTERNET session = ::WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  const HINTERNET connection =
      session ? ::WinHttpConnect(session, W(address.host), address.port, 0) : nullptr;
  bool ok = thread && connection;
  int slot = 0;
  for (const release::File& f : files) {
    if (!ok) break;
    const HINTERNET request = GetStored(connection, address, f);
    const HANDLE out = CreatePlain(to, f);
    ring.hash = nullptr;
    ok = request && out != INVALID_HANDLE_VALUE &&
         ::BCryptCreateHash(alg, &ring.hash, nullptr, 0, nullptr, 0, 0) >= 0;
    for (DWORD n = 1; n;) {
      ::WaitForSingleObject(ring.free, INFINITE);
      DWORD written = 0;
      if (!ok || !::WinHttpReadData(request, ring.data[slot].data(), 256 * 1024, &n)) n = 0;
      if (n) ok = ::WriteFile(out, ring.data[slot].data(), n, &written, nullptr) && written == n;
      ring.size[slot] = n;
      slot = (slot + 1) % HashRing::kSlots;
      ::ReleaseSemaphore(ring.filled, 1, nullptr);
    }
    ::WaitForSingleObject(ring.fileDone, INFINITE);
    UCHAR digest[32];
    ok = ok && !ring.failed && ::BCryptFinishHash(ring.hash, digest, 32, 0) >= 0 &&
         std::equal(digest, digest + 32, f.sha256.begin());
    if (ring.hash) ::BCryptDestroyHash(ring.hash);
    if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
    if (request) ::WinHttpCloseHandle(request);
  }
  if (thread) {
    ::WaitForSingleObject(ring.free, INFINITE);
    ring.quit = true;
    ::ReleaseSemaphore(ring.filled, 1, nullptr);
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
  }
  for (HANDLE h : {ring.free, ring.filled, ring.fileDone}) ::CloseHandle(h);
  if (connection) ::WinHttpCloseHandle(connection);
  if (session) ::WinHttpCloseHandle(session);
  ::BCryptCloseAlgorithmProvider(alg, 0);
  return ok;
}

// The floor of a fetch by delta: one GET of the delta into memory, the old
// file mapped, zstd decoding against it into memory, raw CNG SHA-256 of the
// result, the result written to a plain name. `warm`: the buffers kept from
// the run before, already in memory, as no one-off update has them.
bool RawDelta(const WideString& url, const WideString& install, const WideString& to,
              const release::File& f, const release::Delta& d, bool warm) {
  WebAddress address;
  if (!ParseWebAddress(url, address)) return false;
  const HINTERNET session = ::WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  const HINTERNET connection =
      session ? ::WinHttpConnect(session, W(address.host), address.port, 0) : nullptr;
  const HINTERNET request =
      connection ? GetStored(connection, address, release::File(f.name, d.object.size,
                                                                d.object.sha256))
                 : nullptr;
  static std::vector<UCHAR> warmDelta, warmMade;
  std::unique_ptr<UCHAR[]> freshDelta, freshMade;
  UCHAR* delta = nullptr;
  UCHAR* made = nullptr;
  if (warm) {
    warmDelta.resize(d.object.size);
    warmMade.resize(f.size);
    delta = warmDelta.data();
    made = warmMade.data();
  } else {
    freshDelta.reset(new UCHAR[d.object.size]);
    freshMade.reset(new UCHAR[f.size]);
    delta = freshDelta.get();
    made = freshMade.get();
  }
  std::size_t got = 0;
  DWORD n = 0;
  bool ok = request != nullptr;
  while (ok && got < d.object.size &&
         ::WinHttpReadData(request, delta + got, static_cast<DWORD>(d.object.size - got), &n) &&
         n) {
    got += n;
  }
  ok = ok && got == d.object.size;
  for (HINTERNET h : {request, connection, session}) {
    if (h) ::WinHttpCloseHandle(h);
  }
  const HANDLE in = ::CreateFileW(W(install + u"\\" + Backslashed(f.name)), GENERIC_READ,
                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  const HANDLE mapping = in != INVALID_HANDLE_VALUE
                             ? ::CreateFileMappingW(in, nullptr, PAGE_READONLY, 0, 0, nullptr)
                             : nullptr;
  const void* old = mapping ? ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, d.baseSize) : nullptr;
  ZSTD_DCtx* z = ZSTD_createDCtx();
  ok = ok && old && z && !ZSTD_isError(ZSTD_DCtx_setParameter(z, ZSTD_d_windowLogMax, 27)) &&
       !ZSTD_isError(ZSTD_DCtx_refPrefix(z, old, d.baseSize)) &&
       ZSTD_decompressDCtx(z, made, f.size, delta, d.object.size) == f.size;
  ZSTD_freeDCtx(z);
  if (old) ::UnmapViewOfFile(old);
  if (mapping) ::CloseHandle(mapping);
  if (in != INVALID_HANDLE_VALUE) ::CloseHandle(in);
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  UCHAR digest[32];
  ok = ok && ::BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
       ::BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) >= 0 &&
       ::BCryptHashData(hash, made, static_cast<ULONG>(f.size), 0) >= 0 &&
       ::BCryptFinishHash(hash, digest, 32, 0) >= 0 && std::equal(digest, digest + 32, f.sha256.begin());
  if (hash) ::BCryptDestroyHash(hash);
  if (alg) ::BCryptCloseAlgorithmProvider(alg, 0);
  const HANDLE out = CreatePlain(to, f);
  ok = ok && out != INVALID_HANDLE_VALUE &&
       ::WriteFile(out, made, static_cast<DWORD>(f.size), &n, nullptr) && n == f.size;
  if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
  return ok;
}

void RemoveAll(const WideString& folder, const std::vector<release::File>& files) {
  for (const release::File& f : files) ::DeleteFileW(W(folder + u"\\" + Backslashed(f.name)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) return 2;
  const std::string mode = argv[1];
  const int runs = std::atoi(argv[5]);
  ReleaseQuery q{U(argv[2]), u"stable", U(argv[3]), u"KelvoClient",
                 U(argv[4]), u"1.0",    u"",        TransferFloor()};
  CheckedRelease checked;
  const LaunchCode first = CheckRelease(q, checked);
  std::vector<double> program, raw, ratio, hashed, hashedRatio, threaded, threadedRatio;
  if (mode == "check") {
    if (first != UpToDate) {
      std::fprintf(stderr, "the install should match: code %d\n", first);
      return 1;
    }
    // The files as the manifest lists them, for the baseline: checked against
    // an empty folder, every file differs.
    ReleaseQuery empty = q;
    empty.installFolder = u"C:\\BenchEmpty";
    ::CreateDirectoryW(L"C:\\BenchEmpty", nullptr);
    CheckedRelease shape;
    if (CheckRelease(empty, shape) != LaunchOk) return 1;
    for (int run = 0; run < runs; ++run) {
      double times[2];
      for (int k = 0; k < 2; ++k) {
        const int which = (run + k) % 2;  // rotate the order against drift
        const double start = NowMs();
        const bool ok = which == 0 ? CheckRelease(q, checked) == UpToDate
                                   : RawHashAll(q.installFolder, shape.manifest.files);
        times[which] = NowMs() - start;
        if (!ok) return 1;
      }
      program.push_back(times[0]);
      raw.push_back(times[1]);
      ratio.push_back(times[0] / times[1]);
    }
  } else {
    if (first != LaunchOk) {
      std::fprintf(stderr, "the release should differ from the install: code %d\n", first);
      return 1;
    }
    WideString staging;
    GetStagingDir(staging);
    const WideString copies = q.installFolder + u"\\raw";
    ::CreateDirectoryW(W(copies), nullptr);
    if (mode == "delta" && (checked.changed.size() != 1 || checked.via[0] == kWhole)) {
      std::fprintf(stderr, "one file, fetched by delta, was expected\n");
      return 1;
    }
    // Copies: each run's check replaces `checked`.
    const release::File f = checked.manifest.files[checked.changed[0]];
    const release::Delta d =
        mode == "delta" ? f.deltas[static_cast<std::size_t>(checked.via[0])] : release::Delta{};
    for (int run = 0; mode == "delta" && run < runs; ++run) {
      double times[3];
      for (int k = 0; k < 3; ++k) {
        const int which = (run + k) % 3;
        RemoveAll(which == 0 ? staging : copies, checked.manifest.files);
        const double start = NowMs();
        const bool ok =
            which == 0 ? CheckRelease(q, checked) == LaunchOk && FetchRelease(checked) == LaunchOk
                       : RawDelta(checked.source, q.installFolder, copies, f, d, which == 2);
        times[which] = NowMs() - start;
        if (!ok) return 1;
      }
      program.push_back(times[0]);
      raw.push_back(times[1]);
      ratio.push_back(times[0] / times[1]);
      hashed.push_back(times[2]);
      hashedRatio.push_back(times[0] / times[2]);
    }
    for (int run = 0; mode != "delta" && run < runs; ++run) {
      const int variants = mode == "web" ? 4 : 3;
      double times[4];
      for (int k = 0; k < variants; ++k) {
        const int which = (run + k) % variants;
        RemoveAll(which == 0 ? staging : copies, checked.manifest.files);
        const double start = NowMs();
        const std::vector<release::File>& files = checked.manifest.files;
        bool ok = false;
        if (mode == "web") {
          // The check is part of what a client does over the web.
          ok = which == 0
                   ? CheckRelease(q, checked) == LaunchOk && FetchRelease(checked) == LaunchOk
               : which == 3 ? RawWebHashedOnAThread(checked.source, copies, files)
                            : RawWebAll(checked.source, copies, files, which == 2);
        } else {
          ok = which == 0   ? FetchRelease(checked) == LaunchOk
               : which == 1 ? RawCopyAll(checked.source, copies, files)
                            : RawHashedCopyAll(checked.source, copies, files);
        }
        times[which] = NowMs() - start;
        if (!ok) return 1;
      }
      program.push_back(times[0]);
      raw.push_back(times[1]);
      ratio.push_back(times[0] / times[1]);
      hashed.push_back(times[2]);
      hashedRatio.push_back(times[0] / times[2]);
      if (variants == 4) {
        threaded.push_back(times[3]);
        threadedRatio.push_back(times[3] / times[1]);
      }
    }
    RemoveAll(staging, checked.manifest.files);
    RemoveAll(copies, checked.manifest.files);
  }
  std::printf("%s %d %.1f %.1f %.3f", mode.c_str(), runs, Median(program), Median(raw),
              Median(ratio));
  if (!hashed.empty()) std::printf(" %.1f %.3f", Median(hashed), Median(hashedRatio));
  if (!threaded.empty()) std::printf(" %.1f %.3f", Median(threaded), Median(threadedRatio));
  std::printf("\n");
  return 0;
}
