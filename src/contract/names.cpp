#include <algorithm>

#include "contract/names.h"
#include "contract/options.h"

namespace {

constexpr char16_t kSeparators[] = u"\\/";
// Forbidden in Windows file names ("|" and ":" have rules of their own).
constexpr char16_t kForbiddenInNames[] = u"<>\"*?";
constexpr char16_t kDeviceNames[][4] = {u"CON", u"PRN", u"AUX", u"NUL"};
constexpr char16_t kNumberedDevices[][4] = {u"COM", u"LPT"};
// Windows' file-naming rules reserve COM and LPT with 0-9 and these too.
constexpr char16_t kSuperscriptDigits[] = u"\u00B9\u00B2\u00B3";
// An 8.3 alias: at most 8 units, a dot, at most 3.
constexpr std::size_t kShortNameBase = 8;
constexpr std::size_t kShortNameExtension = 3;

// The device names are ASCII, and no other letter folds onto theirs: folding
// a-z alone compares them as Windows does.
bool SameAsciiName(const WideString& a, const char16_t* b) {
  const auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
  std::size_t i = 0;
  for (; i < a.size() && b[i] != 0; ++i) {
    if (upper(a[i]) != b[i]) return false;
  }
  return i == a.size() && b[i] == 0;
}

// CON, CON.txt, CON .txt, com1.dll...: Windows opens the device, whatever the
// extension.
bool IsDeviceName(const WideString& segment) {
  WideString base = segment.substr(0, segment.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (const char16_t* device : kDeviceNames) {
    if (SameAsciiName(base, device)) return true;
  }
  for (const char16_t* prefix : kNumberedDevices) {
    if (base.size() == 4 && SameAsciiName(base.substr(0, 3), prefix) &&
        ((base[3] >= u'0' && base[3] <= u'9') ||
         WideString(kSuperscriptDigits).find(base[3]) != WideString::npos)) {
      return true;
    }
  }
  return false;
}

// Where the volume keeps 8.3 names, KELVOC~1.EXE may be another name of
// KelvoClient.exe: staging or installing it would overwrite that file.
bool HasShortNameForm(const WideString& segment) {
  if (segment.find(u'~') == WideString::npos) return false;
  const std::size_t dot = segment.find(u'.');
  if (dot == WideString::npos) return segment.size() <= kShortNameBase;
  return segment.find(u'.', dot + 1) == WideString::npos && dot <= kShortNameBase &&
         segment.size() - dot - 1 <= kShortNameExtension;
}

bool BeginsOrEndsBadly(const WideString& segment) {
  return segment.front() == u' ' || segment.back() == u' ' || segment.back() == u'.';
}

// The segments of a name, split at either separator.
FileList Segments(const WideString& name) {
  FileList segments;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find_first_of(kSeparators, start);
    segments.push_back(name.substr(start, end - start));
    if (end == WideString::npos) return segments;
    start = end + 1;
  }
}

}  // namespace

LaunchCode CheckStageableName(const WideString& name) {
  if (name.empty()) return RefusedEmptyName;
  if (name.find(u'|') != WideString::npos) return RefusedBar;
  if (!IsSafeFileName(name)) return RefusedLeavesFolder;
  if (name.find(kCleanCacheOption) != WideString::npos) return RefusedCleanCacheOption;
  for (char16_t c : name) {
    if (c < 0x20 || WideString(kForbiddenInNames).find(c) != WideString::npos) {
      return RefusedForbiddenCharacter;
    }
  }
  const FileList segments = Segments(name);
  const auto any = [&](auto&& rule) { return std::any_of(segments.begin(), segments.end(), rule); };
  if (any([](const WideString& s) { return s.empty(); })) return RefusedMisplacedSeparator;
  if (any(BeginsOrEndsBadly)) return RefusedBlankOrDot;
  if (any(IsDeviceName)) return RefusedDeviceName;
  if (any(HasShortNameForm)) return RefusedShortName;
  return LaunchOk;
}

bool IsStageableName(const WideString& name) { return CheckStageableName(name) == LaunchOk; }

bool IsPathSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

WideString WithBackslashes(WideString text) {
  for (char16_t& c : text) {
    if (IsPathSeparator(c)) c = u'\\';
  }
  return text;
}

bool IsSafeFileName(const WideString& name) {
  if (name.find(u':') != WideString::npos) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !IsPathSeparator(name[end])) ++end;
    if (name.compare(start, end - start, u"..") == 0) return false;
    start = end + 1;
  }
  return true;
}
