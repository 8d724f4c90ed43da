#include "launch/launch.h"

#include <set>

#include "cmdline/cmdline.h"
#include "cmdline/locations.h"
#include "cmdline/options.h"
#include "platform/platform.h"

namespace {

constexpr char16_t kSeparators[] = u"\\/";
// Forbidden in Windows file names; "|" also splits the updater's list, ":"
// would name a drive or a stream.
constexpr char16_t kForbiddenInNames[] = u"<>\"*?|:";
constexpr char16_t kDeviceNames[][4] = {u"CON", u"PRN", u"AUX", u"NUL"};
constexpr char16_t kNumberedDevices[][4] = {u"COM", u"LPT"};
// A staged file is written under this prefix first, then renamed. No
// stageable name begins with a blank, so no staged file can be clobbered.
constexpr char16_t kPartialPrefix[] = u" ~";
constexpr std::size_t kPartialPrefixLength = 2;
// CreateProcess's limit, terminator included.
constexpr std::size_t kMaxCommandLine = 32767;

constexpr char16_t kVerbOpen[] = u"open";
constexpr std::uint32_t kSeeMaskNoAsync = 0x100;
// The client reports a failed start its own way; the consent prompt still shows.
constexpr std::uint32_t kSeeMaskFlagNoUi = 0x400;
constexpr std::int32_t kSwShowNormal = 1;

char16_t FoldAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

WideString Folded(const WideString& text) {
  WideString out = text;
  for (char16_t& c : out) c = IsPathSeparator(c) ? u'\\' : FoldAscii(c);
  return out;
}

// CON, CON.txt, com1.dll...: Windows opens the device, whatever the extension.
bool IsDeviceName(const WideString& segment) {
  WideString base = Folded(segment.substr(0, segment.find(u'.')));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (const char16_t* device : kDeviceNames) {
    if (base == device) return true;
  }
  for (const char16_t* prefix : kNumberedDevices) {
    if (base.size() == 4 && base.compare(0, 3, prefix) == 0 && base[3] >= u'1' && base[3] <= u'9') {
      return true;
    }
  }
  return false;
}

bool IsStageableSegment(const WideString& segment) {
  return !segment.empty() && segment.front() != u' ' && segment.back() != u' ' &&
         segment.back() != u'.' && !IsDeviceName(segment);
}

bool HoldsOption(const WideString& text) {
  return text.find(kFilesOption) != WideString::npos ||
         text.find(kCleanCacheOption) != WideString::npos;
}

// A full path (C:\... or \\server\...) that can stand in double quotes.
bool IsLaunchableUpdater(const WideString& updater) {
  const bool full = (updater.size() > 3 && updater[1] == u':' && updater[2] == u'\\') ||
                    updater.compare(0, 2, u"\\\\") == 0;
  if (!full || updater.size() >= platform::kMaxPath || HoldsOption(updater)) return false;
  for (char16_t c : updater) {
    if (c < 0x20 || c == u'"' || c == u'/') return false;
  }
  return updater.back() != u'\\';
}

// The updater's folder, ending in "\": the updater installs there.
WideString FolderOf(const WideString& updater) {
  return updater.substr(0, updater.rfind(u'\\') + 1);
}

// The updater does not create folders beside itself.
bool InstalledFolderExists(const WideString& folder, const WideString& name) {
  const std::size_t k = name.find_last_of(kSeparators);
  if (k == WideString::npos) return true;
  const std::uint32_t a = platform::GetFileAttributesW((folder + name.substr(0, k)).c_str());
  return a != platform::kInvalidFileAttributes && (a & platform::kAttributeDirectory);
}

WideString Quoted(const WideString& path) { return u"\"" + path + u"\""; }

WideString PartialPathOf(const WideString& staged) {
  const std::size_t k = staged.find_last_of(kSeparators) + 1;
  return staged.substr(0, k) + kPartialPrefix + staged.substr(k);
}

// Gone whatever its attributes; the result does not matter.
void Discard(const WideString& path) {
  platform::SetFileAttributesW(path.c_str(), platform::kAttributeNormal);
  platform::DeleteFileW(path.c_str());
}

}  // namespace

