// A simulated Windows for host tests: what the platform seam reaches when the
// logic is linked without the Windows backend. Plain data a test sets up and
// inspects; every seam call is journaled in order.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace sim {

struct Node {
  WideString path;  // as created; its last segment is the name on disk
  std::uint32_t attributes = 0;
  std::string content;
  bool locked = false;    // in use: cannot be deleted or overwritten
  std::uint64_t id = 0;   // the file itself, whatever its path becomes
  WideString linkTarget;  // a junction or symbolic link to this path
  std::uint32_t hardLinks = 1;
  bool deletePending = false;  // deleted when the handle that asked closes
  bool unflushed = false;      // written since the last flush: a power cut garbles it
};

struct Process {
  std::uint32_t pid = 0;
  WideString image;
  bool refuseOpen = false;
  bool terminateFails = false;
  bool outlivesWait = false;
  bool running = true;
  std::optional<std::uint32_t> exitCode;
};

struct MessageBoxCall {
  WideString text;
  WideString caption;
  std::uint32_t type = 0;
};

struct ShellStart {
  WideString file;
  WideString image;  // where the started exe was found
  WideString parameters;
  WideString directory;
  std::int32_t show = 0;
};

struct State {
  WideString commandLine = u"\"C:\\Kelvo\\updater.exe\"";
  WideString currentDirectory = u"C:\\Kelvo";

  // SHGetFolderPathW(CSIDL_APPDATA): result and folder.
  std::int32_t appDataResult = 0;
  WideString appDataPath = u"C:\\Users\\demo\\AppData\\Roaming";

  bool tokenOpenFails = false;
  bool privilegeLookupFails = false;
  bool debugPrivilegeEnabled = false;
  bool snapshotFails = false;

  std::vector<Process> processes;
  std::uint32_t nextPid = 100;
  std::uint64_t waitedMs = 0;  // simulated time spent in WaitForSingleObject

  std::vector<std::int32_t> messageBoxAnswers;  // popped in order; IDOK when empty
  std::vector<MessageBoxCall> messageBoxes;
  std::optional<bool> launchResult;  // overrides the volume lookup of ShellExecuteExW
  std::vector<ShellStart> launches;  // accepted client starts
  std::vector<WideString> openedUrls;
  bool comInitialized = false;
  // Folders the shell searches for a bare file name missing from the given
  // directory, as the Windows folders, PATH and App Paths are searched.
  std::vector<WideString> searchPath;
  bool defaultDllDirectoriesMissing = false;  // Windows 7 without its loader update

  std::map<WideString, Node> volume;  // key: case-folded, normalised full path
  // The next CopyFileW stops halfway, as on a full disk: half the content
  // stands at the target and the call fails.
  bool interruptNextCopy = false;
  // The next WriteFile writes half its buffer and fails, as on a full disk.
  bool nextWriteFails = false;
  // Bytes the volume can still take; a write that needs more writes what fits
  // and fails, as on a full disk. None: no limit.
  std::optional<std::uint64_t> freeBytes;
  // Call name -> which of its calls (1 for the first) fails without effect, as
  // a failing disk or a refused rename does: ReadFile, WriteFile,
  // FlushFileBuffers, MoveFileExW, CreateFileW, DeleteFileW.
  std::map<std::string, int> failingCall;
  std::map<std::string, int> callCounts;
  // The process is killed just before the seam call with this journal index:
  // that call throws Killed, and nothing of it happens.
  std::optional<std::size_t> killBeforeCall;
  std::uint64_t nextNodeId = 1;

  // Before the seam call with this journal index, `folder` is moved aside
  // (to folder + ".old") and a link to `target` put in its place: what a user
  // racing the updater could do at any step.
  struct PlannedSwap {
    std::size_t beforeCall = 0;
    WideString folder;
    WideString target;
  };
  std::optional<PlannedSwap> swap;

  // Before the seam call with this journal index, `run` runs: another thread
  // of the same process taking its turn between two calls of this one. Its
  // last error is its own, as on Windows.
  struct PlannedTurn {
    std::size_t beforeCall = 0;
    std::function<void()> run;
  };
  std::optional<PlannedTurn> otherThread;

