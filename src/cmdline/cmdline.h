// The two options of the process command line, found by exact, case-sensitive
// substring search over the raw line (the program's own path included).
#pragma once

#include "contract/names.h"

// True when "--cleanCache" occurs anywhere in the command line.
bool HasCleanCacheOption();

// True when "--files" is followed by at least one name and every name is safe;
// `list` is then replaced by the names in command-line order. Otherwise false,
// and `list` stays as it was.
bool ParseFileList(FileList& list);

// Appends every maximal run of non-delimiter characters of `text` to `tokens`
// and returns how many entries `tokens` holds afterwards.
std::int32_t SplitTokens(const WideString& text, const WideString& delimiters, FileList& tokens);
