#include "sim/sim.h"

#include "support/text.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <sstream>
#include <utility>

#include "release/format.h"
#include "platform/platform.h"

namespace sim {
namespace {

State g_state;

// --- handles -----------------------------------------------------------------

enum class HandleKind {
  Token,
  Snapshot,
  Process,
  Search,
  File,
  Algorithm,
  Hash,
  Key,
  WebSession,
  WebConnect,
  WebRequest,
  Event,
  Mapping
};

struct SnapshotEntry {
  std::uint32_t pid;
  WideString image;
};

struct OpenHandle {
  HandleKind kind = HandleKind::Token;
  std::uint32_t pid = 0;                 // Process
  std::vector<SnapshotEntry> entries;    // Snapshot
  std::vector<WideString> names;         // Search: entry names in order
  std::vector<std::uint32_t> dotAttrs;   // Search: attributes of "." and ".."
  WideString folderKey;                  // Search
  std::size_t next = 0;                  // Snapshot / Search cursor; File position
  std::uint64_t nodeId = 0;              // File
  std::uint32_t access = 0;              // File
  std::uint32_t share = 0x7;             // File: the sharing it grants others
  bool deleteOnClose = false;            // File
  WideString algorithm;                  // Algorithm
  std::shared_ptr<EVP_MD_CTX> digest;    // Hash
  std::array<std::uint8_t, 64> point{};  // Key: X||Y
  std::string url;                       // WebConnect: "scheme://host:port"; WebRequest: whole
  bool sent = false, received = false;   // WebRequest
  std::size_t rangeFrom = 0;             // WebRequest: "Range: bytes=N-" asked
  std::size_t held = 0;      // WebRequest: of what came (`next`), what WinHTTP holds unread
  void* readInto = nullptr;  // WebRequest: a whole read waiting, its buffer and size
  std::size_t readSize = 0;
  std::uint64_t lastArrival = 0;
  // Web handles: opened asynchronous, their callback and context, inherited
  // by the handles made from them; the receive timeout, likewise.
  bool async = false;
  std::string proxy;  // web handles: the named proxy of their session
  platform::WinHttpStatusCallback callback = nullptr;
  std::uintptr_t context = 0;
  std::uint32_t receiveTimeout = 30000;
  // WebRequest: a call waiting on a server that sends nothing, since when.
  std::uint32_t pending = 0;  // the completion it waits for; 0: none
  std::uint64_t pendingSince = 0;
  bool signaled = false;  // Event
  std::uint64_t mappingSize = 0;  // Mapping, of the file `nodeId`
  bool mappingWrites = false;
};

// A mapped view: a copy of the file's bytes, copied back when a writable view
// is unmapped. Nothing here reads the file through a handle while it is mapped.
struct View {
  std::uint64_t nodeId = 0;
  std::uint64_t offset = 0;
  bool writes = false;
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t size = 0;
};
std::map<const void*, View> g_views;

// Closed requests whose last callbacks are still to come, as WinHTTP may
// tear a request down after the call that closed it returns.
struct Closing {
  platform::Handle handle;
  platform::WinHttpStatusCallback callback;
  std::uintptr_t context;
  bool cancelled;  // a call was pending: it fails first
};
std::vector<Closing> g_closing;

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
    case HandleKind::File:
      return "file";
    case HandleKind::Algorithm:
      return "algorithm";
    case HandleKind::Hash:
      return "hash";
    case HandleKind::Key:
      return "key";
    case HandleKind::WebSession:
      return "web-session";
    case HandleKind::WebConnect:
      return "web-connect";
    case HandleKind::WebRequest:
      return "web-request";
    case HandleKind::Event:
      return "event";
    case HandleKind::Mapping:
      return "mapping";
  }
  return "?";
}

void Record(const std::string& name, std::initializer_list<std::string> args) {
  if (g_state.killBeforeCall && g_state.journal.size() == *g_state.killBeforeCall) {
    g_state.killBeforeCall.reset();
    throw Killed{};
  }
  if (g_state.swap && g_state.journal.size() == g_state.swap->beforeCall) {
    const State::PlannedSwap swap = *g_state.swap;
    g_state.swap.reset();
    SwapForLink(swap.folder, swap.target);
  }
  if (g_state.otherThread && g_state.journal.size() == g_state.otherThread->beforeCall) {
    const std::function<void()> run = std::move(g_state.otherThread->run);
    g_state.otherThread.reset();
    const std::uint32_t lastError = g_state.lastError;
    run();
    g_state.lastError = lastError;
  }
  std::string line = name + "(";
  bool first = true;
  for (const std::string& a : args) {
    if (!first) line += ", ";
    line += a;
    first = false;
  }
  g_state.journal.push_back(line + ")");
}

// Win32 paths stop at MAX_PATH with their terminator; "\\\\?\\" ones do not.
bool TooLong(const char16_t* path) {
  const WideString p = path ? path : u"";
  return p.size() >= platform::kMaxPath && p.compare(0, 4, u"\\\\?\\") != 0;
}

// In use so that it cannot go: marked so by a test, or open through a handle
// that does not share deletion.
bool InUse(const Node* n) {
  if (n->locked) return true;
  for (const auto& [value, h] : g_handles) {
    if (h.kind == HandleKind::File && h.nodeId == n->id &&
        !(h.share & platform::kFileShareDelete)) {
      return true;
    }
  }
  return false;
}

// What of read, write and delete (the sharing bits) an access asks for;
// attributes alone ask for none.
std::uint32_t SharedPartsOf(std::uint32_t access) {
  std::uint32_t parts = 0;
  if (access & (platform::kGenericRead | platform::kFileListDirectory | platform::kFileTraverse)) {
    parts |= platform::kFileShareRead;
  }
  if (access & (platform::kGenericWrite | platform::kFileAppendData)) {
    parts |= platform::kFileShareWrite;
  }
  if (access & platform::kDelete) parts |= platform::kFileShareDelete;
  return parts;
}

// Whether an open with `access` and `share` meets a handle on `n` that
// refuses it, or that it refuses. A handle for attributes alone shares all.
bool SharingViolated(const Node* n, std::uint32_t access, std::uint32_t share) {
  for (const auto& [value, h] : g_handles) {
    if (h.kind != HandleKind::File || h.nodeId != n->id || !SharedPartsOf(h.access)) continue;
    if ((SharedPartsOf(access) & ~h.share) || (SharedPartsOf(h.access) & ~share)) return true;
  }
  return false;
}

// Whether this call of `name` is the one a test chose to fail.
bool FailsNow(const std::string& name) {
  const int n = ++g_state.callCounts[name];
  const auto it = g_state.failingCall.find(name);
  return it != g_state.failingCall.end() && it->second == n;
}

// --- paths -------------------------------------------------------------------

// Windows' upper-case table, for the scripts a client's names are likely to
// use: Latin-1 and Extended-A, Greek, Cyrillic, Armenian, Roman numerals,
// circled and fullwidth letters. Like Wine, final sigma and dotless i stay.
char16_t Upcase(char16_t c) {
  const auto in = [c](char16_t first, char16_t last) { return c >= first && c <= last; };
  const auto minus = [c](int d) { return static_cast<char16_t>(c - d); };
  if (in(u'a', u'z') || (in(0xE0, 0xFE) && c != 0xF7) || in(0x3B1, 0x3C1) || in(0x3C3, 0x3CB) ||
      in(0x430, 0x44F) || in(0xFF41, 0xFF5A)) {
    return minus(0x20);
  }
  if (c == 0xFF) return 0x178;
  // Extended-A pairs: upper then lower, the pairing shifting at 0x139 and 0x179.
  if (in(0x100, 0x12F) || in(0x132, 0x137) || in(0x14A, 0x177)) return c % 2 ? minus(1) : c;
  if (in(0x139, 0x148) || in(0x179, 0x17E)) return c % 2 ? c : minus(1);
  if (in(0x450, 0x45F)) return minus(0x50);
  if (in(0x561, 0x586)) return minus(0x30);
  if (in(0x2170, 0x217F)) return minus(0x10);
  if (in(0x24D0, 0x24E9)) return minus(0x1A);
  return c;
}

