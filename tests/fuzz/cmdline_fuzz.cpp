// Arbitrary UTF-16 command lines through option detection, file-list parsing,
// the program folder and the staged and target paths, on the simulated Windows.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "cmdline/cmdline.h"
#include "cmdline/locations.h"
#include "sim/sim.h"

namespace {

constexpr char16_t kStagingPrefix[] =
    u"C:\\Users\\demo\\AppData\\Roaming\\KelvoClient\\UPDATE_TEMP\\";

void Require(bool condition, const char* what, const WideString& line) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\ncommand line: %s\n", what, sim::Utf8(line).c_str());
  std::abort();
}

bool StartsWith(const WideString& s, const WideString& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool HasDotDotSegment(const WideString& name) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == u'\\' || name[i] == u'/') {
      if (name.compare(start, i - start, u"..") == 0) return true;
      start = i + 1;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Little-endian UTF-16; the command line is a C string, so it holds no NUL.
  WideString line;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c != u'\0') line.push_back(c);
  }
  sim::Reset();
  sim::AddFolder(u"C:\\Users\\demo\\AppData\\Roaming");
  sim::World().commandLine = line;

  Require(HasCleanCacheOption() == (line.find(u"--cleanCache") != WideString::npos),
          "--cleanCache found exactly when it occurs", line);

  WideString folder;
  GetProgramDir(folder);
  Require(!folder.empty() && folder.back() == u'\\', "program folder ends in a backslash", line);
  const WideString unquoted = !line.empty() && line[0] == u'"' ? line.substr(1) : line;
  Require(folder == u".\\" || StartsWith(unquoted, folder),
          "program folder is cut from the start of the line", line);

  FileList names{u"sentinel"};
  if (!ParseFileList(names)) {
    Require(names == FileList{u"sentinel"}, "a failed parse leaves the list alone", line);
    return 0;
  }
  Require(!names.empty(), "a successful parse yields a name", line);
  const std::size_t files = line.find(u"--files");
  Require(files != WideString::npos, "names only behind --files", line);
  std::size_t cursor = files + 8;
  for (const WideString& name : names) {
    Require(!name.empty(), "no empty name", line);
    Require(name.find(u'|') == WideString::npos, "no | inside a name", line);
    Require(name.find(u':') == WideString::npos, "no : in an accepted name", line);
    Require(!HasDotDotSegment(name), "no .. segment in an accepted name", line);
    const std::size_t at = line.find(name, cursor);
    Require(at != WideString::npos, "names in command-line order", line);
    cursor = at + name.size();

    const WideString target = TargetPath(name);
    Require(StartsWith(target, folder), "target path starts with the program folder", line);
    const WideString staged = StagedPath(name);
    Require(StartsWith(staged, kStagingPrefix), "staged path starts with the staging folder", line);
  }
  return 0;
}
