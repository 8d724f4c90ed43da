#include "cmdline/cmdline.h"

#include "contract/options.h"
#include "platform/platform.h"

namespace {

// The character right after "--files" is the separator, whatever it is.
constexpr std::size_t kFilesValueOffset = 8;
constexpr char16_t kFileListDelimiter[] = u"|";

}  // namespace

bool HasCleanCacheOption() {
  const WideString line = platform::GetCommandLineW();
  return line.find(kCleanCacheOption) != WideString::npos;
}

bool ParseFileList(FileList& list) {
  const WideString line = platform::GetCommandLineW();
  const std::size_t p = line.find(kFilesOption);
  if (p == WideString::npos) return false;
  if (p + kFilesValueOffset >= line.size()) return false;
  const WideString rest = line.substr(p + kFilesValueOffset);

  FileList tokens;
  if (SplitTokens(rest, kFileListDelimiter, tokens) <= 0) return false;
  for (const WideString& name : tokens) {
    if (!IsSafeFileName(name)) return false;
  }
  list = std::move(tokens);
  return true;
}

std::int32_t SplitTokens(const WideString& text, const WideString& delimiters, FileList& tokens) {
  const auto is_delimiter = [&](char16_t c) { return delimiters.find(c) != WideString::npos; };
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    while (i < n && is_delimiter(text[i])) ++i;
    if (i == n) break;
    const std::size_t start = i;
    while (i < n && !is_delimiter(text[i])) ++i;
    tokens.push_back(text.substr(start, i - start));
  }
  return static_cast<std::int32_t>(tokens.size());
}
