// The option texts of the updater's command line, found anywhere on it.
#pragma once

constexpr char16_t kCleanCacheOption[] = u"--cleanCache";
constexpr char16_t kFilesOption[] = u"--files";
