// The option texts, shared by the option search and the program folder cut.
#pragma once

constexpr char16_t kCleanCacheOption[] = u"--cleanCache";
constexpr char16_t kFilesOption[] = u"--files";