// The volume's keys: ASCII lower case, as they always were; the rest upper.
char16_t Fold(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
  return c < 0x80 ? c : Upcase(c);
}

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
  // "\\?\" hands the rest over as it stands: no "/" and no empty segment.
  if (path.compare(0, 4, u"\\\\?\\") == 0) {
    full = path.substr(4);
    if (!HasDrive(full) || full.find(u'/') != WideString::npos ||
        full.find(u"\\\\") != WideString::npos) {
      return WideString();
    }
  } else if (HasDrive(path)) {
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

Node* NodeAt(const WideString& key);

// Resolves like Windows: every link on the way is followed, and the last
// entry's own link too when `followLast`. Empty: the path names nothing.
WideString Resolve(const WideString& path, bool followLast, int depth = 0) {
  const WideString full = Normalise(path);
  if (full.empty() || depth > 31) return WideString();
  WideString key;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(full.find(u'\\', start), full.size());
    const WideString part = FoldAll(full.substr(start, end - start));
    key = key.empty() ? part : key + u"\\" + part;
    const bool last = end == full.size();
    const Node* n = (!last || followLast) ? NodeAt(key) : nullptr;
    if (n && !n->linkTarget.empty()) {
      key = Resolve(n->linkTarget, true, depth + 1);
      if (key.empty()) return key;
    }
    if (last) return key;
    start = end + 1;
  }
}

// The entry a path names; a link at its end is that link.
WideString KeyOf(const WideString& path) { return Resolve(path, false); }
// The file or folder a path reaches, links followed to the end.
WideString TargetKeyOf(const WideString& path) { return Resolve(path, true); }

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

Node MakeNode(const WideString& path, std::uint32_t attributes, const std::string& content) {
  Node n;
  n.path = path;
  n.attributes = attributes;
  n.content = content;
  n.id = g_state.nextNodeId++;
  return n;
}

// The key under which the file with this id stands now, or empty.
WideString KeyOfId(std::uint64_t id) {
  for (const auto& [key, node] : g_state.volume) {
    if (node.id == id) return key;
  }
  return WideString();
}

// "\\?\" and the path with each name as it stands on disk.
WideString FinalPathOfKey(const WideString& key) {
  WideString out = u"\\\\?";
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(key.find(u'\\', start), key.size());
    const Node* n = NodeAt(key.substr(0, end));
    out += u"\\" + (n ? LastSegment(n->path) : key.substr(start, end - start));
    if (end == key.size()) return out;
    start = end + 1;
  }
}

// Moves the entry at `from` and everything below it to `to`; the files keep
// their identity, as a rename on one volume does.
void MoveTree(const WideString& from, const WideString& to, const WideString& path) {
  std::vector<std::pair<WideString, Node>> moved;
  for (auto it = g_state.volume.begin(); it != g_state.volume.end();) {
    if (it->first == from || it->first.compare(0, from.size() + 1, from + u"\\") == 0) {
      Node n = it->second;
      if (it->first == from) n.path = path;
      moved.emplace_back(to + it->first.substr(from.size()), n);
      it = g_state.volume.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [k, n] : moved) g_state.volume[k] = n;
}

bool HasChildren(const WideString& folderKey) {
  for (const auto& entry : g_state.volume) {
    if (ParentKey(entry.first) == folderKey) return true;
  }
  return false;
}

// What SetFileAttributesW and FileBasicInfo change: only the settable bits; a
// file left with none reads back as NORMAL.
void ApplyAttributes(Node& n, std::uint32_t attributes) {
  const std::uint32_t settable = 0x1 | 0x2 | 0x4 | 0x20 | 0x100 | 0x2000;
  std::uint32_t a = (n.attributes & ~settable) | (attributes & settable);
  if (a == 0) a = platform::kAttributeNormal;
  if (a != platform::kAttributeNormal) a &= ~platform::kAttributeNormal;
  n.attributes = a;
}

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
  FinishClosedRequests();
  g_state = State();
  g_handles.clear();
  g_views.clear();
  g_nextHandle = 0x100;
  AddFolder(u"C:");
}

void AddFolder(const WideString& path, std::uint32_t attributes) {
  g_state.volume[KeyOf(path)] =
      MakeNode(Normalise(path), attributes | platform::kAttributeDirectory, "");
}

void AddFile(const WideString& path, const std::string& content, std::uint32_t attributes) {
  g_state.volume[KeyOf(path)] = MakeNode(Normalise(path), attributes, content);
}

void AddLink(const WideString& path, const WideString& target) {
  // A junction shows as a folder; a file's link carries the archive bit, as mklink makes it.
  const std::uint32_t kind = IsFolder(NodeAt(TargetKeyOf(target))) ? platform::kAttributeDirectory
                                                                   : platform::kAttributeArchive;
  Node link = MakeNode(Normalise(path), platform::kAttributeReparsePoint | kind, "");
  link.linkTarget = Normalise(target);
  g_state.volume[KeyOf(path)] = link;
}

