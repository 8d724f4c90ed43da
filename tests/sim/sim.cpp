#include "sim/sim.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <utility>

#include "platform/platform.h"

namespace sim {
namespace {

State g_state;

// --- handles -----------------------------------------------------------------

enum class HandleKind { Token, Snapshot, Process, Search };

struct SnapshotEntry {
  std::uint32_t pid;
  WideString image;
};

struct OpenHandle {
  HandleKind kind = HandleKind::Token;
  std::uint32_t pid = 0;                // Process
  std::vector<SnapshotEntry> entries;   // Snapshot
  std::vector<WideString> names;        // Search: entry names in order
  std::vector<std::uint32_t> dotAttrs;  // Search: attributes of "." and ".."
  WideString folderKey;                 // Search
  std::size_t next = 0;                 // Snapshot / Search cursor
};

OpenHandle Of(HandleKind kind) {
  OpenHandle h;
  h.kind = kind;
  return h;
}

std::map<std::uintptr_t, OpenHandle> g_handles;
std::uintptr_t g_nextHandle = 0x100;

// GetCurrentProcess is the pseudo-handle -1 on Windows, equal to INVALID_HANDLE_VALUE.
constexpr platform::Handle kCurrentProcess = platform::kInvalidHandle;

platform::Handle NewHandle(OpenHandle h) {
  const std::uintptr_t value = g_nextHandle;
  g_nextHandle += 4;
  g_handles.emplace(value, std::move(h));
  return static_cast<platform::Handle>(value);
}

OpenHandle* Lookup(platform::Handle h) {
  const auto it = g_handles.find(static_cast<std::uintptr_t>(h));
  return it == g_handles.end() ? nullptr : &it->second;
}

// --- journal -----------------------------------------------------------------

std::string Str(const char16_t* s) { return s ? "\"" + Utf8(s) + "\"" : "null"; }
std::string Hex(std::uint32_t v) {
  std::ostringstream o;
  o << "0x" << std::uppercase << std::hex << v;
  return o.str();
}
std::string Dec(std::int64_t v) { return std::to_string(v); }
std::string Ptr(const void* p) { return p ? "ptr" : "null"; }

std::string Describe(platform::Handle h) {
  if (h == platform::kNullHandle) return "null";
  if (h == kCurrentProcess) return "current-process";
  const OpenHandle* open = Lookup(h);
  if (!open) return "closed:" + Hex(static_cast<std::uint32_t>(static_cast<std::uintptr_t>(h)));
  switch (open->kind) {
    case HandleKind::Token:
      return "token";
    case HandleKind::Snapshot:
      return "snapshot";
    case HandleKind::Process:
      return "process:" + Dec(open->pid);
    case HandleKind::Search:
      return "search";
  }
  return "?";
}

void Record(const std::string& name, std::initializer_list<std::string> args) {
  std::string line = name + "(";
  bool first = true;
  for (const std::string& a : args) {
    if (!first) line += ", ";
    line += a;
    first = false;
  }
  g_state.journal.push_back(line + ")");
}

// --- paths -------------------------------------------------------------------

char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

WideString FoldAll(WideString s) {
  for (char16_t& c : s) c = Fold(c);
  return s;
}

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool HasDrive(const WideString& p) { return p.size() >= 2 && p[1] == u':'; }

// Resolves like Windows: relative to the current folder, separators folded,
// "." and ".." applied. Empty result: the path names nothing.
WideString Normalise(const WideString& path) {
  if (path.empty()) return WideString();
  WideString full;
  if (HasDrive(path)) {
    full = path;
  } else if (IsSeparator(path[0])) {
    full = g_state.currentDirectory.substr(0, 2) + path;
  } else {
    full = g_state.currentDirectory + u"\\" + path;
  }
  std::vector<WideString> parts;
  std::size_t i = 0;
  while (i < full.size()) {
    while (i < full.size() && IsSeparator(full[i])) ++i;
    const std::size_t start = i;
    while (i < full.size() && !IsSeparator(full[i])) ++i;
    const WideString part = full.substr(start, i - start);
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (parts.size() > 1) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  WideString out;
  for (const WideString& part : parts) out += (out.empty() ? u"" : u"\\") + part;
  return out;
}

WideString KeyOf(const WideString& path) { return FoldAll(Normalise(path)); }

WideString ParentKey(const WideString& key) {
  const std::size_t k = key.rfind(u'\\');
  return k == WideString::npos ? WideString() : key.substr(0, k);
}

WideString LastSegment(const WideString& path) {
  const std::size_t k = path.find_last_of(u"\\/");
  return k == WideString::npos ? path : path.substr(k + 1);
}

Node* NodeAt(const WideString& key) {
  const auto it = g_state.volume.find(key);
  return it == g_state.volume.end() ? nullptr : &it->second;
}

bool IsFolder(const Node* n) { return n && (n->attributes & platform::kAttributeDirectory); }

bool IsDriveKey(const WideString& key) { return key.size() == 2 && key[1] == u':'; }

void CopyName(const WideString& name, char16_t (&out)[platform::kMaxPath]) {
  const std::size_t n = std::min(name.size(), platform::kMaxPath - 1);
  std::memcpy(out, name.data(), n * sizeof(char16_t));
  out[n] = u'\0';
}

std::vector<WideString> ChildrenOf(const WideString& folderKey) {
  std::vector<WideString> names;
  for (const auto& [key, node] : g_state.volume) {
    if (ParentKey(key) == folderKey && !IsDriveKey(key)) names.push_back(LastSegment(node.path));
  }
  return names;
}

// Fills `data` with the search's next entry that still exists.
bool NextSearchEntry(OpenHandle& search, platform::FindData* data) {
  while (search.next < search.names.size()) {
    const std::size_t index = search.next++;
    const WideString& name = search.names[index];
    if (index < search.dotAttrs.size()) {
      data->dwFileAttributes = search.dotAttrs[index];
      CopyName(name, data->cFileName);
      return true;
    }
    const Node* node = NodeAt(search.folderKey + u"\\" + FoldAll(name));
    if (!node) continue;  // deleted since the search began
    data->dwFileAttributes = node->attributes;
    CopyName(name, data->cFileName);
    return true;
  }
  return false;
}

}  // namespace

State& World() { return g_state; }

void Reset() {
  g_state = State();
  g_handles.clear();
  g_nextHandle = 0x100;
  AddFolder(u"C:");
}

void AddFolder(const WideString& path, std::uint32_t attributes) {
  const WideString full = Normalise(path);
  g_state.volume[FoldAll(full)] = Node{full, attributes | platform::kAttributeDirectory, "", false};
}

void AddFile(const WideString& path, const std::string& content, std::uint32_t attributes) {
  const WideString full = Normalise(path);
  g_state.volume[FoldAll(full)] = Node{full, attributes, content, false};
}

Node* Find(const WideString& path) { return NodeAt(KeyOf(path)); }
bool Exists(const WideString& path) { return Find(path) != nullptr; }

std::optional<std::string> ContentOf(const WideString& path) {
  const Node* n = Find(path);
  if (!n || IsFolder(n)) return std::nullopt;
  return n->content;
}

std::uint32_t AddProcess(const WideString& image) {
  Process p;
  p.pid = g_state.nextPid;
  g_state.nextPid += 4;
  p.image = image;
  g_state.processes.push_back(p);
  return p.pid;
}

Process* FindProcess(std::uint32_t pid) {
  for (Process& p : g_state.processes) {
    if (p.pid == pid) return &p;
  }
  return nullptr;
}

std::vector<std::uint32_t> RunningPids(const WideString& image) {
  std::vector<std::uint32_t> pids;
  for (const Process& p : g_state.processes) {
    if (p.running && p.image == image) pids.push_back(p.pid);
  }
  return pids;
}

std::size_t OpenHandleCount() { return g_handles.size(); }

std::vector<std::string> CallsTo(const std::string& name) {
  std::vector<std::string> calls;
  for (const std::string& line : g_state.journal) {
    if (line.compare(0, name.size() + 1, name + "(") == 0) calls.push_back(line);
  }
  return calls;
}

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const std::string& line : g_state.journal) names.push_back(line.substr(0, line.find('(')));
  return names;
}

