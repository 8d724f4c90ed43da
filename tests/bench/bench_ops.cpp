// Benchmarks of the program's file operations against the raw Windows calls,
// run under Wine. Prints one line per case:
//   CASE RUNS PROGRAM_MEDIAN_MS BASELINE_MEDIAN_MS
// The exe must stand in the folder the files are installed into: the
// program's own operations take that folder from the command line.
#include <windows.h>
// The other Windows headers need it first.

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmdline/locations.h"
#include "sysops/sysops.h"

namespace {

const wchar_t* W(const WideString& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
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

// What the update run does per name, with its one look at where the staging
// folder really is.
double InstallThroughProgram(int count) {
  const double start = NowMs();
  WideString root, realRoot;
  GetClientRoot(root);
  GetFinalFolderPath(root, realRoot);
  const WideString realStaging = StagingDirOf(realRoot);
  for (int i = 0; i < count; ++i) {
    const WideString target = TargetPath(Name(i));
    const WideString staged = StagedPath(Name(i));
    if (!MoveStagedFile(staged, target, ResolvedPath(realStaging, Name(i)))) {
      std::fprintf(stderr, "move failed\n");
    }
  }
  return NowMs() - start;
}

// The raw calls plus the path work that the program must do per name
// (TargetPath, StagedPath with its folder checks, the staged file's attributes).
double InstallPathsAndRawCalls(int count) {
  const double start = NowMs();
  for (int i = 0; i < count; ++i) {
    const WideString target = TargetPath(Name(i));
    const WideString staged = StagedPath(Name(i));
    if (::GetFileAttributesW(W(staged)) == INVALID_FILE_ATTRIBUTES) continue;
    if (!::CopyFileW(W(staged), W(target), FALSE)) std::fprintf(stderr, "copy failed\n");
    ::DeleteFileW(W(staged));
  }
  return NowMs() - start;
}

double InstallRaw(int count) {
  WideString staging;
  GetStagingDir(staging);
  std::vector<std::pair<WideString, WideString>> paths;
  for (int i = 0; i < count; ++i) {
    paths.emplace_back(staging + u"\\" + Name(i), ProgramFolder() + Name(i));
  }
  const double start = NowMs();
  for (const auto& [staged, target] : paths) {
    if (!::CopyFileW(W(staged), W(target), FALSE)) std::fprintf(stderr, "copy failed\n");
    ::DeleteFileW(W(staged));
  }
  return NowMs() - start;
}

// Prints the program's median, the raw calls' and those of the raw calls
// with the per-name path work.
void BenchInstall(const char* label, int count, std::size_t size, int runs) {
  std::vector<double> program, raw, paths;
  for (int r = 0; r < runs; ++r) {
    if (!PrepareInstall(count, size)) return;
    program.push_back(InstallThroughProgram(count));
    if (!PrepareInstall(count, size)) return;
    raw.push_back(InstallRaw(count));
    if (!PrepareInstall(count, size)) return;
    paths.push_back(InstallPathsAndRawCalls(count));
  }
  std::printf("%s %d %.1f %.1f %.1f\n", label, runs, Median(program), Median(raw), Median(paths));
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

// Clearings of the cache folder, the program's and the raw loop's in turns,
// each on its own folder of files that the driver made beforehand (many files
// are made far faster outside Wine, whose every new name scans the folder):
// AppCache\Cache.<run>.program and AppCache\Cache.<run>.raw, each renamed to
// Cache before it is timed.
void BenchClear(int runs) {
  const WideString cache = GetCacheDir();  // ends with "Cache\"
  const WideString appCache = cache.substr(0, cache.size() - 6);
  const WideString folder = cache.substr(0, cache.size() - 1);
  std::vector<double> program, raw;
  for (int r = 0; r < runs; ++r) {
    for (int k = 0; k < 2; ++k) {
      const bool isProgram = (r + k) % 2 == 0;  // who goes first alternates
      const WideString from =
          appCache + u"Cache." + U(std::to_wstring(r)) + (isProgram ? u".program" : u".raw");
      if (!::MoveFileExW(W(from), W(folder), 0)) {
        std::fprintf(stderr, "cannot put the cache folder in place\n");
        return;
      }
      double ms;
      if (isProgram) {
        const double start = NowMs();
        WideString root, realRoot;
        GetClientRoot(root);
        GetFinalFolderPath(root, realRoot);
        DeleteFilesInDir(cache, CacheDirOf(realRoot));
        ms = NowMs() - start;
      } else {
        ms = ClearRaw(cache);
      }
      if (!::RemoveDirectoryW(W(folder))) {
        std::fprintf(stderr, "files left in the cache\n");
        return;
      }
      (isProgram ? program : raw).push_back(ms);
    }
  }
  std::printf("cache-10000 %d %.1f %.1f\n", runs, Median(program), Median(raw));
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
    BenchInstall("install-500x64KiB", 500, 64 * 1024, 7);
    BenchInstall("install-1x256MiB", 1, 256u << 20, 5);
    BenchPerNameCalls(500);
  }
  if (which == "clear") BenchClear(argc > 2 ? std::atoi(argv[2]) : 1);
  return 0;
}
