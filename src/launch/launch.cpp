#include "launch/launch.h"

#include <algorithm>

#include "contract/folders.h"
#include "contract/limits.h"
#include "contract/options.h"
#include "launch/staging.h"
#include "platform/platform.h"

namespace {

constexpr char16_t kSeparators[] = u"\\/";

constexpr char16_t kVerbOpen[] = u"open";
constexpr std::uint32_t kSeeMaskNoAsync = 0x100;
// The client reports a failed start its own way; the consent prompt still shows.
constexpr std::uint32_t kSeeMaskFlagNoUi = 0x400;
constexpr std::int32_t kSwShowNormal = 1;

// Names ordered as Windows compares them, letter case ignored.
std::int32_t CompareNames(const WideString& a, const WideString& b) {
  return platform::CompareStringOrdinal(a.c_str(), static_cast<std::int32_t>(a.size()), b.c_str(),
                                        static_cast<std::int32_t>(b.size()), platform::kTrue);
}

bool SameFileName(const WideString& a, const WideString& b) {
  return CompareNames(a, b) == platform::kCstrEqual;
}

bool HoldsOption(const WideString& text) {
  return text.find(kFilesOption) != WideString::npos ||
         text.find(kCleanCacheOption) != WideString::npos;
}

// A full path (C:\... or \\server\...) that can stand in double quotes. Not
// \\?\ or \\.\: the updater appends "\" and a name to its folder, and after
// those prefixes Windows takes the doubled "\" literally.
bool IsLaunchableUpdater(const WideString& updater) {
  const bool device = updater.size() >= 4 && updater.compare(0, 2, u"\\\\") == 0 &&
                      (updater[2] == u'?' || updater[2] == u'.') && updater[3] == u'\\';
  const bool full = (updater.size() > 3 && updater[1] == u':' && updater[2] == u'\\') ||
                    (updater.compare(0, 2, u"\\\\") == 0 && !device);
  if (!full || updater.size() >= kMaxPath || HoldsOption(updater)) return false;
  for (char16_t c : updater) {
    if (c < 0x20 || c == u'"' || c == u'/') return false;
  }
  return updater.back() != u'\\';
}

// The updater's folder, ending in "\": the updater installs there.
WideString FolderOf(const WideString& updater) {
  return updater.substr(0, updater.rfind(u'\\') + 1);
}

// The name's folder part with its leading separator ("\lang" for lang\en.pak),
// empty for a name without one.
WideString SubfolderOf(const WideString& name) {
  const std::size_t k = name.find_last_of(kSeparators);
  return k == WideString::npos ? WideString() : u"\\" + name.substr(0, k);
}

bool IsFolderAt(const WideString& path) {
  const std::uint32_t a = platform::GetFileAttributesW(path.c_str());
  return a != platform::kInvalidFileAttributes && (a & platform::kAttributeDirectory);
}

struct ListEntry {
  WideString key;  // a name, or a folder that a name holds
  std::size_t name;
  bool isFolder;
};

// Per name, whether it clashes with an earlier one: the same file as Windows
// compares names (Windows folds case beyond a-z: é and É are one file), or a
// file where another name needs a folder. Sorted once: lists run to thousands.
std::vector<LaunchCode> Clashes(const FileList& names) {
  std::vector<ListEntry> entries;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const WideString name = WithBackslashes(names[i]);
    entries.push_back({name, i, false});
    for (std::size_t k = name.find(u'\\'); k != WideString::npos; k = name.find(u'\\', k + 1)) {
      entries.push_back({name.substr(0, k), i, true});
    }
  }
  std::sort(entries.begin(), entries.end(), [](const ListEntry& a, const ListEntry& b) {
    const std::int32_t c = CompareNames(a.key, b.key);
    return c == platform::kCstrLessThan || (c == platform::kCstrEqual && a.name < b.name);
  });
  std::vector<LaunchCode> clashes(names.size(), LaunchOk);
  for (std::size_t first = 0, last; first < entries.size(); first = last) {
    last = first + 1;
    while (last < entries.size() && SameFileName(entries[first].key, entries[last].key)) ++last;
    // The run is sorted by name: each entry clashes with the earlier ones.
    bool file = false, folder = false;
    for (std::size_t e = first; e < last; ++e) {
      const ListEntry& entry = entries[e];
      LaunchCode& clash = clashes[entry.name];
      if (clash == LaunchOk) {
        if (!entry.isFolder && file)
          clash = RefusedDuplicateName;
        else if (entry.isFolder ? file : folder)
          clash = RefusedNameIsFolder;
      }
      (entry.isFolder ? folder : file) = true;
    }
  }
  return clashes;
}

WideString Quoted(const WideString& path) { return u"\"" + path + u"\""; }

