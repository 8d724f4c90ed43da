// The name rules the updater and the client share; no Windows call, so the
// publish command on Linux applies the very same rules.
#include "cmdline/cmdline.h"

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
