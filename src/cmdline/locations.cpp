#include "cmdline/locations.h"

#include <algorithm>

#include "cmdline/cmdline.h"
#include "cmdline/options.h"
#include "platform/platform.h"

namespace {

constexpr std::int32_t kCsidlAppData = 26;
constexpr std::uint32_t kShgfpTypeCurrent = 0;
constexpr char16_t kClientFolder[] = u"\\KelvoClient";
constexpr char16_t kFallbackClientRoot[] = u"D:\\KelvoClient";
constexpr char16_t kCacheFolder[] = u"\\AppCache\\Cache\\";
constexpr char16_t kCurrentFolder[] = u".\\";

// The program's path as it stands at the start of the command line: inside
// the leading quotes, or else everything before the first option.
WideString ProgramPath(const WideString& line) {
  if (!line.empty() && line[0] == u'"') {
    const std::size_t close = line.find(u'"', 1);
    return line.substr(1, close == WideString::npos ? WideString::npos : close - 1);
  }
  const std::size_t end = std::min(line.find(kFilesOption), line.find(kCleanCacheOption));
  return line.substr(0, end);
}

}  // namespace

bool GetClientRoot(WideString& root) {
  char16_t buffer[platform::kMaxPath] = {};
  if (platform::SHGetFolderPathW(platform::kNullHandle, kCsidlAppData, platform::kNullHandle,
                                 kShgfpTypeCurrent, buffer) < 0) {
    root = kFallbackClientRoot;
    return true;
  }
  if (!platform::PathAppendW(buffer, kClientFolder)) return false;
  root = buffer;
  return true;
}

void EnsureFolder(const WideString& path) {
  const std::uint32_t a = platform::GetFileAttributesW(path.c_str());
  if (a == platform::kInvalidFileAttributes || !(a & platform::kAttributeDirectory)) {
    platform::CreateDirectoryW(path.c_str());
  }
}

bool GetStagingDir(WideString& dir) {
  WideString r;
  if (!GetClientRoot(r)) return false;
  EnsureFolder(r);
  r = StagingDirOf(r);
  EnsureFolder(r);
  dir = r;
  return true;
}

WideString GetCacheDir() {
  WideString r;
  if (!GetClientRoot(r)) return WideString();
  return CacheDirOf(r);
}

WideString StagingDirOf(const WideString& root) { return root + kStagingFolder; }
WideString CacheDirOf(const WideString& root) { return root + kCacheFolder; }

WideString ResolvedPath(const WideString& folder, const WideString& name) {
  WideString path = folder;
  std::size_t i = 0;
  while (i < name.size()) {
    while (i < name.size() && IsPathSeparator(name[i])) ++i;
    const std::size_t start = i;
    while (i < name.size() && !IsPathSeparator(name[i])) ++i;
    const WideString segment = name.substr(start, i - start);
    if (!segment.empty() && segment != u".") path += u"\\" + segment;
  }
  return path;
}

bool GetProgramDir(WideString& dir) {
  const WideString path = ProgramPath(platform::GetCommandLineW());
  const std::size_t k = path.rfind(u'\\');
  dir = k == WideString::npos ? WideString(kCurrentFolder) : path.substr(0, k + 1);
  return true;
}

WideString JoinPath(const WideString& folder, const char16_t* name) { return folder + name; }

WideString StagedPath(const WideString& name) {
  WideString dir;
  if (!GetStagingDir(dir)) return WideString();
  return dir + u"\\" + name;
}

WideString TargetPath(const WideString& name) {
  WideString dir;
  GetProgramDir(dir);
  return dir + u"\\" + name;
}
