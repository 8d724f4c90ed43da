// Benchmarks of the program's file operations against the raw Windows calls,
// run under Wine. Prints one line per case:
//   CASE RUNS PROGRAM_MEDIAN_MS BASELINE_MEDIAN_MS
// The exe must stand in the folder the files are installed into: the
// program's own operations take that folder from the command line.
#include <windows.h>
// The other Windows headers need it first.

#include <bcrypt.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmdline/locations.h"
#include "contract/limits.h"
#include "crypto.h"
#include "platform/platform.h"
#include "sysops/sysops.h"
#include "update/update.h"
#include "support/text.h"

namespace {

constexpr auto W = &test::Wide;
WideString U(const std::wstring& s) { return WideString(s.begin(), s.end()); }

double NowMs() {
  LARGE_INTEGER f, c;
  ::QueryPerformanceFrequency(&f);
  ::QueryPerformanceCounter(&c);
  return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

bool WriteBytes(const WideString& path, std::size_t size) {
  const HANDLE h = ::CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  static const std::vector<char> chunk(1 << 20, 'x');
  bool ok = true;
  for (std::size_t left = size; left > 0 && ok;) {
    const DWORD n = static_cast<DWORD>(std::min(left, chunk.size()));
    DWORD written = 0;
    ok = ::WriteFile(h, chunk.data(), n, &written, nullptr) && written == n;
    left -= n;
  }
  // On disk before anything is timed: a timed flush would write it too.
  ok = ok && ::FlushFileBuffers(h);
  ::CloseHandle(h);
  return ok;
}

WideString ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path);
  return U(p.substr(0, p.rfind(L'\\') + 1));
}

