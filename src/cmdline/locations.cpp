#include "cmdline/locations.h"

#include <algorithm>

#include "cmdline/cmdline.h"
#include "contract/options.h"
#include "platform/platform.h"

namespace {

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
