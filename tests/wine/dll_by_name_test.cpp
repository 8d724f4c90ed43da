// client_launch.dll loaded as the foreign-function layers of other languages
// load it: by name, each function looked up under its plain name and called
// through a pointer of the documented type.
#include <windows.h>
// The other headers after it.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capi/client_launch.h"

namespace {

using BuildCleanCacheLine = kl_code(KL_CALL*)(const kl_char*, kl_char*, uint32_t, uint32_t*);
using BuildUpdateLine = kl_code(KL_CALL*)(const kl_char*, const kl_char* const*, uint32_t, kl_char*,
                                          uint32_t, uint32_t*, uint32_t*);
using StageFile = kl_code(KL_CALL*)(const kl_char*, const kl_char*);
using StartUpdater = kl_code(KL_CALL*)(const kl_char*);
using CodeText = kl_code(KL_CALL*)(kl_code, kl_char*, uint32_t, uint32_t*);

template <typename Function>
Function Lookup(HMODULE dll, const char* name) {
  const FARPROC proc = ::GetProcAddress(dll, name);
  Function f = nullptr;
  if (proc) std::memcpy(&f, &proc, sizeof(f));
  return f;
}

TEST(DllByNameTest, TheDocumentedFunctionsAnswerWithTheDocumentedCodes) {
  const HMODULE dll = ::LoadLibraryW(L"client_launch.dll");
  ASSERT_NE(dll, nullptr);
  const auto clean = Lookup<BuildCleanCacheLine>(dll, "KlBuildCleanCacheLine");
  const auto update = Lookup<BuildUpdateLine>(dll, "KlBuildUpdateLine");
  const auto stage = Lookup<StageFile>(dll, "KlStageFile");
  const auto start = Lookup<StartUpdater>(dll, "KlStartUpdater");
  const auto text = Lookup<CodeText>(dll, "KlCodeText");
  ASSERT_TRUE(clean && update && stage && start && text);

  const wchar_t updater[] = L"C:\\Kelvo\\updater.exe";
  const std::wstring expected = L"\"C:\\Kelvo\\updater.exe\" --cleanCache";
  wchar_t small[8];
  std::wmemset(small, L'#', 8);
  uint32_t needed = 0;
  EXPECT_EQ(clean(updater, small, 8, &needed), KL_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, expected.size() + 1);
  EXPECT_EQ(std::wstring(small, 8), std::wstring(8, L'#'));
  std::vector<wchar_t> line(needed);
  EXPECT_EQ(clean(updater, line.data(), needed, &needed), KL_OK);
  EXPECT_EQ(std::wstring(line.data()), expected);

  const wchar_t* names[] = {L"core.dll", L"a|b.dll"};
  uint32_t refused = 0;
  EXPECT_EQ(update(updater, names, 2, line.data(), needed, &needed, &refused), KL_REFUSED_BAR);
  EXPECT_EQ(refused, 1u);
  EXPECT_EQ(update(updater, nullptr, 0, nullptr, 0, nullptr, &refused), KL_REFUSED_EMPTY_LIST);
  EXPECT_EQ(refused, KL_NO_NAME);
  EXPECT_EQ(stage(nullptr, L"core.dll"), KL_NULL_ARGUMENT);
  EXPECT_EQ(start(nullptr), KL_NULL_ARGUMENT);

  EXPECT_EQ(text(KL_REFUSED_BAR, nullptr, 0, &needed), KL_BUFFER_TOO_SMALL);
  std::vector<wchar_t> reason(needed);
  EXPECT_EQ(text(KL_REFUSED_BAR, reason.data(), needed, nullptr), KL_OK);
  EXPECT_NE(std::wstring(reason.data()).find(L"|"), std::wstring::npos);
  ::FreeLibrary(dll);
}

}  // namespace