bool IsStageableName(const WideString& name) {
  if (name.empty() || !IsSafeFileName(name) || HoldsOption(name)) return false;
  for (char16_t c : name) {
    if (c < 0x20 || WideString(kForbiddenInNames).find(c) != WideString::npos) return false;
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find_first_of(kSeparators, start);
    if (!IsStageableSegment(name.substr(start, end - start))) return false;
    if (end == WideString::npos) return true;
    start = end + 1;
  }
}

bool StageFile(const WideString& source, const WideString& name) {
  if (!IsStageableName(name)) return false;
  WideString dir;
  if (!GetStagingDir(dir)) return false;
  for (std::size_t k = name.find_first_of(kSeparators); k != WideString::npos;
       k = name.find_first_of(kSeparators, k + 1)) {
    EnsureFolder(dir + u"\\" + name.substr(0, k));
  }

  const WideString staged = dir + u"\\" + name;
  const WideString partial = PartialPathOf(staged);
  // Copy, make it plain (a read-only copy would be installed read-only and
  // block the next update of that file), then rename it into place.
  if (platform::CopyFileW(source.c_str(), partial.c_str(), platform::kFalse) &&
      platform::SetFileAttributesW(partial.c_str(), platform::kAttributeNormal)) {
    platform::SetFileAttributesW(staged.c_str(), platform::kAttributeNormal);
    if (platform::MoveFileExW(partial.c_str(), staged.c_str(),
                              platform::kMoveFileReplaceExisting)) {
      return true;
    }
  }
  // An older copy under the name would be installed as if it were this one.
  Discard(partial);
  Discard(staged);
  return false;
}

bool BuildUpdateCommandLine(const WideString& updater, const FileList& names, WideString& line) {
  if (names.empty() || !IsLaunchableUpdater(updater)) return false;
  WideString root;
  if (!GetClientRoot(root)) return false;
  const WideString staging = root + kStagingFolder;
  const WideString folder = FolderOf(updater);

  WideString built = Quoted(updater) + u" " + kFilesOption + u" ";
  std::set<WideString> seen;
  for (const WideString& name : names) {
    // The same file twice: the second move finds nothing and the update fails.
    if (!IsStageableName(name) || !seen.insert(Folded(name)).second) return false;
    // The paths as the updater composes them, and the partial copy, within MAX_PATH.
    if (staging.size() + 1 + kPartialPrefixLength + name.size() >= platform::kMaxPath ||
        folder.size() + 1 + name.size() >= platform::kMaxPath) {
      return false;
    }
    if (!InstalledFolderExists(folder, name)) return false;
    if (&name != &names.front()) built += u'|';
    built += name;
  }
  if (built.size() >= kMaxCommandLine) return false;
  line = built;
  return true;
}

bool BuildCleanCacheCommandLine(const WideString& updater, WideString& line) {
  if (!IsLaunchableUpdater(updater)) return false;
  line = Quoted(updater) + u" " + kCleanCacheOption;
  return true;
}

bool StartUpdater(const WideString& line) {
  const std::size_t close = line.find(u'"', 1);
  if (line.empty() || line[0] != u'"' || close == WideString::npos || close + 2 > line.size() ||
      line[close + 1] != u' ') {
    return false;
  }
  const WideString updater = line.substr(1, close - 1);
  const WideString arguments = line.substr(close + 2);
  const WideString folder = FolderOf(updater);

  platform::ShellExecuteInfo info{};
  info.cbSize = sizeof(info);
  info.fMask = kSeeMaskNoAsync | kSeeMaskFlagNoUi;
  info.hwnd = platform::kNullHandle;
  info.lpVerb = kVerbOpen;
  info.lpFile = updater.c_str();
  info.lpParameters = arguments.c_str();
  info.lpDirectory = folder.c_str();
  info.nShow = kSwShowNormal;
  return platform::ShellExecuteExW(&info) != platform::kFalse;
}