  // The web as WinHTTP sees it: "http://host:port/path" -> the answer. A host
  // with no address here does not resolve; a path missing on a known host is 404.
  struct WebAnswer {
    std::uint32_t status = 200;
    std::string body;
    std::uint32_t failWith = 0;   // the request fails with this error instead
    bool ranges = true;           // answers "Range: bytes=N-" with 206 and the rest
    std::size_t trickle = 0;      // at most this many bytes come at a time (0: any)
    std::uint64_t msPerRead = 0;  // and each time they take this long to come
    // Reads as Wine's: one that finds some of the answer held goes on, on the
    // caller's thread, until it is full.
    bool wholeReads = false;
    // The server falls silent: from this byte of the body on, or before it
    // sends its headers. A call waiting on it fails at the receive timeout.
    std::optional<std::size_t> silentFrom;
    bool silentBeforeHeaders = false;
  };
  std::map<std::string, WebAnswer> web;
  std::vector<std::string> webRequests;  // the addresses asked for, and any range, in order
  // The proxy the user set in Windows' settings, as WinHttpGetIEProxyConfigForCurrentUser
  // gives it; by default none but detection, as on a fresh Windows.
  struct UserProxy {
    bool autoDetect = true;
    WideString autoConfigUrl, proxy, bypass;
  };
  UserProxy userProxy;
  // Named proxies ("host:port") that take connections; a session through any
  // other fails to connect. A request through one is asked for as
  // "via HOST:PORT URL".
  std::vector<std::string> proxies;
  int unfreedProxyStrings = 0;  // of the user's proxy settings, not yet GlobalFree'd
  std::uint32_t lastError = 0;

  // GetTickCount64; reads of a slow answer move it on.
  std::uint64_t tickCount = 3600000;
  // GetSystemTimeAsFileTime: 2026-12-08T12:00:00Z unless a test moves it.
  std::uint64_t systemTime = 134412048000000000ull;
  // CNG (bcrypt.dll) opens no algorithm, as on a system without it.
  bool cngMissing = false;

  std::vector<std::string> journal;  // "Name(arg, arg)" per seam call, in order
  int badCloses = 0;                 // CloseHandle on a handle that was not open
};

// What a killed process sees of the rest of its run.
struct Killed {};

// The one simulated machine; Reset() gives a fresh one with an empty C: drive.
State& World();
void Reset();

// Volume helpers (paths resolved like Windows: case-insensitive, "\\" = "\").
void AddFolder(const WideString& path, std::uint32_t attributes = platform::kAttributeDirectory);
void AddFile(const WideString& path, const std::string& content,
             std::uint32_t attributes = platform::kAttributeArchive);
// A junction (to a folder) or a symbolic link (to a file) at `path`.
void AddLink(const WideString& path, const WideString& target);
// Moves the folder aside to folder + ".old" and puts a link to `target` in its place.
void SwapForLink(const WideString& folder, const WideString& target);
// The entry itself: a link on the way is followed, a link at the end is not.
Node* Find(const WideString& path);
bool Exists(const WideString& path);
std::optional<std::string> ContentOf(const WideString& path);
// The names of the files directly in `folder`, sorted.
std::vector<std::string> FilesIn(const WideString& folder);

// Process helpers.
std::uint32_t AddProcess(const WideString& image);
Process* FindProcess(std::uint32_t pid);
std::vector<std::uint32_t> RunningPids(const WideString& image);

// Handles the logic still holds open.
std::size_t OpenHandleCount();
// The last callbacks of requests closed while a call of theirs waited:
// WinHTTP may give them after the close returns (Wine does at the receive
// timeout). Until then their events stay open.
void FinishClosedRequests();
// What Windows does for a process that ended: every handle it held is closed.
void EndProcess();
// The power fails: what was written and not flushed since is garbage of the
// same length, as a disk that kept the file's size but not its data.
void PowerCut();

// Journal helpers.
std::vector<std::string> CallsTo(const std::string& name);
std::vector<std::string> CallNames();
std::string Utf8(const WideString& text);

}  // namespace sim