std::string Utf8(const WideString& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace sim

// --- the seam, simulated -------------------------------------------------------

namespace platform {

using namespace sim;

const char16_t* GetCommandLineW() {
  Record("GetCommandLineW", {});
  return g_state.commandLine.c_str();
}

Handle GetCurrentProcess() {
  Record("GetCurrentProcess", {});
  return kCurrentProcess;
}

Handle CreateToolhelp32Snapshot(std::uint32_t flags, std::uint32_t processId) {
  Record("CreateToolhelp32Snapshot", {Hex(flags), Dec(processId)});
  if (g_state.snapshotFails || flags != 0x2) return kInvalidHandle;
  OpenHandle h = Of(HandleKind::Snapshot);
  for (const Process& p : g_state.processes) {
    if (p.running) h.entries.push_back({p.pid, p.image});
  }
  return NewHandle(std::move(h));
}

namespace {
Bool SnapshotEntryAt(Handle snapshot, ProcessEntry* entry, bool first) {
  OpenHandle* h = Lookup(snapshot);
  // Windows refuses an entry whose size field is not the native structure's.
  if (!h || h->kind != HandleKind::Snapshot || entry->dwSize != kProcessEntrySizeX86) return kFalse;
  if (first) h->next = 0;
  if (h->next >= h->entries.size()) return kFalse;
  const SnapshotEntry& e = h->entries[h->next++];
  entry->th32ProcessID = e.pid;
  CopyName(e.image, entry->szExeFile);
  return kTrue;
}
}  // namespace

Bool Process32FirstW(Handle snapshot, ProcessEntry* entry) {
  Record("Process32FirstW", {Describe(snapshot), Dec(entry->dwSize)});
  return SnapshotEntryAt(snapshot, entry, true);
}

Bool Process32NextW(Handle snapshot, ProcessEntry* entry) {
  Record("Process32NextW", {Describe(snapshot), Dec(entry->dwSize)});
  return SnapshotEntryAt(snapshot, entry, false);
}

Handle OpenProcess(std::uint32_t access, Bool inheritHandle, std::uint32_t processId) {
  Record("OpenProcess", {Hex(access), Dec(inheritHandle), Dec(processId)});
  Process* p = FindProcess(processId);
  if (!p || !p->running || p->refuseOpen) return kNullHandle;
  OpenHandle h = Of(HandleKind::Process);
  h.pid = processId;
  return NewHandle(std::move(h));
}

Bool TerminateProcess(Handle process, std::uint32_t exitCode) {
  Record("TerminateProcess", {Describe(process), Dec(exitCode)});
  const OpenHandle* h = Lookup(process);
  Process* p = h && h->kind == HandleKind::Process ? FindProcess(h->pid) : nullptr;
  if (!p || p->terminateFails || !p->running) return kFalse;
  p->exitCode = exitCode;
  if (!p->outlivesWait) p->running = false;
  return kTrue;
}

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) {
  Record("WaitForSingleObject", {Describe(object), Dec(milliseconds)});
  constexpr std::uint32_t kWaitObject0 = 0, kWaitTimeout = 0x102, kWaitFailed = 0xFFFFFFFF;
  const OpenHandle* h = Lookup(object);
  if (!h || h->kind != HandleKind::Process) return kWaitFailed;
  const Process* p = FindProcess(h->pid);
  if (!p || !p->running) return kWaitObject0;
  g_state.waitedMs += milliseconds;
  return kWaitTimeout;
}

Bool CloseHandle(Handle object) {
  Record("CloseHandle", {Describe(object)});
  if (g_handles.erase(static_cast<std::uintptr_t>(object)) == 0) {
    ++g_state.badCloses;
    return kFalse;
  }
  return kTrue;
}

std::uint32_t GetFileAttributesW(const char16_t* path) {
  Record("GetFileAttributesW", {Str(path)});
  const Node* n = NodeAt(KeyOf(path));
  return n ? n->attributes : kInvalidFileAttributes;
}

Bool SetFileAttributesW(const char16_t* path, std::uint32_t attributes) {
  Record("SetFileAttributesW", {Str(path), Hex(attributes)});
  Node* n = NodeAt(KeyOf(path));
  if (!n) return kFalse;
  // Only the settable bits change; a file left with none reads back as NORMAL.
  const std::uint32_t settable = 0x1 | 0x2 | 0x4 | 0x20 | 0x100 | 0x2000;
  std::uint32_t a = (n->attributes & ~settable) | (attributes & settable);
  if (a == 0) a = kAttributeNormal;
  if (a != kAttributeNormal) a &= ~kAttributeNormal;
  n->attributes = a;
  return kTrue;
}

Bool CreateDirectoryW(const char16_t* path) {
  Record("CreateDirectoryW", {Str(path)});
  const WideString full = Normalise(path);
  const WideString key = FoldAll(full);
  if (key.empty() || NodeAt(key) || !IsFolder(NodeAt(ParentKey(key)))) return kFalse;
  g_state.volume[key] = Node{full, kAttributeDirectory, "", false};
  return kTrue;
}

Bool CopyFileW(const char16_t* existing, const char16_t* target, Bool failIfExists) {
  Record("CopyFileW", {Str(existing), Str(target), Dec(failIfExists)});
  const Node* from = NodeAt(KeyOf(existing));
  const WideString full = Normalise(target);
  const WideString key = FoldAll(full);
  if (!from || IsFolder(from) || key.empty() || !IsFolder(NodeAt(ParentKey(key)))) return kFalse;
  Node* to = NodeAt(key);
  if (to && (failIfExists || IsFolder(to) || to->locked || (to->attributes & kAttributeReadOnly))) {
    return kFalse;
  }
  // The copy carries the source's attributes; an existing target keeps its name.
  const WideString shown = to ? to->path : full;
  const bool interrupted = std::exchange(g_state.interruptNextCopy, false);
  const std::string content =
      interrupted ? from->content.substr(0, from->content.size() / 2) : from->content;
  g_state.volume[key] = Node{shown, from->attributes | kAttributeArchive, content, false};
  g_state.volume[key].attributes &= ~kAttributeNormal;
  return interrupted ? kFalse : kTrue;
}

Bool DeleteFileW(const char16_t* path) {
  Record("DeleteFileW", {Str(path)});
  const WideString key = KeyOf(path);
  const Node* n = NodeAt(key);
  if (!n || IsFolder(n) || n->locked || (n->attributes & kAttributeReadOnly)) return kFalse;
  g_state.volume.erase(key);
  return kTrue;
}

Bool MoveFileExW(const char16_t* existing, const char16_t* target, std::uint32_t flags) {
  Record("MoveFileExW", {Str(existing), Str(target), Hex(flags)});
  const WideString fromKey = KeyOf(existing);
  const Node* from = NodeAt(fromKey);
  const WideString full = Normalise(target);
  const WideString key = FoldAll(full);
  if (!from || IsFolder(from) || from->locked || key.empty() || !IsFolder(NodeAt(ParentKey(key)))) {
    return kFalse;
  }
  if (key == fromKey) return kTrue;
  const Node* to = NodeAt(key);
  if (to && (!(flags & kMoveFileReplaceExisting) || IsFolder(to) || to->locked ||
             (to->attributes & kAttributeReadOnly))) {
    return kFalse;
  }
  Node moved = *from;
  moved.path = full;
  g_state.volume.erase(fromKey);
  g_state.volume[key] = moved;
  return kTrue;
}

Handle FindFirstFileW(const char16_t* pattern, FindData* data) {
  Record("FindFirstFileW", {Str(pattern)});
  const WideString full = Normalise(pattern);
  const WideString mask = LastSegment(WideString(pattern));
  const WideString folderKey = ParentKey(FoldAll(full));
  const Node* folder = NodeAt(folderKey);
  if (!IsFolder(folder)) return kInvalidHandle;

  OpenHandle h = Of(HandleKind::Search);
  h.folderKey = folderKey;
  if (mask == u"*") {
    if (!IsDriveKey(folderKey)) {
      const Node* parent = NodeAt(ParentKey(folderKey));
      h.names = {u".", u".."};
      h.dotAttrs = {folder->attributes, parent ? parent->attributes : kAttributeDirectory};
    }
    std::vector<WideString> children = ChildrenOf(folderKey);
    std::sort(children.begin(), children.end(),
              [](const WideString& a, const WideString& b) { return FoldAll(a) < FoldAll(b); });
    h.names.insert(h.names.end(), children.begin(), children.end());
  } else if (const Node* exact = NodeAt(FoldAll(full))) {
    h.names = {LastSegment(exact->path)};
  }
  if (!NextSearchEntry(h, data)) return kInvalidHandle;
  return NewHandle(std::move(h));
}

Bool FindNextFileW(Handle search, FindData* data) {
  Record("FindNextFileW", {Describe(search)});
  OpenHandle* h = Lookup(search);
  if (!h || h->kind != HandleKind::Search) return kFalse;
  return NextSearchEntry(*h, data) ? kTrue : kFalse;
}

Bool FindClose(Handle search) {
  Record("FindClose", {Describe(search)});
  const OpenHandle* h = Lookup(search);
  if (!h || h->kind != HandleKind::Search) {
    ++g_state.badCloses;
    return kFalse;
  }
  g_handles.erase(static_cast<std::uintptr_t>(search));
  return kTrue;
}

Bool SetDefaultDllDirectories(std::uint32_t flags) {
  Record("SetDefaultDllDirectories", {Hex(flags)});
  return kTrue;
}

Bool OpenProcessToken(Handle process, std::uint32_t access, Handle* token) {
  Record("OpenProcessToken", {Describe(process), Hex(access)});
  if (g_state.tokenOpenFails || process != kCurrentProcess) {
    *token = kNullHandle;
    return kFalse;
  }
  *token = NewHandle(Of(HandleKind::Token));
  return kTrue;
}

Bool LookupPrivilegeValueW(const char16_t* systemName, const char16_t* name, Luid* luid) {
  Record("LookupPrivilegeValueW", {Str(systemName), Str(name)});
  if (g_state.privilegeLookupFails || WideString(name) != u"SeDebugPrivilege") return kFalse;
  *luid = Luid{20, 0};  // SeDebugPrivilege's well-known value
  return kTrue;
}

Bool AdjustTokenPrivileges(Handle token, Bool disableAll, const TokenPrivileges* newState,
                           std::uint32_t bufferLength, TokenPrivileges* previousState,
                           std::uint32_t* returnLength) {
  Record("AdjustTokenPrivileges",
         {Describe(token), Dec(disableAll),
          Dec(newState->PrivilegeCount) + ":" + Dec(newState->Privileges[0].Luid.LowPart) + ":" +
              Hex(newState->Privileges[0].Attributes),
          Dec(bufferLength), Ptr(previousState), Ptr(returnLength)});
  const OpenHandle* h = Lookup(token);
  if (!h || h->kind != HandleKind::Token) return kFalse;
  if (newState->PrivilegeCount == 1 && newState->Privileges[0].Luid.LowPart == 20 &&
      newState->Privileges[0].Attributes == 0x2) {
    g_state.debugPrivilegeEnabled = true;
  }
  return kTrue;
}

std::int32_t SHGetFolderPathW(Handle owner, std::int32_t folder, Handle token, std::uint32_t flags,
                              char16_t* path) {
  Record("SHGetFolderPathW", {Describe(owner), Dec(folder), Describe(token), Dec(flags)});
  if (g_state.appDataResult < 0) return g_state.appDataResult;
  if (folder != 26 || g_state.appDataPath.size() >= kMaxPath) return -2147024809;  // E_INVALIDARG
  std::memcpy(path, g_state.appDataPath.c_str(),
              (g_state.appDataPath.size() + 1) * sizeof(char16_t));
  return g_state.appDataResult;
}

Bool PathAppendW(char16_t* path, const char16_t* more) {
  Record("PathAppendW", {Str(path), Str(more)});
  WideString joined = path;
  WideString tail = more;
  while (!tail.empty() && tail[0] == u'\\') tail.erase(0, 1);
  if (!joined.empty() && joined.back() != u'\\' && !tail.empty()) joined += u'\\';
  joined += tail;
  if (joined.size() >= kMaxPath) return kFalse;
  std::memcpy(path, joined.c_str(), (joined.size() + 1) * sizeof(char16_t));
  return kTrue;
}

Bool ShellExecuteExW(ShellExecuteInfo* info) {
  Record("ShellExecuteExW",
         {Dec(info->cbSize), Hex(info->fMask), Describe(info->hwnd), Str(info->lpVerb),
          Str(info->lpFile), Str(info->lpParameters), Str(info->lpDirectory), Dec(info->nShow)});
  if (info->cbSize != sizeof(ShellExecuteInfo)) return kFalse;
  bool started;
  WideString where = info->lpFile;
  if (info->lpDirectory && !HasDrive(where)) where = WideString(info->lpDirectory) + u"\\" + where;
  if (g_state.launchResult) {
    started = *g_state.launchResult;
  } else {
    const Node* n = NodeAt(KeyOf(where));
    started = n && !IsFolder(n);
  }
  if (!started) return kFalse;
  g_state.launches.push_back({info->lpFile, info->lpParameters ? info->lpParameters : u"",
                              info->lpDirectory ? info->lpDirectory : u"", info->nShow});
  const std::uint32_t pid = AddProcess(LastSegment(info->lpFile));
  if (info->fMask & 0x40) {
    OpenHandle h = Of(HandleKind::Process);
    h.pid = pid;
    info->hProcess = NewHandle(std::move(h));
  }
  return kTrue;
}

std::intptr_t ShellExecuteW(Handle owner, const char16_t* verb, const char16_t* file,
                            const char16_t* parameters, const char16_t* directory,
                            std::int32_t showCommand) {
  Record("ShellExecuteW", {Describe(owner), Str(verb), Str(file), Str(parameters), Str(directory),
                           Dec(showCommand)});
  g_state.openedUrls.push_back(file);
  return 42;  // greater than 32: success
}

std::int32_t MessageBoxW(Handle owner, const char16_t* text, const char16_t* caption,
                         std::uint32_t type) {
  Record("MessageBoxW", {Describe(owner), Str(text), Str(caption), Hex(type)});
  g_state.messageBoxes.push_back({text, caption, type});
  if (g_state.messageBoxAnswers.empty()) return 1;  // IDOK
  const std::int32_t answer = g_state.messageBoxAnswers.front();
  g_state.messageBoxAnswers.erase(g_state.messageBoxAnswers.begin());
  return answer;
}

std::intptr_t DefWindowProcW(Handle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) {
  Record("DefWindowProcW",
         {Describe(window), Dec(message), Dec(static_cast<std::int64_t>(wParam)), Dec(lParam)});
  return 0;
}

std::int32_t CoInitialize(const void* reserved) {
  Record("CoInitialize", {Ptr(reserved)});
  const bool already = g_state.comInitialized;
  g_state.comInitialized = true;
  return already ? 1 : 0;  // S_FALSE, S_OK
}

void CoUninitialize() {
  Record("CoUninitialize", {});
  g_state.comInitialized = false;
}

}  // namespace platform