WideString Name(int i) {
  wchar_t name[32];
  std::swprintf(name, 32, L"f%05d.bin", i);
  return U(name);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Staged files ready in the staging folder, old copies in the program folder.
bool PrepareInstall(int count, std::size_t size) {
  WideString staging;
  GetStagingDir(staging);
  for (int i = 0; i < count; ++i) {
    if (!WriteBytes(staging + u"\\" + Name(i), size)) return false;
    if (!WriteBytes(ProgramFolder() + Name(i), 16)) return false;
  }
  return true;
}

// What the update run does once the client is ended and the list is read.
double InstallThroughProgram(int count) {
  FileList names;
  for (int i = 0; i < count; ++i) names.push_back(Name(i));
  const double start = NowMs();
  if (InstallStagedFiles(names) != OutcomeUpdated) std::fprintf(stderr, "install failed\n");
  return NowMs() - start;
}

std::vector<std::pair<WideString, WideString>> InstallPaths(int count) {
  WideString staging;
  GetStagingDir(staging);
  std::vector<std::pair<WideString, WideString>> paths;
  for (int i = 0; i < count; ++i) {
    paths.emplace_back(staging + u"\\" + Name(i), ProgramFolder() + Name(i));
  }
  return paths;
}

// With `hash`, the bytes are hashed on their way.
bool CopyAll(HANDLE from, HANDLE to, BCRYPT_HASH_HANDLE hash = nullptr) {
  static std::vector<char> chunk(256 * 1024);
  for (;;) {
    DWORD got = 0, written = 0;
    if (!::ReadFile(from, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
      return false;
    }
    if (got == 0) return true;
    if (hash) ::BCryptHashData(hash, reinterpret_cast<PUCHAR>(chunk.data()), got, 0);
    if (!::WriteFile(to, chunk.data(), got, &written, nullptr) || written != got) return false;
  }
}

// The way the program installed before: the target truncated and written in place.
double InstallInPlace(int count) {
  const auto paths = InstallPaths(count);
  const double start = NowMs();
  for (const auto& [staged, target] : paths) {
    const HANDLE from = ::CreateFileW(W(staged), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    const HANDLE to = ::CreateFileW(W(target), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (!CopyAll(from, to)) std::fprintf(stderr, "copy failed\n");
    ::CloseHandle(to);
    ::CloseHandle(from);
    ::DeleteFileW(W(staged));
  }
  return NowMs() - start;
}

// The least a durable install does: read the staged copy, write a new file
// beside the target, flush it, rename it over the target, delete the staged copy.
// With `sha256` (CNG's provider), each file's bytes are hashed on the way:
// the least a keyed install does.
double InstallDurable(int count, BCRYPT_ALG_HANDLE sha256 = nullptr) {
  const auto paths = InstallPaths(count);
  const double start = NowMs();
  for (const auto& [staged, target] : paths) {
    const WideString partial = ProgramFolder() + u" ~" + target.substr(target.rfind(u'\\') + 1);
    const HANDLE from = ::CreateFileW(W(staged), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    const HANDLE to = ::CreateFileW(W(partial), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (sha256) ::BCryptCreateHash(sha256, &hash, nullptr, 0, nullptr, 0, 0);
    if (!CopyAll(from, to, hash) || !::FlushFileBuffers(to)) std::fprintf(stderr, "copy failed\n");
    if (hash) {
      UCHAR digest[32];
      ::BCryptFinishHash(hash, digest, 32, 0);
      ::BCryptDestroyHash(hash);
    }
    ::CloseHandle(to);
    ::CloseHandle(from);
    if (!::MoveFileExW(W(partial), W(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      std::fprintf(stderr, "rename failed\n");
    }
    ::DeleteFileW(W(staged));
  }
  return NowMs() - start;
}

// A release of the `count` files PrepareInstall makes, signed by `key`, staged
// as the client stages it; no release recorded in the program folder yet.
bool StageSignedRelease(int count, std::size_t size, const std::string& key) {
  release::Manifest m{"KelvoClient", "stable", "2.0", 0, 0, {}};
  m.published = release::NowSeconds() - 60;
  m.expires = m.published + 86400;
  crypto::Sha256 content;
  static const std::vector<char> chunk(1 << 20, 'x');
  for (std::size_t left = size; left > 0;) {
    const std::size_t n = std::min(left, chunk.size());
    content.Update(chunk.data(), n);
    left -= n;
  }
  const release::Digest digest = content.Finish();
  for (int i = 0; i < count; ++i) m.files.push_back({Name(i), size, digest});
  const std::string manifest = release::WriteManifest(m);
  crypto::Sha256 hash;
  hash.Update(manifest.data(), manifest.size());
  release::Signature signature{};
  if (!crypto::Sign(key, hash.Finish(), signature)) return false;
  const std::string signatures(signature.begin(), signature.end());
  WideString staging;
  GetStagingDir(staging);
  ::DeleteFileW(W(ProgramFolder() + kRecordManifestName));
  for (const auto& [name, bytes] : {std::make_pair(kRecordManifestName, &manifest),
                                    std::make_pair(kRecordSignaturesName, &signatures)}) {
    const HANDLE h = ::CreateFileW(W(staging + u"\\" + name), GENERIC_WRITE, 0, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool ok = h != INVALID_HANDLE_VALUE &&
                    ::WriteFile(h, bytes->data(), static_cast<DWORD>(bytes->size()), &written,
                                nullptr) &&
                    written == bytes->size();
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    if (!ok) return false;
  }
  return true;
}

// The keyed install against the durable loop with raw CNG hashing, in turns:
// each run times both, who goes first rotating.
void BenchKeyedInstall(const char* label, int count, std::size_t size, int runs) {
  std::string key;
  crypto::Point point{};
  if (!crypto::GenerateKey(key, point)) return;
  const ReleaseTrust trust{{point}, "KelvoClient"};
  BCRYPT_ALG_HANDLE sha256 = nullptr;
  ::BCryptOpenAlgorithmProvider(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  FileList names;
  for (int i = 0; i < count; ++i) names.push_back(Name(i));
  std::vector<double> times[2], ratios;
  for (int r = 0; r < runs; ++r) {
    double run[2];
    for (int k = 0; k < 2; ++k) {
      const int kind = (r + k) % 2;
      if (!PrepareInstall(count, size) || !StageSignedRelease(count, size, key)) {
        ::BCryptCloseAlgorithmProvider(sha256, 0);
        return;
      }
      if (kind == 0) {
        const double start = NowMs();
        if (InstallStagedFiles(names, &trust) != OutcomeUpdated) {
          std::fprintf(stderr, "keyed install failed\n");
        }
        run[0] = NowMs() - start;
      } else {
        run[1] = InstallDurable(count, sha256);
      }
      times[kind].push_back(run[kind]);
    }
    ratios.push_back(run[0] / run[1]);
  }
  ::BCryptCloseAlgorithmProvider(sha256, 0);
  std::printf("%s %d %.1f %.1f 0 %.3f\n", label, runs, Median(times[0]), Median(times[1]),
              Median(ratios));
  std::fflush(stdout);
}

// Prints the medians of the program, the durable loop and the in-place loop,
// then the median of the program's time over the durable loop's in the same
// run. Each run times all three, in an order that rotates, so that the
// disk's drift spreads over all of them.
void BenchInstall(const char* label, int count, std::size_t size, int runs) {
  std::vector<double> times[3], ratios;
  for (int r = 0; r < runs; ++r) {
    double run[3];
    for (int k = 0; k < 3; ++k) {
      const int kind = (r + k) % 3;
      if (!PrepareInstall(count, size)) return;
      run[kind] = kind == 0   ? InstallThroughProgram(count)
                  : kind == 1 ? InstallDurable(count)
                              : InstallInPlace(count);
      times[kind].push_back(run[kind]);
    }
    ratios.push_back(run[0] / run[1]);
  }
  std::printf("%s %d %.1f %.1f %.1f %.3f\n", label, runs, Median(times[0]), Median(times[1]),
              Median(times[2]), Median(ratios));
  std::fflush(stdout);
}

double ClearRaw(const WideString& cache) {
  const double start = NowMs();
  WIN32_FIND_DATAW d;
  const HANDLE h = ::FindFirstFileW(W(cache + u"*"), &d);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::DeleteFileW(W(cache + reinterpret_cast<const char16_t*>(d.cFileName)));
      }
    } while (::FindNextFileW(h, &d));
    ::FindClose(h);
  }
  return NowMs() - start;
}

// The same checks as the program's, made with the raw calls: each entry opened
// below the folder's handle, one query on its handle, deleted through it.
double ClearFloor(const WideString& cache) {
  const double start = NowMs();
  const platform::Handle dir = platform::CreateFileW(
      cache.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS);
  WIN32_FIND_DATAW d;
  const HANDLE h = ::FindFirstFileW(W(cache + u"*"), &d);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      platform::Handle entry = platform::kInvalidHandle;
      if (platform::NtCreateFile(&entry, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, dir,
                                 reinterpret_cast<const char16_t*>(d.cFileName),
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 platform::kFileOpen,
                                 platform::kFileOpenReparsePoint | platform::kFileNonDirectoryFile |
                                     platform::kFileSynchronousIoNonalert) < 0) {
        continue;
      }
      platform::FileStandardInfo standard{};
      const platform::FileDispositionInfo dispose{true};
      if (platform::GetFileInformationByHandleEx(entry, platform::FileInfoClass::Standard,
                                                 &standard, sizeof(standard))) {
        platform::SetFileInformationByHandle(entry, platform::FileInfoClass::Disposition, &dispose,
                                             sizeof(dispose));
      }
      platform::CloseHandle(entry);
    } while (::FindNextFileW(h, &d));
    ::FindClose(h);
  }
  platform::CloseHandle(dir);
  return NowMs() - start;
}

// Clearings of the cache folder, the program's, the floor's and the raw loop's in turns,
// each on its own folder of files that the driver made beforehand (many files
// are made far faster outside Wine, whose every new name scans the folder):
// AppCache\Cache.<run>.<program|floor|raw>, each renamed to Cache before it is timed.
void BenchClear(int runs) {
  const WideString cache = GetCacheDir();  // ends with "Cache\"
  const WideString appCache = cache.substr(0, cache.size() - 6);
  const WideString folder = cache.substr(0, cache.size() - 1);
  std::vector<double> times[3];
  const char16_t* kinds[] = {u".program", u".floor", u".raw"};
  for (int r = 0; r < runs; ++r) {
    for (int k = 0; k < 3; ++k) {
      const int kind = (r + k) % 3;  // who goes first rotates
      const WideString from = appCache + u"Cache." + U(std::to_wstring(r)) + kinds[kind];
      if (!::MoveFileExW(W(from), W(folder), 0)) {
        std::fprintf(stderr, "cannot put the cache folder in place\n");
        return;
      }
      double ms;
      if (kind == 0) {
        const double start = NowMs();
        WideString root, realRoot;
        GetClientRoot(root);
        GetFinalFolderPath(root, realRoot);
        DeleteFilesInDir(cache, CacheDirOf(realRoot));
        ms = NowMs() - start;
      } else {
        ms = kind == 1 ? ClearFloor(cache) : ClearRaw(cache);
      }
      if (!::RemoveDirectoryW(W(folder))) {
        std::fprintf(stderr, "files left in the cache\n");
        return;
      }
      times[kind].push_back(ms);
    }
  }
  std::printf("cache-10000 %d %.1f %.1f %.1f\n", runs, Median(times[0]), Median(times[1]),
              Median(times[2]));
  std::fflush(stdout);
}

// Where the per-name cost of the program's path goes: the calls it makes per
// name besides the copy and the deletion, each timed alone over `count` calls.
void BenchPerNameCalls(int count) {
  const auto time = [count](const char* label, auto&& call) {
    const double start = NowMs();
    for (int i = 0; i < count; ++i) call(i);
    std::printf("%s %d %.1f 0\n", label, count, NowMs() - start);
  };
  wchar_t buffer[MAX_PATH];
  time("calls-SHGetFolderPathW", [&](int) { ::SHGetFolderPathW(nullptr, 26, nullptr, 0, buffer); });
  WideString staging;
  GetStagingDir(staging);
  time("calls-GetFileAttributesW", [&](int) { ::GetFileAttributesW(W(staging)); });
  time("calls-StagedPath", [&](int i) { StagedPath(Name(i)); });
  time("calls-TargetPath", [&](int i) { TargetPath(Name(i)); });
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string which = argc > 1 ? argv[1] : "all";
  if (which == "all" || which == "install") {
    BenchInstall("install-500x64KiB", 500, 64 * 1024, 11);
    BenchInstall("install-1x256MiB", 1, 256u << 20, 7);
    BenchPerNameCalls(500);
  }
  if (which == "all" || which == "keyed") {
    BenchKeyedInstall("keyed-500x64KiB", 500, 64 * 1024, 11);
    BenchKeyedInstall("keyed-1x256MiB", 1, 256u << 20, 7);
  }
  if (which == "clear") BenchClear(argc > 2 ? std::atoi(argv[2]) : 1);
  return 0;
}
