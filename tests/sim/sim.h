// A simulated Windows for host tests: what the platform seam reaches when the
// logic is linked without the Windows backend. Plain data a test sets up and
// inspects; every seam call is journaled in order.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace sim {

struct Node {
  WideString path;  // as created, for listings
  std::uint32_t attributes = 0;
  std::string content;
  bool locked = false;  // in use: cannot be deleted or overwritten
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

  std::map<WideString, Node> volume;  // key: case-folded, normalised full path
  // The next CopyFileW stops halfway, as on a full disk: half the content
  // stands at the target and the call fails.
  bool interruptNextCopy = false;

  std::vector<std::string> journal;  // "Name(arg, arg)" per seam call, in order
  int badCloses = 0;                 // CloseHandle on a handle that was not open
};

// The one simulated machine; Reset() gives a fresh one with an empty C: drive.
State& World();
void Reset();

// Volume helpers (paths resolved like Windows: case-insensitive, "\\" = "\").
void AddFolder(const WideString& path, std::uint32_t attributes = platform::kAttributeDirectory);
void AddFile(const WideString& path, const std::string& content,
             std::uint32_t attributes = platform::kAttributeArchive);
Node* Find(const WideString& path);
bool Exists(const WideString& path);
std::optional<std::string> ContentOf(const WideString& path);

// Process helpers.
std::uint32_t AddProcess(const WideString& image);
Process* FindProcess(std::uint32_t pid);
std::vector<std::uint32_t> RunningPids(const WideString& image);

// Handles the logic still holds open.
std::size_t OpenHandleCount();

// Journal helpers.
std::vector<std::string> CallsTo(const std::string& name);
std::vector<std::string> CallNames();
std::string Utf8(const WideString& text);

}  // namespace sim
