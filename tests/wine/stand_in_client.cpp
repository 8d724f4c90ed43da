// Stands in for the real client: notes that it started (with its version) in
// KelvoClient.started beside its working folder, then stays alive until it is
// ended. Like a real client it updates itself through the launch library:
//   KelvoClient.exe /update-from DIR   stages every file under DIR (names
//                                      relative to DIR) and starts the updater
//   KelvoClient.exe /clean-cache       starts the updater to clear the cache
//   KelvoClient.exe /update-release DIR KEY [STOP_AFTER [WINDOW_MS]]
//                                      checks the signed release in DIR (or at
//                                      an http address) against KEY, fetches
//                                      what changed (stopping after STOP_AFTER
//                                      bytes unless 0, or once a file
//                                      KelvoClient.cancel appears in its
//                                      working folder; under 64 KiB in
//                                      WINDOW_MS is too slow), applies it
// What the library answered goes to KelvoClient.launch.
#include <windows.h>
// After windows.h.
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "launch/launch.h"
#include "launch/release.h"

#ifndef KELVO_CLIENT_VERSION
#define KELVO_CLIENT_VERSION "1.0"
#endif

namespace {

WideString U(const std::wstring& s) { return WideString(s.begin(), s.end()); }

std::string Utf8(const WideString& s) {
  const auto* w = reinterpret_cast<const wchar_t*>(s.c_str());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, w, -1, out.data(), n, nullptr, nullptr);
  return out;
}

void Note(const wchar_t* file, const std::string& line) {
  wchar_t cwd[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, cwd);
  const std::wstring path = std::wstring(cwd) + L"\\" + file;
  const HANDLE h = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ::CloseHandle(h);
}

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path);
  return p.substr(0, p.rfind(L'\\'));
}

// Stages every file under `dir`, named relative to `root`; false at the first
// failure, with its code in `why`.
bool StageTree(const std::wstring& root, const std::wstring& dir, FileList& names,
               LaunchCode& why) {
  WIN32_FIND_DATAW data{};
  const HANDLE search = ::FindFirstFileW((dir + L"\\*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return true;
  bool ok = true;
  do {
    const std::wstring entry = data.cFileName;
    if (entry == L"." || entry == L"..") continue;
    const std::wstring full = dir + L"\\" + entry;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ok = StageTree(root, full, names, why);
    } else {
      names.push_back(U(full.substr(root.size() + 1)));
      ok = StageFile(U(full), names.back(), &why);
    }
  } while (ok && ::FindNextFileW(search, &data));
  ::FindClose(search);
  return ok;
}

// With a bound, the fetch is stopped once it has that many bytes, as a user
// pressing Cancel would; and whenever the test says Cancel with a file.
bool NoteProgress(std::uint64_t done, std::uint64_t total, void* stopAfter) {
  Note(L"KelvoClient.progress", std::to_string(done) + "/" + std::to_string(total) + "\n");
  wchar_t cwd[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, cwd);
  if (::GetFileAttributesW((std::wstring(cwd) + L"\\KelvoClient.cancel").c_str()) !=
      INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  const std::uint64_t bound = *static_cast<const std::uint64_t*>(stopAfter);
  return bound == 0 || done < bound;
}

std::string Result(const char* step, LaunchCode code, std::size_t file) {
  return std::string(step) + ": code " + std::to_string(code) + ", file " +
         (file == kNoName ? std::string("none") : std::to_string(file)) + "\n";
}

// Check, fetch, apply: what a real client does with a signed release.
std::string UpdateFromRelease(const wchar_t* source, const wchar_t* key, std::uint64_t stopAfter,
                              std::uint64_t floorWindowMs) {
  const std::string version = KELVO_CLIENT_VERSION;
  ReleaseQuery q{U(source),
                 u"stable",
                 U(key),
                 u"KelvoClient",
                 U(OwnFolder()),
                 WideString(version.begin(), version.end()),
                 u"KelvoClient/" + WideString(version.begin(), version.end()),
                 TransferFloor()};
  if (floorWindowMs) q.floor.windowMs = floorWindowMs;
  CheckedRelease r;
  std::size_t file = kNoName;
  LaunchCode code = CheckRelease(q, r, &file);
  // Up to date, and why: a rollout says whether and when this install's turn comes.
  if (code == UpToDate) {
    return Result("check", code, file) +
           (r.rollout == RolloutState::Waiting ? "rollout waiting until " + release::FormatTime(r.turn)
            : r.rollout == RolloutState::Halted ? std::string("rollout halted")
                                                : std::string("rollout open")) +
           "\n";
  }
  if (code != LaunchOk) return Result("check", code, file);
  std::string fetched = "fetching " + std::to_string(r.changed.size()) + " of " +
                        std::to_string(r.manifest.files.size()) + " files, " +
                        std::to_string(r.changedBytes) + " of " + std::to_string(r.totalBytes) +
                        " bytes:";
  for (std::size_t i : r.changed) fetched += " " + Utf8(r.manifest.files[i].name);
  // Which of them come by a delta from the installed file.
  std::string deltas = "by delta (" + std::to_string(r.changedFileBytes) + " bytes of files):";
  for (std::size_t k = 0; k < r.changed.size(); ++k) {
    if (r.via[k] != kWhole) deltas += " " + Utf8(r.manifest.files[r.changed[k]].name);
  }
  Note(L"KelvoClient.launch", fetched + "\n" + deltas + "\n");
  code = FetchRelease(r, NoteProgress, &stopAfter, &file);
  if (code != LaunchOk) return Result("fetch", code, file);
  LaunchRefusal refusal;
  if (!ApplyRelease(r, &refusal)) return Result("apply", refusal.code, refusal.name);
  return "started the updater for " + r.manifest.version + "\n";
}

std::string Launch(const wchar_t* option, const wchar_t* from) {
  const WideString updater = U(OwnFolder() + L"\\updater.exe");
  WideString line;
  if (std::wstring(option) == L"/clean-cache") {
    if (!BuildCleanCacheCommandLine(updater, line)) return "refused the updater path\n";
  } else {
    FileList names;
    LaunchCode why = LaunchOk;
    if (!StageTree(from, from, names, why)) {
      return "staging " + Utf8(names.back()) + " failed: code " + std::to_string(why) + "\n";
    }
    LaunchRefusal refusal;
    if (!BuildUpdateCommandLine(updater, names, line, &refusal)) {
      return "refused the list: code " + std::to_string(refusal.code) + ", name " +
             (refusal.name == kNoName ? std::string("none") : Utf8(names[refusal.name])) + "\n";
    }
  }
  if (!StartUpdater(line)) return "the updater did not start\n";
  return "started the updater (" + std::to_string(line.size()) + " code units): " + Utf8(line) +
         "\n";
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Note(L"KelvoClient.started",
       "started " + std::to_string(::GetCurrentProcessId()) + " " + KELVO_CLIENT_VERSION + "\n");
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv && argc >= 4 && std::wstring(argv[1]) == L"/update-release") {
    const std::uint64_t stopAfter = argc >= 5 ? std::wcstoull(argv[4], nullptr, 10) : 0;
    const std::uint64_t window = argc >= 6 ? std::wcstoull(argv[5], nullptr, 10) : 0;
    Note(L"KelvoClient.launch", UpdateFromRelease(argv[2], argv[3], stopAfter, window));
  } else if (argv && argc >= 2) {
    Note(L"KelvoClient.launch", Launch(argv[1], argc >= 3 ? argv[2] : L""));
  }
  // A real client goes on until the updater ends it.
  for (;;) ::Sleep(INFINITE);
}