// The staged copy as StageFile writes it, under its prefix first: within MAX_PATH,
// its folder within what CreateDirectoryW creates.
LaunchCode CheckStagedPaths(const WideString& staging, const WideString& name) {
  if (staging.size() + 1 + kPartialPrefixLength + name.size() >= kMaxPath) {
    return RefusedPathTooLong;
  }
  if (staging.size() + SubfolderOf(name).size() >= kMaxFolderPath) return RefusedFolderTooLong;
  return LaunchOk;
}

// Beside the updater: the updater creates no folder, and cannot replace a
// folder or itself.
LaunchCode CheckInstalledPaths(const WideString& updater, const WideString& name) {
  const WideString folder = FolderOf(updater);
  if (folder.size() + name.size() >= kMaxPath) return RefusedPathTooLong;
  const WideString subfolder = SubfolderOf(name);
  if (!subfolder.empty()) {
    const WideString path = folder.substr(0, folder.size() - 1) + subfolder;
    if (path.size() >= kMaxFolderPath) return RefusedFolderTooLong;
    if (!IsFolderAt(path)) return RefusedMissingFolder;
  } else if (SameFileName(name, updater.substr(folder.size()))) {
    return RefusedUpdaterItself;
  }
  return IsFolderAt(folder + name) ? RefusedNameIsFolder : LaunchOk;
}

bool Report(LaunchRefusal* refusal, LaunchCode code, std::size_t name) {
  if (refusal) *refusal = {code, name};
  return false;
}

}  // namespace

bool StageFile(const WideString& source, const WideString& name, LaunchCode* why) {
  const auto report = [why](LaunchCode code) {
    if (why) *why = code;
    return code == LaunchOk;
  };
  LaunchCode code = CheckStageableName(name);
  WideString dir;
  if (code == LaunchOk && !GetStagingDir(dir)) code = FailedNoClientRoot;
  if (code == LaunchOk) code = CheckStagedPaths(dir, name);
  if (code != LaunchOk) return report(code);
  // One writer at a time: a fetch could otherwise replace or remove this copy.
  const StagingLock lock(dir);
  if (lock.Code() != LaunchOk) return report(lock.Code() == FailedBusy ? FailedBusy : FailedCopy);
  MakeSubfolders(dir, name);

  const WideString staged = dir + u"\\" + name;
  const WideString partial = PartialPathOf(staged);
  // Copy, make it plain (a read-only copy would be installed read-only and
  // block the next update of that file), then rename it into place.
  if (!platform::CopyFileW(source.c_str(), partial.c_str(), platform::kFalse) ||
      !platform::SetFileAttributesW(partial.c_str(), platform::kAttributeNormal)) {
    const std::uint32_t a = platform::GetFileAttributesW(source.c_str());
    code = (a == platform::kInvalidFileAttributes || (a & platform::kAttributeDirectory))
               ? FailedSourceMissing
               : FailedCopy;
  } else if (TakeName(partial, staged)) {
    return report(LaunchOk);
  } else {
    code = FailedRename;
  }
  // An older copy under the name would be installed as if it were this one.
  Discard(partial);
  Discard(staged);
  return report(code);
}

bool BuildUpdateCommandLine(const WideString& updater, const FileList& names, WideString& line,
                            LaunchRefusal* refusal) {
  if (!IsLaunchableUpdater(updater)) return Report(refusal, RefusedUpdaterPath, kNoName);
  if (names.empty()) return Report(refusal, RefusedEmptyList, kNoName);
  WideString root;
  if (!GetClientRoot(root)) return Report(refusal, FailedNoClientRoot, kNoName);
  const WideString staging = root + kStagingFolder;
  const std::vector<LaunchCode> clashes = Clashes(names);

  WideString built = Quoted(updater) + u" " + kFilesOption + u" ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    const WideString& name = names[i];
    LaunchCode code = CheckStageableName(name);
    if (code == LaunchOk) code = clashes[i];
    if (code == LaunchOk) code = CheckStagedPaths(staging, name);
    if (code == LaunchOk) code = CheckInstalledPaths(updater, name);
    if (code != LaunchOk) return Report(refusal, code, i);
    if (i > 0) built += u'|';
    built += name;
    if (built.size() >= kMaxCommandLine) return Report(refusal, RefusedLineTooLong, i);
  }
  line = built;
  if (refusal) *refusal = {};
  return true;
}

bool BuildCleanCacheCommandLine(const WideString& updater, WideString& line,
                                LaunchRefusal* refusal) {
  if (!IsLaunchableUpdater(updater)) return Report(refusal, RefusedUpdaterPath, kNoName);
  line = Quoted(updater) + u" " + kCleanCacheOption;
  if (refusal) *refusal = {};
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