void SwapForLink(const WideString& folder, const WideString& target) {
  const WideString key = KeyOf(folder);
  MoveTree(key, key + u".old", g_state.volume[key].path + u".old");
  AddLink(folder, target);
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

std::vector<std::string> FilesIn(const WideString& folder) {
  const WideString folderKey = KeyOf(folder);
  std::vector<std::string> names;
  for (const auto& [key, node] : g_state.volume) {
    if (ParentKey(key) == folderKey && !IsFolder(&node))
      names.push_back(Utf8(LastSegment(node.path)));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t OpenHandleCount() { return g_handles.size(); }

void EndProcess() {
  while (!g_handles.empty()) {
    const auto handle = static_cast<platform::Handle>(g_handles.begin()->first);
    g_state.killBeforeCall.reset();
    platform::CloseHandle(handle);
  }
}

void PowerCut() {
  for (auto& [key, node] : g_state.volume) {
    if (node.unflushed) node.content.assign(node.content.size(), '\0');
    node.unflushed = false;
  }
}

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

std::string Utf8(const WideString& text) { return test::Utf8(text); }

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

OpenHandle* CryptoHandle(Handle h, HandleKind kind);
void CompleteWithError(Handle request, std::uint32_t error);
void FillWholeReads();
std::size_t Arrive(OpenHandle& r);

// The time passes; a call that has waited out its receive timeout fails,
// which sets its event. A wait no call can end fails, so that a loop on it ends.
std::uint32_t WaitForEvent(Handle event, std::uint32_t milliseconds) {
  OpenHandle* e = CryptoHandle(event, HandleKind::Event);
  if (!e->signaled) {
    g_state.tickCount += milliseconds;
    FillWholeReads();
    bool waiting = false;
    std::vector<Handle> late;
    for (auto& [value, h] : g_handles) {
      if (h.kind != HandleKind::WebRequest || !h.pending) continue;
      waiting = true;
      if (g_state.tickCount - h.pendingSince >= h.receiveTimeout) {
        h.pending = 0;
        h.readInto = nullptr;
        late.push_back(static_cast<Handle>(value));
      }
    }
    for (Handle r : late) CompleteWithError(r, kErrorWinHttpTimeout);
    e = CryptoHandle(event, HandleKind::Event);
    if (!e) return 0xFFFFFFFF;
    if (!e->signaled) return waiting ? kWaitTimeout : 0xFFFFFFFF;
  }
  e->signaled = false;
  return kWaitObject0;
}

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) {
  Record("WaitForSingleObject", {Describe(object), Dec(milliseconds)});
  constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;
  if (CryptoHandle(object, HandleKind::Event)) return WaitForEvent(object, milliseconds);
  const OpenHandle* h = Lookup(object);
  if (!h || h->kind != HandleKind::Process) return kWaitFailed;
  const Process* p = FindProcess(h->pid);
  if (!p || !p->running) return kWaitObject0;
  g_state.waitedMs += milliseconds;
  return kWaitTimeout;
}

Bool CloseHandle(Handle object) {
  Record("CloseHandle", {Describe(object)});
  const OpenHandle* h = Lookup(object);
  if (!h) {
    ++g_state.badCloses;
    return kFalse;
  }
  if (h->kind == HandleKind::File) {
    const WideString key = KeyOfId(h->nodeId);
    if (!key.empty() && h->deleteOnClose) g_state.volume[key].deletePending = true;
    if (!key.empty() && g_state.volume[key].deletePending) g_state.volume.erase(key);
  }
  g_handles.erase(static_cast<std::uintptr_t>(object));
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
  ApplyAttributes(*n, attributes);
  return kTrue;
}

Bool CreateDirectoryW(const char16_t* path) {
  Record("CreateDirectoryW", {Str(path)});
  const WideString key = KeyOf(path);
  // Room is left for an 8.3 name within MAX_PATH.
  if (key.empty() || NodeAt(key) || !IsFolder(NodeAt(ParentKey(key))) ||
      Normalise(path).size() >= kMaxPath - 12) {
    return kFalse;
  }
  g_state.volume[key] = MakeNode(Normalise(path), kAttributeDirectory, "");
  return kTrue;
}

Bool CopyFileW(const char16_t* existing, const char16_t* target, Bool failIfExists) {
  Record("CopyFileW", {Str(existing), Str(target), Dec(failIfExists)});
  const Node* from = NodeAt(TargetKeyOf(existing));
  const WideString full = Normalise(target);
  const WideString key = TargetKeyOf(target);
  if (!from || IsFolder(from) || key.empty() || !IsFolder(NodeAt(ParentKey(key)))) return kFalse;
  Node* to = NodeAt(key);
  // Windows documents the refusal of a hidden or read-only target.
  if (to && (failIfExists || IsFolder(to) || to->locked ||
             (to->attributes & (kAttributeReadOnly | kAttributeHidden)))) {
    return kFalse;
  }
  // The copy carries the source's attributes; an existing target keeps its name.
  const WideString shown = to ? to->path : full;
  const bool interrupted = std::exchange(g_state.interruptNextCopy, false);
  const std::string content =
      interrupted ? from->content.substr(0, from->content.size() / 2) : from->content;
  const std::uint64_t id = to ? to->id : g_state.nextNodeId++;
  Node copy = MakeNode(shown, (from->attributes | kAttributeArchive) & ~kAttributeNormal, content);
  copy.id = id;
  copy.unflushed = true;
  g_state.volume[key] = copy;
  return interrupted ? kFalse : kTrue;
}

Bool DeleteFileW(const char16_t* path) {
  Record("DeleteFileW", {Str(path)});
  if (FailsNow("DeleteFileW") || TooLong(path)) return kFalse;
  const WideString key = KeyOf(path);
  const Node* n = NodeAt(key);
  if (!n || IsFolder(n) || InUse(n) || (n->attributes & kAttributeReadOnly)) return kFalse;
  g_state.volume.erase(key);
  return kTrue;
}

Bool MoveFileExW(const char16_t* existing, const char16_t* target, std::uint32_t flags) {
  Record("MoveFileExW", {Str(existing), Str(target), Hex(flags)});
  if (FailsNow("MoveFileExW") || TooLong(existing) || TooLong(target)) return kFalse;
  const WideString fromKey = KeyOf(existing);
  const Node* from = NodeAt(fromKey);
  const WideString full = Normalise(target);
  const WideString key = KeyOf(target);
  if (!from || InUse(from) || key.empty() || !IsFolder(NodeAt(ParentKey(key)))) return kFalse;
  if (key == fromKey) return kTrue;
  const Node* to = NodeAt(key);
  // A folder is renamed only to a free name, and never into itself.
  if (IsFolder(from) && (to || key.compare(0, fromKey.size() + 1, fromKey + u"\\") == 0)) {
    return kFalse;
  }
  if (to && (!(flags & kMoveFileReplaceExisting) || IsFolder(to) || InUse(to) ||
             (to->attributes & kAttributeReadOnly))) {
    return kFalse;
  }
  g_state.volume.erase(key);
  MoveTree(fromKey, key, full);
  return kTrue;
}

Handle FindFirstFileW(const char16_t* pattern, FindData* data) {
  Record("FindFirstFileW", {Str(pattern)});
  if (TooLong(pattern)) return kInvalidHandle;
  const WideString mask = LastSegment(WideString(pattern));
  const WideString folderKey = ParentKey(KeyOf(pattern));
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
  } else if (const Node* exact = NodeAt(KeyOf(pattern))) {
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

namespace {

Node* FileOf(Handle file, std::uint32_t access) {
  const OpenHandle* h = Lookup(file);
  if (!h || h->kind != HandleKind::File || (access & ~h->access)) return nullptr;
  const WideString key = KeyOfId(h->nodeId);
  return key.empty() ? nullptr : NodeAt(key);
}

}  // namespace

Handle CreateFileW(const char16_t* path, std::uint32_t access, std::uint32_t shareMode,
                   std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
  Record("CreateFileW", {Str(path), Hex(access), Hex(shareMode), Dec(creationDisposition),
                         Hex(flagsAndAttributes)});
  if (FailsNow("CreateFileW") || TooLong(path)) return kInvalidHandle;
  const bool follow = !(flagsAndAttributes & kFileFlagOpenReparsePoint);
  const WideString key = Resolve(path, follow);
  if (key.empty()) return kInvalidHandle;
  Node* n = NodeAt(key);
  const bool readOnly = n && (n->attributes & kAttributeReadOnly);
  if (n && !n->deletePending && SharingViolated(n, access, shareMode)) {
    g_state.lastError = kErrorSharingViolation;
    return kInvalidHandle;
  }
  if (creationDisposition == kOpenAlways) {
    creationDisposition = n && !n->deletePending ? kOpenExisting : kCreateNew;
  }
  if (creationDisposition == kOpenExisting) {
    if (!n || n->deletePending) return kInvalidHandle;
    // A folder opens only for backup semantics.
    if (IsFolder(n) && !(flagsAndAttributes & kFileFlagBackupSemantics)) return kInvalidHandle;
    // In use: held open without sharing writes or deletion.
    if (n->locked && (access & (kGenericWrite | kDelete))) return kInvalidHandle;
    if (readOnly && (access & kGenericWrite)) return kInvalidHandle;
  } else if (creationDisposition == kCreateAlways || creationDisposition == kCreateNew) {
    if (!IsFolder(NodeAt(ParentKey(key)))) return kInvalidHandle;
    if (n && (creationDisposition == kCreateNew || IsFolder(n) || n->locked || readOnly)) {
      return kInvalidHandle;
    }
    // Windows documents access denied for a hidden or system file asked to lose that bit.
    const std::uint32_t kept = kAttributeHidden | kAttributeSystem;
    if (n && (n->attributes & kept & ~flagsAndAttributes)) return kInvalidHandle;
    const std::uint32_t attributes = (flagsAndAttributes & 0x27) | kAttributeArchive;
    if (n) {
      n->content.clear();
      n->attributes = attributes;
      n->unflushed = true;
    } else {
      n = &(g_state.volume[key] = MakeNode(Normalise(path), attributes, ""));
    }
  } else {
    return kInvalidHandle;
  }
  OpenHandle h = Of(HandleKind::File);
  h.nodeId = n->id;
  h.access = access;
  h.share = shareMode;
  h.deleteOnClose = (flagsAndAttributes & kFileFlagDeleteOnClose) && (access & kDelete);
  return NewHandle(std::move(h));
}

Bool ReadFile(Handle file, void* buffer, std::uint32_t size, std::uint32_t* read) {
  Record("ReadFile", {Describe(file), Dec(size)});
  *read = 0;
  if (FailsNow("ReadFile")) return kFalse;
  const Node* n = FileOf(file, kGenericRead);
  if (!n) return kFalse;
  std::size_t& position = Lookup(file)->next;
  const std::size_t count =
      std::min<std::size_t>(size, n->content.size() - std::min(position, n->content.size()));
  if (count > 0) std::memcpy(buffer, n->content.data() + position, count);
  position += count;
  *read = static_cast<std::uint32_t>(count);
  return kTrue;
}

Bool WriteFile(Handle file, const void* buffer, std::uint32_t size, std::uint32_t* written) {
  Record("WriteFile", {Describe(file), Dec(size)});
  *written = 0;
  if (FailsNow("WriteFile")) return kFalse;
  const OpenHandle* h = Lookup(file);
  const bool appends = h && !(h->access & kGenericWrite) && (h->access & kFileAppendData);
  Node* n = FileOf(file, appends ? kFileAppendData : kGenericWrite);
  if (!n) return kFalse;
  bool fails = std::exchange(g_state.nextWriteFails, false);
  std::size_t count = fails ? size / 2 : size;
  std::size_t& position = Lookup(file)->next;
  if (appends) position = n->content.size();
  const std::size_t growth = position + count > n->content.size()
                                 ? position + count - std::max(n->content.size(), position)
                                 : 0;
  if (g_state.freeBytes && growth > *g_state.freeBytes) {
    count -= growth - *g_state.freeBytes;
    fails = true;
  }
  if (g_state.freeBytes) *g_state.freeBytes -= std::min<std::uint64_t>(growth, *g_state.freeBytes);
  n->unflushed = true;
  if (n->content.size() < position + count) n->content.resize(position + count);
  if (count > 0) std::memcpy(n->content.data() + position, buffer, count);
  position += count;
  *written = static_cast<std::uint32_t>(count);
  return fails ? kFalse : kTrue;
}

Handle CreateFileMappingW(Handle file, std::uint32_t protect, std::uint64_t maximumSize) {
  Record("CreateFileMappingW", {Describe(file), Hex(protect), std::to_string(maximumSize)});
  if (FailsNow("CreateFileMappingW")) return kNullHandle;
  const bool writes = protect == kPageReadWrite;
  if (!writes && protect != kPageReadOnly) return kNullHandle;
  Node* n = FileOf(file, writes ? kGenericRead | kGenericWrite : kGenericRead);
  if (!n) return kNullHandle;
  const std::uint64_t size = maximumSize ? maximumSize : n->content.size();
  // Windows refuses an empty mapping, and a larger one that may not write.
  if (size == 0 || (!writes && size > n->content.size()) || size > (std::uint64_t{1} << 32)) {
    return kNullHandle;
  }
  if (size > n->content.size()) {
    n->content.resize(static_cast<std::size_t>(size));
    n->unflushed = true;
  }
  OpenHandle h = Of(HandleKind::Mapping);
  h.nodeId = n->id;
  h.mappingSize = size;
  h.mappingWrites = writes;
  return NewHandle(std::move(h));
}

void* MapViewOfFile(Handle mapping, std::uint32_t access, std::uint64_t offset, std::size_t size) {
  Record("MapViewOfFile", {Describe(mapping), Hex(access), std::to_string(offset), Dec(size)});
  if (FailsNow("MapViewOfFile")) return nullptr;
  const OpenHandle* h = Lookup(mapping);
  const bool writes = (access & kFileMapWrite) != 0;
  if (!h || h->kind != HandleKind::Mapping || (writes && !h->mappingWrites) ||
      offset >= h->mappingSize) {
    return nullptr;
  }
  if (size == 0) size = static_cast<std::size_t>(h->mappingSize - offset);
  const WideString key = KeyOfId(h->nodeId);
  const Node* n = key.empty() ? nullptr : NodeAt(key);
  if (!n || offset + size > h->mappingSize || offset + size > n->content.size()) return nullptr;
  View v{h->nodeId, offset, writes, std::make_unique<std::uint8_t[]>(size), size};
  std::memcpy(v.bytes.get(), n->content.data() + offset, size);
  void* address = v.bytes.get();
  g_views.emplace(address, std::move(v));
  return address;
}

Bool UnmapViewOfFile(const void* address) {
  Record("UnmapViewOfFile", {});
  const auto it = g_views.find(address);
  if (it == g_views.end()) return kFalse;
  const WideString key = KeyOfId(it->second.nodeId);
  Node* n = key.empty() ? nullptr : NodeAt(key);
  if (it->second.writes && n && it->second.offset + it->second.size <= n->content.size()) {
    std::memcpy(n->content.data() + it->second.offset, it->second.bytes.get(), it->second.size);
  }
  g_views.erase(it);
  return kTrue;
}

Bool FlushFileBuffers(Handle file) {
  Record("FlushFileBuffers", {Describe(file)});
  if (FailsNow("FlushFileBuffers")) return kFalse;
  // Windows asks for a handle that may write.
  Node* n = FileOf(file, kGenericWrite);
  if (!n) return kFalse;
  n->unflushed = false;
  return kTrue;
}

Bool GetFileInformationByHandleEx(Handle file, FileInfoClass infoClass, void* info,
                                  std::uint32_t size) {
  Record("GetFileInformationByHandleEx",
         {Describe(file), Dec(static_cast<std::int32_t>(infoClass))});
  const Node* n = FileOf(file, 0);
  if (!n) return kFalse;
  if (infoClass == FileInfoClass::Basic && size == sizeof(FileBasicInfo)) {
    *static_cast<FileBasicInfo*>(info) = {0, 0, 0, 0, n->attributes};
    return kTrue;
  }
  if (infoClass == FileInfoClass::Standard && size == sizeof(FileStandardInfo)) {
    const auto length = static_cast<std::int64_t>(n->content.size());
    *static_cast<FileStandardInfo*>(info) = {length, length, n->hardLinks, n->deletePending,
                                             IsFolder(n)};
    return kTrue;
  }
  return kFalse;
}

std::int32_t NtCreateFile(Handle* file, std::uint32_t access, Handle root, const char16_t* name,
                          std::uint32_t shareAccess, std::uint32_t createDisposition,
                          std::uint32_t createOptions) {
  Record("NtCreateFile", {Describe(root), Str(name), Hex(access), Hex(shareAccess),
                          Dec(createDisposition), Hex(createOptions)});
  *file = kInvalidHandle;
  const OpenHandle* parent = Lookup(root);
  const WideString parentKey =
      parent && parent->kind == HandleKind::File ? KeyOfId(parent->nodeId) : WideString();
  if (!IsFolder(NodeAt(parentKey)) || createDisposition != kFileOpen) return kStatusAccessDenied;
  // Below the folder the handle stands for, wherever that is now.
  const WideString key =
      Resolve(parentKey + u"\\" + name, !(createOptions & kFileOpenReparsePoint));
  const Node* n = NodeAt(key);
  if (!n || n->deletePending) return kStatusObjectNameNotFound;
  if (IsFolder(n) && (createOptions & kFileNonDirectoryFile)) return kStatusFileIsADirectory;
  if (n->locked && (access & (kGenericWrite | kDelete))) return kStatusSharingViolation;
  OpenHandle h = Of(HandleKind::File);
  h.nodeId = n->id;
  h.access = access;
  h.share = shareAccess;
  *file = NewHandle(std::move(h));
  return kStatusSuccess;
}

std::uint32_t GetFinalPathNameByHandleW(Handle file, char16_t* path, std::uint32_t size,
                                        std::uint32_t flags) {
  Record("GetFinalPathNameByHandleW", {Describe(file), Dec(size), Hex(flags)});
  const OpenHandle* h = Lookup(file);
  // Only the normalised form with a drive letter is modelled.
  if (!h || h->kind != HandleKind::File || flags != kFileNameNormalized) return 0;
  const WideString key = KeyOfId(h->nodeId);
  if (key.empty()) return 0;
  const WideString final = FinalPathOfKey(key);
  if (size <= final.size()) return static_cast<std::uint32_t>(final.size() + 1);
  std::memcpy(path, final.c_str(), (final.size() + 1) * sizeof(char16_t));
  return static_cast<std::uint32_t>(final.size());
}

Bool SetFileInformationByHandle(Handle file, FileInfoClass infoClass, const void* info,
                                std::uint32_t size) {
  Record("SetFileInformationByHandle", {Describe(file), Dec(static_cast<std::int32_t>(infoClass))});
  if (infoClass == FileInfoClass::Disposition && size == sizeof(FileDispositionInfo)) {
    Node* n = FileOf(file, kDelete);
    const WideString key = n ? KeyOfId(n->id) : WideString();
    // Windows refuses to delete a read-only file or a folder that holds anything.
    if (!n || (n->attributes & kAttributeReadOnly) || (IsFolder(n) && HasChildren(key))) {
      return kFalse;
    }
    n->deletePending = static_cast<const FileDispositionInfo*>(info)->Delete;
    return kTrue;
  }
  if (infoClass == FileInfoClass::Basic && size == sizeof(FileBasicInfo)) {
    Node* n = FileOf(file, kFileWriteAttributes);
    if (!n) return kFalse;
    const std::uint32_t attributes = static_cast<const FileBasicInfo*>(info)->FileAttributes;
    if (attributes != 0) ApplyAttributes(*n, attributes);
    return kTrue;
  }
  return kFalse;
}

std::uint32_t GetCurrentDirectoryW(std::uint32_t size, char16_t* buffer) {
  Record("GetCurrentDirectoryW", {Dec(size)});
  const WideString& folder = g_state.currentDirectory;
  if (size <= folder.size()) return static_cast<std::uint32_t>(folder.size() + 1);
  std::memcpy(buffer, folder.c_str(), (folder.size() + 1) * sizeof(char16_t));
  return static_cast<std::uint32_t>(folder.size());
}

std::int32_t CompareStringOrdinal(const char16_t* a, std::int32_t lengthA, const char16_t* b,
                                  std::int32_t lengthB, Bool ignoreCase) {
  Record("CompareStringOrdinal", {Str(a), Str(b), Dec(ignoreCase)});
  if (!a || !b) return 0;
  WideString x = lengthA < 0 ? WideString(a) : WideString(a, static_cast<std::size_t>(lengthA));
  WideString y = lengthB < 0 ? WideString(b) : WideString(b, static_cast<std::size_t>(lengthB));
  if (ignoreCase) {
    for (char16_t& c : x) c = Upcase(c);
    for (char16_t& c : y) c = Upcase(c);
  }
  const int c = x.compare(y);
  return c < 0 ? kCstrLessThan : c == 0 ? kCstrEqual : kCstrGreaterThan;
}

Bool SetDefaultDllDirectories(std::uint32_t flags) {
  Record("SetDefaultDllDirectories", {Hex(flags)});
  return g_state.defaultDllDirectoriesMissing ? kFalse : kTrue;
}

Bool SetDllDirectoryW(const char16_t* path) {
  Record("SetDllDirectoryW", {Str(path)});
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
  const WideString file = info->lpFile;
  WideString where = file;
  if (info->lpDirectory && !HasDrive(where)) where = WideString(info->lpDirectory) + u"\\" + where;
  const auto isExe = [](const WideString& path) {
    const Node* n = NodeAt(TargetKeyOf(path));
    return n && !IsFolder(n);
  };
  // A bare name missing from the directory is searched for further.
  if (file.find_first_of(u"\\/") == WideString::npos && !isExe(where)) {
    for (const WideString& folder : g_state.searchPath) {
      if (isExe(folder + u"\\" + file)) {
        where = folder + u"\\" + file;
        break;
      }
    }
  }
  const bool started = g_state.launchResult ? *g_state.launchResult : isExe(where);
  if (!started) return kFalse;
  g_state.launches.push_back({file, Normalise(where), info->lpParameters ? info->lpParameters : u"",
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

std::uint64_t GetSystemTimeAsFileTime() {
  Record("GetSystemTimeAsFileTime", {});
  return g_state.systemTime;
}

// CNG through OpenSSL: the same SHA-256 and ECDSA, the contract tests prove it.
constexpr std::int32_t kStatusNotFound = static_cast<std::int32_t>(0xC0000225);
constexpr std::int32_t kStatusInvalidHandle = static_cast<std::int32_t>(0xC0000008);
constexpr std::int32_t kStatusInvalidParameter = static_cast<std::int32_t>(0xC000000D);

OpenHandle* CryptoHandle(Handle h, HandleKind kind) {
  OpenHandle* open = Lookup(h);
  return open && open->kind == kind ? open : nullptr;
}

std::int32_t BCryptOpenAlgorithmProvider(Handle* algorithm, const char16_t* id) {
  Record("BCryptOpenAlgorithmProvider", {Str(id)});
  *algorithm = kNullHandle;
  const WideString name = id ? id : u"";
  if (g_state.cngMissing || (name != kBcryptSha256 && name != kBcryptEcdsaP256)) {
    return kStatusNotFound;
  }
  OpenHandle h = Of(HandleKind::Algorithm);
  h.algorithm = name;
  *algorithm = NewHandle(std::move(h));
  return kStatusSuccess;
}

std::int32_t BCryptCloseAlgorithmProvider(Handle algorithm) {
  Record("BCryptCloseAlgorithmProvider", {Describe(algorithm)});
  if (!CryptoHandle(algorithm, HandleKind::Algorithm)) return kStatusInvalidHandle;
  g_handles.erase(static_cast<std::uintptr_t>(algorithm));
  return kStatusSuccess;
}

std::int32_t BCryptCreateHash(Handle algorithm, Handle* hash) {
  Record("BCryptCreateHash", {Describe(algorithm)});
  *hash = kNullHandle;
  const OpenHandle* alg = CryptoHandle(algorithm, HandleKind::Algorithm);
  if (!alg || alg->algorithm != kBcryptSha256) return kStatusInvalidHandle;
  OpenHandle h = Of(HandleKind::Hash);
  h.digest.reset(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(h.digest.get(), EVP_sha256(), nullptr);
  *hash = NewHandle(std::move(h));
  return kStatusSuccess;
}

std::int32_t BCryptHashData(Handle hash, const void* data, std::uint32_t size) {
  Record("BCryptHashData", {Describe(hash), Dec(size)});
  OpenHandle* h = CryptoHandle(hash, HandleKind::Hash);
  if (!h) return kStatusInvalidHandle;
  EVP_DigestUpdate(h->digest.get(), data, size);
  return kStatusSuccess;
}

std::int32_t BCryptFinishHash(Handle hash, std::uint8_t* digest, std::uint32_t size) {
  Record("BCryptFinishHash", {Describe(hash), Dec(size)});
  OpenHandle* h = CryptoHandle(hash, HandleKind::Hash);
  if (!h) return kStatusInvalidHandle;
  if (size != 32) return kStatusInvalidParameter;
  EVP_DigestFinal_ex(h->digest.get(), digest, nullptr);
  return kStatusSuccess;
}

std::int32_t BCryptDestroyHash(Handle hash) {
  Record("BCryptDestroyHash", {Describe(hash)});
  if (!CryptoHandle(hash, HandleKind::Hash)) return kStatusInvalidHandle;
  g_handles.erase(static_cast<std::uintptr_t>(hash));
  return kStatusSuccess;
}

// The public key as OpenSSL takes it: SubjectPublicKeyInfo around the point.
std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> PublicKey(const std::array<std::uint8_t, 64>& p) {
  const release::Bytes der = release::PublicKeyDer(p);
  const unsigned char* at = der.data();
  return {d2i_PUBKEY(nullptr, &at, static_cast<long>(der.size())), EVP_PKEY_free};
}

std::int32_t BCryptImportKeyPair(Handle algorithm, const char16_t* blobType, Handle* key,
                                 const std::uint8_t* blob, std::uint32_t size) {
  Record("BCryptImportKeyPair", {Describe(algorithm), Str(blobType), Dec(size)});
  *key = kNullHandle;
  const OpenHandle* alg = CryptoHandle(algorithm, HandleKind::Algorithm);
  if (!alg || alg->algorithm != kBcryptEcdsaP256) return kStatusInvalidHandle;
  std::uint32_t magic = 0, length = 0;
  if (size >= 8) {
    std::memcpy(&magic, blob, 4);
    std::memcpy(&length, blob + 4, 4);
  }
  if (WideString(blobType ? blobType : u"") != kBcryptEccPublicBlob || size != 8 + 64 ||
      magic != kBcryptEcdsaPublicP256Magic || length != 32) {
    return kStatusInvalidParameter;
  }
  OpenHandle h = Of(HandleKind::Key);
  std::copy(blob + 8, blob + 72, h.point.begin());
  // A point off the curve is no key: refused here at import; Wine imports it
  // and then verifies nothing. The contract asks only the latter.
  if (!PublicKey(h.point)) return kStatusInvalidParameter;
  *key = NewHandle(std::move(h));
  return kStatusSuccess;
}

std::int32_t BCryptVerifySignature(Handle key, const std::uint8_t* hash, std::uint32_t hashSize,
                                   const std::uint8_t* signature, std::uint32_t signatureSize) {
  Record("BCryptVerifySignature", {Describe(key), Dec(hashSize), Dec(signatureSize)});
  const OpenHandle* k = CryptoHandle(key, HandleKind::Key);
  if (!k) return kStatusInvalidHandle;
  if (signatureSize != 64) return kStatusInvalidSignature;
  release::Signature raw{};
  std::copy(signature, signature + 64, raw.begin());
  const release::Bytes der = release::SignatureDer(raw);
  const auto pkey = PublicKey(k->point);
  EVP_PKEY_CTX* ctx = pkey ? EVP_PKEY_CTX_new(pkey.get(), nullptr) : nullptr;
  const bool good = ctx && EVP_PKEY_verify_init(ctx) == 1 &&
                    EVP_PKEY_verify(ctx, der.data(), der.size(), hash, hashSize) == 1;
  EVP_PKEY_CTX_free(ctx);
  return good ? kStatusSuccess : kStatusInvalidSignature;
}

std::int32_t BCryptDestroyKey(Handle key) {
  Record("BCryptDestroyKey", {Describe(key)});
  if (!CryptoHandle(key, HandleKind::Key)) return kStatusInvalidHandle;
  g_handles.erase(static_cast<std::uintptr_t>(key));
  return kStatusSuccess;
}

std::int32_t BCryptGenRandom(std::uint8_t* buffer, std::uint32_t size) {
  Record("BCryptGenRandom", {Dec(size)});
  if (FailsNow("BCryptGenRandom")) return kStatusInvalidParameter;
  return RAND_bytes(buffer, static_cast<int>(size)) == 1 ? kStatusSuccess : kStatusInvalidParameter;
}

std::uint32_t GetLastError() {
  Record("GetLastError", {});
  return g_state.lastError;
}

// WinHTTP against State::web, asynchronous as the library opens it: a call
// that has its answer completes through the callback before it returns (as
// WinHTTP may), one that waits on a silent server completes when a wait on
// its event has lasted the receive timeout.
Bool WebFails(std::uint32_t error) {
  g_state.lastError = error;
  return kFalse;
}

OpenHandle* WebHandle(Handle h, HandleKind kind) {
  OpenHandle* open = CryptoHandle(h, kind);
  return open && open->async ? open : nullptr;  // a synchronous session is not modelled
}

void Complete(Handle request, std::uint32_t status, const void* info, std::uint32_t length) {
  const OpenHandle* r = Lookup(request);
  if (r && r->callback) r->callback(request, r->context, status, info, length);
}

void CompleteWithError(Handle request, std::uint32_t error) {
  const WinHttpAsyncResult result{0, error};
  Complete(request, kWinHttpStatusRequestError, &result, sizeof result);
}

// A connection or request: asynchronous, with its parent's callback and timeout.
OpenHandle ChildOf(const OpenHandle& parent, HandleKind kind) {
  OpenHandle h = Of(kind);
  h.async = true;
  h.callback = parent.callback;
  h.receiveTimeout = parent.receiveTimeout;
  h.proxy = parent.proxy;
  return h;
}

const State::WebAnswer* AnswerFor(const OpenHandle& r) {
  const auto it = g_state.web.find(r.url);
  return it == g_state.web.end() ? nullptr : &it->second;
}

Handle WinHttpOpen(const char16_t* agent, std::uint32_t accessType, const char16_t* proxy,
                   const char16_t* bypass, std::uint32_t flags) {
  Record("WinHttpOpen", {Str(agent), Dec(accessType), Str(proxy), Str(bypass), Hex(flags)});
  if (FailsNow("WinHttpOpen")) return WebFails(kErrorWinHttpConnectionError), kNullHandle;
  OpenHandle h = Of(HandleKind::WebSession);
  h.async = (flags & kWinHttpFlagAsync) != 0;
  if (accessType == kWinHttpAccessTypeNamedProxy && proxy) h.proxy = Utf8(proxy);
  return NewHandle(std::move(h));
}

namespace {

char16_t* ProxyString(const WideString& text) {
  if (text.empty()) return nullptr;
  char16_t* copy = new char16_t[text.size() + 1];
  std::copy(text.begin(), text.end(), copy);
  copy[text.size()] = u'\0';
  ++g_state.unfreedProxyStrings;
  return copy;
}

}  // namespace

Bool WinHttpGetIEProxyConfigForCurrentUser(IeProxyConfig* config) {
  Record("WinHttpGetIEProxyConfigForCurrentUser", {});
  if (FailsNow("WinHttpGetIEProxyConfigForCurrentUser")) return WebFails(12180);  // autodetection failed
  const State::UserProxy& u = g_state.userProxy;
  *config = {u.autoDetect ? kTrue : kFalse, ProxyString(u.autoConfigUrl), ProxyString(u.proxy),
             ProxyString(u.bypass)};
  return kTrue;
}

void* GlobalFree(void* memory) {
  Record("GlobalFree", {});
  if (memory) {
    delete[] static_cast<char16_t*>(memory);
    --g_state.unfreedProxyStrings;
  }
  return nullptr;
}

Bool WinHttpSetStatusCallback(Handle handle, WinHttpStatusCallback callback) {
  Record("WinHttpSetStatusCallback", {Describe(handle), Ptr(reinterpret_cast<void*>(callback))});
  OpenHandle* h = Lookup(handle);
  if (!h || FailsNow("WinHttpSetStatusCallback")) return WebFails(12018);  // incorrect handle type
  h->callback = callback;
  return kTrue;
}

Handle WinHttpConnect(Handle session, const char16_t* server, std::uint16_t port) {
  Record("WinHttpConnect", {Describe(session), Str(server), Dec(port)});
  const OpenHandle* s = WebHandle(session, HandleKind::WebSession);
  if (!s || FailsNow("WinHttpConnect")) return WebFails(kErrorWinHttpCannotConnect), kNullHandle;
  OpenHandle h = ChildOf(*s, HandleKind::WebConnect);
  h.url = Utf8(server) + ":" + std::to_string(port);
  return NewHandle(std::move(h));
}

Handle WinHttpOpenRequest(Handle connect, const char16_t* verb, const char16_t* object,
                          std::uint32_t flags) {
  Record("WinHttpOpenRequest", {Describe(connect), Str(verb), Str(object), Hex(flags)});
  const OpenHandle* c = WebHandle(connect, HandleKind::WebConnect);
  if (!c || FailsNow("WinHttpOpenRequest"))
    return WebFails(kErrorWinHttpConnectionError), kNullHandle;
  OpenHandle h = ChildOf(*c, HandleKind::WebRequest);
  h.url = std::string(flags & kWinHttpFlagSecure ? "https://" : "http://") + c->url + Utf8(object);
  return NewHandle(std::move(h));
}

Bool WinHttpSetTimeouts(Handle handle, std::int32_t resolve, std::int32_t connect,
                        std::int32_t send, std::int32_t receive) {
  Record("WinHttpSetTimeouts",
         {Describe(handle), Dec(resolve), Dec(connect), Dec(send), Dec(receive)});
  if (FailsNow("WinHttpSetTimeouts")) return WebFails(87);  // ERROR_INVALID_PARAMETER
  OpenHandle* h = Lookup(handle);
  if (!h) return kFalse;
  h->receiveTimeout = static_cast<std::uint32_t>(receive);
  return kTrue;
}

Bool WinHttpSetOption(Handle handle, std::uint32_t option, const void* buffer,
                      std::uint32_t length) {
  Record("WinHttpSetOption", {Describe(handle), Dec(option), Ptr(buffer), Dec(length)});
  if (FailsNow("WinHttpSetOption")) return WebFails(87);
  OpenHandle* h = Lookup(handle);
  if (!h) return kFalse;
  if (option == kWinHttpOptionContextValue) {
    if (length != sizeof(std::uintptr_t)) return WebFails(87);
    std::memcpy(&h->context, buffer, sizeof h->context);
  }
  return kTrue;
}

Bool WinHttpSendRequest(Handle request, const char16_t* headers, std::uint32_t headersLength,
                        std::uintptr_t context) {
  Record("WinHttpSendRequest", {Describe(request), Str(headers), Dec(headersLength)});
  OpenHandle* r = WebHandle(request, HandleKind::WebRequest);
  if (!r) return WebFails(kErrorWinHttpConnectionError);
  if (context) r->context = context;
  const std::string asked = headers ? Utf8(WideString(headers, headersLength)) : "";
  g_state.webRequests.push_back((r->proxy.empty() ? "" : "via " + r->proxy + " ") + r->url +
                                (asked.empty() ? "" : " " + asked));
  if (asked.rfind("Range: bytes=", 0) == 0) r->rangeFrom = std::stoul(asked.substr(13));
  if (FailsNow("WinHttpSendRequest")) return WebFails(kErrorWinHttpConnectionError);
  // The host resolves when some address of it is on the simulated web.
  const std::string host = r->url.substr(0, r->url.find('/', r->url.find("://") + 3) + 1);
  const auto known = g_state.web.lower_bound(host);
  r->sent = true;
  const bool proxyUp = r->proxy.empty() || std::find(g_state.proxies.begin(), g_state.proxies.end(),
                                                     r->proxy) != g_state.proxies.end();
  if (!proxyUp) {
    CompleteWithError(request, kErrorWinHttpCannotConnect);
  } else if (known == g_state.web.end() || known->first.compare(0, host.size(), host) != 0) {
    CompleteWithError(request, kErrorWinHttpNameNotResolved);
  } else if (const State::WebAnswer* a = AnswerFor(*r); a && a->failWith) {
    CompleteWithError(request, a->failWith);
  } else {
    Complete(request, kWinHttpStatusSendRequestComplete, nullptr, 0);
  }
  return kTrue;
}

Bool WinHttpReceiveResponse(Handle request) {
  Record("WinHttpReceiveResponse", {Describe(request)});
  OpenHandle* r = WebHandle(request, HandleKind::WebRequest);
  if (!r || !r->sent || FailsNow("WinHttpReceiveResponse")) {
    return WebFails(kErrorWinHttpTimeout);
  }
  const State::WebAnswer* a = AnswerFor(*r);
  if (a && a->silentBeforeHeaders) {
    r->pending = kWinHttpStatusHeadersAvailable;
    r->pendingSince = g_state.tickCount;
    return kTrue;
  }
  r->received = true;
  // Wine reads on past the headers, into the answer.
  if (a && a->wholeReads) Arrive(*r);
  Complete(request, kWinHttpStatusHeadersAvailable, nullptr, 0);
  return kTrue;
}

Bool WinHttpQueryHeaders(Handle request, std::uint32_t infoLevel, std::uint32_t* number) {
  Record("WinHttpQueryHeaders", {Describe(request), Hex(infoLevel)});
  OpenHandle* r = WebHandle(request, HandleKind::WebRequest);
  if (!r || !r->received || infoLevel != kWinHttpQueryStatusCode ||
      FailsNow("WinHttpQueryHeaders")) {
    return WebFails(12150);  // ERROR_WINHTTP_HEADER_NOT_FOUND
  }
  const auto it = g_state.web.find(r->url);
  *number = it == g_state.web.end() ? 404 : it->second.status;
  if (*number == 200 && r->rangeFrom > 0 && it->second.ranges) {
    // 416: nothing from there on.
    *number = r->rangeFrom >= it->second.body.size() ? 416 : 206;
  } else {
    r->rangeFrom = 0;  // the whole file comes
  }
  return kTrue;
}

std::uint64_t GetTickCount64() {
  Record("GetTickCount64", {});
  return g_state.tickCount;
}

// What of the answer can come now: at most one trickle of it, nothing past
// the point where the server falls silent.
std::size_t WebLeft(const OpenHandle& r) {
  const State::WebAnswer* a = AnswerFor(r);
  if (!a) return 0;
  const std::size_t at = r.rangeFrom + r.next;
  std::size_t size = a->body.size();
  if (a->silentFrom) size = std::min(size, *a->silentFrom);
  const std::size_t left = size - std::min(at, size);
  return a->trickle ? std::min(left, a->trickle) : left;
}

// The next part of the answer comes into WinHTTP's hands.
std::size_t Arrive(OpenHandle& r) {
  const std::size_t n = WebLeft(r);
  if (n == 0) return 0;
  g_state.tickCount += AnswerFor(r)->msPerRead;
  r.next += n;
  r.held += n;
  return n;
}

// The server sends no more, short of the answer's end.
bool Silent(const OpenHandle& r) {
  const State::WebAnswer* a = AnswerFor(r);
  return a && a->silentFrom && WebLeft(r) == 0 && r.rangeFrom + r.next < a->body.size();
}
// And WinHTTP holds nothing of it.
bool FallenSilent(OpenHandle& r) { return r.held == 0 && Arrive(r) == 0 && Silent(r); }

// A read completes with what WinHTTP holds, at most `size` of it.
void HandOver(Handle request, OpenHandle& r, void* buffer, std::size_t size) {
  const std::size_t count = std::min(size, r.held);
  if (count > 0)
    std::memcpy(buffer, AnswerFor(r)->body.data() + r.rangeFrom + r.next - r.held, count);
  r.held -= count;
  Complete(request, kWinHttpStatusReadComplete, buffer, static_cast<std::uint32_t>(count));
}

// Whole reads waiting on WinHTTP's thread take what came meanwhile; a full
// one, or one at the answer's end, completes.
void FillWholeReads() {
  std::vector<Handle> done;
  for (auto& [value, h] : g_handles) {
    if (h.kind != HandleKind::WebRequest || !h.readInto) continue;
    const State::WebAnswer* a = AnswerFor(h);
    while (a && h.held < h.readSize && g_state.tickCount - h.lastArrival >= a->msPerRead) {
      const std::size_t n = WebLeft(h);
      if (n == 0) break;
      h.lastArrival += a->msPerRead;
      h.pendingSince = h.lastArrival;  // the receive timeout runs from the last bytes
      h.next += n;
      h.held += n;
    }
    if (h.held >= h.readSize || (WebLeft(h) == 0 && !Silent(h))) {
      done.push_back(static_cast<Handle>(value));
    }
  }
  for (Handle request : done) {
    OpenHandle& r = *Lookup(request);
    void* buffer = r.readInto;
    r.readInto = nullptr;
    r.pending = 0;
    HandOver(request, r, buffer, r.readSize);
  }
}

Bool WinHttpQueryDataAvailable(Handle request) {
  Record("WinHttpQueryDataAvailable", {Describe(request)});
  OpenHandle* r = WebHandle(request, HandleKind::WebRequest);
  if (!r || !r->received || r->pending || FailsNow("WinHttpQueryDataAvailable")) {
    return WebFails(kErrorWinHttpTimeout);
  }
  if (FallenSilent(*r)) {
    r->pending = kWinHttpStatusDataAvailable;  // the bytes never come
    r->pendingSince = g_state.tickCount;
    return kTrue;
  }
  const auto count = static_cast<std::uint32_t>(r->held);
  Complete(request, kWinHttpStatusDataAvailable, &count, sizeof count);
  return kTrue;
}

Bool WinHttpReadData(Handle request, void* buffer, std::uint32_t size) {
  Record("WinHttpReadData", {Describe(request), Dec(size)});
  OpenHandle* r = WebHandle(request, HandleKind::WebRequest);
  if (!r || !r->received || r->pending || FailsNow("WinHttpReadData")) {
    return WebFails(kErrorWinHttpTimeout);
  }
  const State::WebAnswer* a = AnswerFor(*r);
  if (a && a->wholeReads && a->msPerRead > 0 && r->held == 0 && WebLeft(*r) > 0) {
    // Nothing held: the read waits on a thread of WinHTTP's, as the bytes come.
    r->pending = kWinHttpStatusReadComplete;
    r->pendingSince = r->lastArrival = g_state.tickCount;
    r->readInto = buffer;
    r->readSize = size;
    return kTrue;
  }
  if (FallenSilent(*r)) {
    r->pending = kWinHttpStatusReadComplete;
    r->pendingSince = g_state.tickCount;
    return kTrue;
  }
  if (a && a->wholeReads) {
    while (r->held < size && Arrive(*r) > 0) {
    }
    if (r->held < size && Silent(*r)) {
      g_state.tickCount += r->receiveTimeout;  // waited out on the caller's thread
      CompleteWithError(request, kErrorWinHttpTimeout);
      return kTrue;
    }
  }
  HandOver(request, *r, buffer, size);
  return kTrue;
}

Bool WinHttpCloseHandle(Handle handle) {
  Record("WinHttpCloseHandle", {Describe(handle)});
  const OpenHandle* h = Lookup(handle);
  if (!h || (h->kind != HandleKind::WebSession && h->kind != HandleKind::WebConnect &&
             h->kind != HandleKind::WebRequest)) {
    return WebFails(6);  // ERROR_INVALID_HANDLE
  }
  const Closing closing{handle, h->callback, h->context, h->pending != 0};
  g_handles.erase(static_cast<std::uintptr_t>(handle));
  if (!closing.callback || !closing.context) return kTrue;
  // Like Wine, a request with a call pending is torn down later.
  if (closing.cancelled) {
    g_closing.push_back(closing);
  } else {
    closing.callback(handle, closing.context, kWinHttpStatusHandleClosing, nullptr, 0);
  }
  return kTrue;
}

Handle CreateEventW(Bool manualReset, Bool initialState) {
  Record("CreateEventW", {Dec(manualReset), Dec(initialState)});
  if (manualReset || FailsNow("CreateEventW")) return kNullHandle;  // only auto-reset is modelled
  OpenHandle h = Of(HandleKind::Event);
  h.signaled = initialState != kFalse;
  return NewHandle(std::move(h));
}

Bool SetEvent(Handle event) {
  Record("SetEvent", {Describe(event)});
  OpenHandle* h = CryptoHandle(event, HandleKind::Event);
  if (!h) return WebFails(6);
  h->signaled = true;
  return kTrue;
}

Bool GetModuleHandleExW(std::uint32_t flags, const void* address, Handle* module) {
  Record("GetModuleHandleExW", {Hex(flags), Ptr(address)});
  *module = static_cast<Handle>(0x400000);
  return kTrue;
}

}  // namespace platform

namespace sim {

void FinishClosedRequests() {
  std::vector<Closing> closing;
  closing.swap(g_closing);
  for (const Closing& c : closing) {
    if (c.cancelled) {
      const platform::WinHttpAsyncResult result{0, platform::kErrorWinHttpOperationCancelled};
      c.callback(c.handle, c.context, platform::kWinHttpStatusRequestError, &result,
                 sizeof result);
    }
    c.callback(c.handle, c.context, platform::kWinHttpStatusHandleClosing, nullptr, 0);
  }
}

}  // namespace sim
