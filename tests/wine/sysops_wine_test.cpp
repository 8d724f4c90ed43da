// The system operations against the real API: real processes of a stand-in
// client and real files in a scratch folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/scratch.h"
#include "sysops/sysops.h"
#include "support/text.h"

namespace {

constexpr auto W = &test::Wide;

WideString OwnFolder() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path);
  p.resize(p.rfind(L'\\'));
  return WideString(p.begin(), p.end());
}

class ClientShutdownOnWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch::MakeFolder();
    client_ = OwnFolder() + u"\\KelvoClient.exe";
    ASSERT_NE(::GetFileAttributesW(W(client_)), INVALID_FILE_ATTRIBUTES) << "stand-in not built";
  }
  // Every process this test started ends, whatever happened.
  void TearDown() override {
    for (const PROCESS_INFORMATION& p : started_) {
      ::TerminateProcess(p.hProcess, 1);
      ::WaitForSingleObject(p.hProcess, 5000);
      ::CloseHandle(p.hProcess);
      ::CloseHandle(p.hThread);
    }
    scratch::RemoveFolder(root_);
  }

  // Starts a copy of the stand-in client under `name` in its own subfolder.
  HANDLE Start(const WideString& folder, const WideString& name) {
    const WideString dir = root_ + u"\\" + folder;
    ::CreateDirectoryW(W(dir), nullptr);
    const WideString exe = dir + u"\\" + name;
    EXPECT_TRUE(::CopyFileW(W(client_), W(exe), FALSE));
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring command = L"\"" + std::wstring(W(exe)) + L"\"";
    EXPECT_TRUE(::CreateProcessW(W(exe), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 W(dir), &si, &pi));
    started_.push_back(pi);
    // Running for real before the snapshot is taken: its note is written.
    const WideString note = dir + u"\\KelvoClient.started";
    for (int i = 0; i < 200 && ::GetFileAttributesW(W(note)) == INVALID_FILE_ATTRIBUTES; ++i) {
      ::Sleep(25);
    }
    return pi.hProcess;
  }

  static bool Running(HANDLE process) { return ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }
  static DWORD ExitCode(HANDLE process) {
    DWORD code = 12345;
    ::GetExitCodeProcess(process, &code);
    return code;
  }

  WideString root_;
  WideString client_;
  std::vector<PROCESS_INFORMATION> started_;
};

TEST_F(ClientShutdownOnWindowsTest, EveryClientEndsWithCodeZeroOthersKeepRunning) {
  const HANDLE a = Start(u"one", u"KelvoClient.exe");
  const HANDLE b = Start(u"two", u"KelvoClient.exe");
  const HANDLE lower = Start(u"three", u"kelvoclient.exe");
  const HANDLE longer = Start(u"four", u"KelvoClient.exe.exe");
  ASSERT_TRUE(Running(a) && Running(b) && Running(lower) && Running(longer));

  EXPECT_EQ(FindProcessesByName(u"kelvoclient.exe").size(), 1u);
  ProcessHandleList found = FindProcessesByName(u"KelvoClient.exe");
  EXPECT_EQ(found.size(), 2u);
  for (platform::Handle h : found) {
    EXPECT_NE(h, platform::kNullHandle);
    ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(h)));
  }

  const ULONGLONG begin = ::GetTickCount64();
  TerminateClientProcesses(u"KelvoClient.exe");
  const ULONGLONG took = ::GetTickCount64() - begin;

  EXPECT_FALSE(Running(a));
  EXPECT_FALSE(Running(b));
  EXPECT_EQ(ExitCode(a), 0u);
  EXPECT_EQ(ExitCode(b), 0u);
  EXPECT_TRUE(Running(lower));
  EXPECT_TRUE(Running(longer));
  // The waits end as soon as each process is gone.
  EXPECT_LT(took, 5000u);
}

TEST_F(ClientShutdownOnWindowsTest, NoClientRunningTakesNoWait) {
  const ULONGLONG begin = ::GetTickCount64();
  TerminateClientProcesses(u"KelvoClient.exe");
  EXPECT_LT(::GetTickCount64() - begin, 1000u);
  EXPECT_TRUE(FindProcessesByName(u"KelvoClient.exe").empty());
}

TEST(DebugPrivilegeOnWindowsTest, IsEnabledInTheOwnToken) {
  HANDLE token = nullptr;
  ASSERT_TRUE(
      ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  LUID luid{};
  ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &luid));
  const auto enabled = [&] {
    PRIVILEGE_SET set{};
    set.PrivilegeCount = 1;
    set.Privilege[0].Luid = luid;
    BOOL result = FALSE;
    ::PrivilegeCheck(token, &set, &result);
    return result != FALSE;
  };
  TOKEN_PRIVILEGES off{};
  off.PrivilegeCount = 1;
  off.Privileges[0].Luid = luid;
  off.Privileges[0].Attributes = 0;
  ASSERT_TRUE(::AdjustTokenPrivileges(token, FALSE, &off, sizeof(off), nullptr, nullptr));
  ASSERT_FALSE(enabled());

  EnableDebugPrivilege();
  EXPECT_TRUE(enabled());
  ::CloseHandle(token);
}

class FilesOnWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch::MakeFolder();
    ::CreateDirectoryW(W(Path(u"UPDATE_TEMP")), nullptr);
    ::CreateDirectoryW(W(Path(u"app")), nullptr);
    ::CreateDirectoryW(W(Path(u"cache")), nullptr);
  }
  void TearDown() override { scratch::RemoveFolder(root_); }
  WideString Path(const WideString& relative) const { return root_ + u"\\" + relative; }
  // Where the file should really be: the final path of the scratch folder, then the name.
  WideString Real(const WideString& relative) const {
    WideString folder;
    EXPECT_TRUE(GetFinalFolderPath(root_, folder));
    return folder + u"\\" + relative;
  }
  // The target's folder resolved as the run resolves it; empty when missing.
  WideString RealFolderOf(const WideString& target) const {
    WideString real;
    GetFinalFolderPath(FolderOfTarget(Path(target)), real);
    return real;
  }
  bool Move(const WideString& staged, const WideString& target) const {
    return MoveStagedFile(Path(staged), Path(target), Real(staged), RealFolderOf(target));
  }
  bool Exists(const WideString& relative) const {
    return ::GetFileAttributesW(W(Path(relative))) != INVALID_FILE_ATTRIBUTES;
  }
  // The names of the files directly in a folder.
  std::vector<std::wstring> Files(const WideString& relative) const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW d;
    const HANDLE h = ::FindFirstFileW(W(Path(relative) + u"\\*"), &d);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(d.cFileName);
    } while (::FindNextFileW(h, &d));
    ::FindClose(h);
    return names;
  }
  void Write(const WideString& relative, const std::string& content, DWORD attributes = 0) {
    ASSERT_TRUE(scratch::WriteFile(Path(relative), content));
    if (attributes) {
      ASSERT_TRUE(::SetFileAttributesW(W(Path(relative)), attributes));
    }
  }
  WideString root_;
};

TEST_F(FilesOnWindowsTest, AReadOnlyStagedFileIsInstalledAndRemoved) {
  Write(u"app\\core.dll", "v1");
  Write(u"UPDATE_TEMP\\core.dll", "v2", FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(Move(u"UPDATE_TEMP\\core.dll", u"app\\\\core.dll"));
  EXPECT_EQ(scratch::ReadFile(Path(u"app\\core.dll")), "v2");
  EXPECT_FALSE(Exists(u"UPDATE_TEMP\\core.dll"));
  // Installed as a plain file: the staged copy's read-only bit stays behind.
  EXPECT_EQ(::GetFileAttributesW(W(Path(u"app\\core.dll"))) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(FilesOnWindowsTest, AFileWithASecondNameIsNeitherInstalledNorDeleted) {
  Write(u"app\\core.dll", "v1");
  Write(u"protected.dll", "not the user's");
  ASSERT_TRUE(
      ::CreateHardLinkW(W(Path(u"UPDATE_TEMP\\core.dll")), W(Path(u"protected.dll")), nullptr));
  EXPECT_FALSE(Move(u"UPDATE_TEMP\\core.dll", u"app\\\\core.dll"));
  EXPECT_EQ(scratch::ReadFile(Path(u"app\\core.dll")), "v1");
  EXPECT_EQ(scratch::ReadFile(Path(u"UPDATE_TEMP\\core.dll")), "not the user's");

  ASSERT_TRUE(::CreateHardLinkW(W(Path(u"cache\\linked.bin")), W(Path(u"protected.dll")), nullptr));
  Write(u"cache\\plain.bin", "p");
  DeleteFilesInDir(Path(u"cache\\"), Real(u"cache\\"));
  EXPECT_EQ(scratch::ReadFile(Path(u"cache\\linked.bin")), "not the user's");
  EXPECT_FALSE(Exists(u"cache\\plain.bin"));
  EXPECT_EQ(scratch::ReadFile(Path(u"protected.dll")), "not the user's");
}

TEST_F(FilesOnWindowsTest, AStagedNameOtherThanTheExpectedFileFailsTouchingNothing) {
  Write(u"app\\core.dll", "v1");
  Write(u"UPDATE_TEMP\\core.dll", "v2");
  // The same file reached through another folder is not where it must be.
  EXPECT_FALSE(MoveStagedFile(Path(u"UPDATE_TEMP\\core.dll"), Path(u"app\\\\core.dll"),
                              Real(u"elsewhere\\core.dll"), RealFolderOf(u"app\\core.dll")));
  EXPECT_EQ(scratch::ReadFile(Path(u"app\\core.dll")), "v1");
  EXPECT_EQ(scratch::ReadFile(Path(u"UPDATE_TEMP\\core.dll")), "v2");
  // Letter case does not matter.
  EXPECT_TRUE(MoveStagedFile(Path(u"update_temp\\CORE.DLL"), Path(u"app\\\\core.dll"),
                             Real(u"Update_Temp\\Core.Dll"), RealFolderOf(u"app\\core.dll")));
  EXPECT_EQ(scratch::ReadFile(Path(u"app\\core.dll")), "v2");
}

TEST_F(FilesOnWindowsTest, AMissingTargetFolderFailsAndKeepsTheStagedFile) {
  Write(u"UPDATE_TEMP\\en.pak", "en");
  EXPECT_FALSE(Move(u"UPDATE_TEMP\\en.pak", u"app\\\\lang\\en.pak"));
  EXPECT_EQ(scratch::ReadFile(Path(u"UPDATE_TEMP\\en.pak")), "en");
  EXPECT_FALSE(Exists(u"app\\lang"));
  EXPECT_FALSE(Move(u"UPDATE_TEMP\\absent.dll", u"app\\\\absent.dll"));
  EXPECT_FALSE(Move(u"UPDATE_TEMP", u"app\\\\x"));
}

// Held open without FILE_SHARE_DELETE: readable, but not deletable.
HANDLE HoldOpen(const WideString& path) {
  return ::CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST_F(FilesOnWindowsTest, AStagedFileInUseIsInstalledAndStaysBehind) {
  Write(u"app\\core.dll", "v1");
  Write(u"UPDATE_TEMP\\core.dll", "v2");
  const HANDLE in_use = HoldOpen(Path(u"UPDATE_TEMP\\core.dll"));
  ASSERT_NE(in_use, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Move(u"UPDATE_TEMP\\core.dll", u"app\\\\core.dll"));
  EXPECT_EQ(scratch::ReadFile(Path(u"app\\core.dll")), "v2");
  EXPECT_TRUE(Exists(u"UPDATE_TEMP\\core.dll"));
  ::CloseHandle(in_use);
}

// Held open by another process without delete sharing, or loaded as a DLL
// (its image mapped): Windows refuses to replace it, and so does Wine.
TEST_F(FilesOnWindowsTest, AnInstalledFileInUseOrLoadedIsNotReplaced) {
  const auto refused = [&](const WideString& name) {
    Write(u"UPDATE_TEMP\\" + name, "v2");
    EXPECT_FALSE(Move(u"UPDATE_TEMP\\" + name, u"app\\\\" + name));
    EXPECT_EQ(scratch::ReadFile(Path(u"UPDATE_TEMP\\" + name)), "v2");
    EXPECT_EQ(Files(u"app").size(), 1u) << "no partial copy is left";
  };
  Write(u"app\\core.dll", "v1");
  const HANDLE in_use = HoldOpen(Path(u"app\\core.dll"));
  ASSERT_NE(in_use, INVALID_HANDLE_VALUE);
  refused(u"core.dll");
  ::CloseHandle(in_use);
  EXPECT_EQ(scratch::ReadFile(Path(u"app\\core.dll")), "v1");
  ::DeleteFileW(W(Path(u"app\\core.dll")));

  ASSERT_TRUE(
      ::CopyFileW(W(OwnFolder() + u"\\client_launch.dll"), W(Path(u"app\\loaded.dll")), FALSE));
  const HMODULE loaded = ::LoadLibraryW(W(Path(u"app\\loaded.dll")));
  ASSERT_NE(loaded, nullptr);
  refused(u"loaded.dll");
  ::FreeLibrary(loaded);
  EXPECT_NE(scratch::ReadFile(Path(u"app\\loaded.dll")), "v2");
}

// A staged path of 256-259 units (its final path is longer), and a target
// folder so deep that the partial copy beside the target passes MAX_PATH.
TEST_F(FilesOnWindowsTest, PathsPastMaxPathInstallLikeAnyOther) {
  const WideString deep = u"app\\" + WideString(240 - Path(u"app\\").size(), u'd');
  ASSERT_TRUE(::CreateDirectoryW(W(u"\\\\?\\" + Path(deep)), nullptr));
  for (std::size_t length = 256; length <= 259; ++length) {
    SCOPED_TRACE(length);
    const WideString folder =
        u"UPDATE_TEMP\\" + WideString(length - Path(u"UPDATE_TEMP\\").size() - 6, u'n');
    ASSERT_TRUE(::CreateDirectoryW(W(u"\\\\?\\" + Path(folder)), nullptr));
    Write(folder + u"\\x.dat", "staged");
    ASSERT_EQ(Path(folder + u"\\x.dat").size(), length);
    const WideString target =
        deep + u"\\" + WideString(259 - Path(deep).size() - 5, u'f') + u".dll";
    ASSERT_EQ(Path(target).size(), 259u);
    EXPECT_TRUE(Move(folder + u"\\x.dat", target));
    EXPECT_EQ(scratch::ReadFile(Path(target)), "staged");
    EXPECT_FALSE(Exists(folder + u"\\x.dat"));
    ::DeleteFileW(W(Path(target)));
  }
}

TEST_F(FilesOnWindowsTest, CacheClearingKeepsReadOnlyFilesAndEveryFolder) {
  Write(u"cache\\a.bin", "a");
  Write(u"cache\\b.bin", "b");
  Write(u"cache\\hidden.bin", "h", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  Write(u"cache\\readonly.bin", "r", FILE_ATTRIBUTE_READONLY);
  Write(u"cache\\in-use.bin", "u");
  const HANDLE in_use = HoldOpen(Path(u"cache\\in-use.bin"));
  ::CreateDirectoryW(W(Path(u"cache\\plain")), nullptr);
  Write(u"cache\\plain\\deep.bin", "d");
  ::CreateDirectoryW(W(Path(u"cache\\secret")), nullptr);
  Write(u"cache\\secret\\deep.bin", "s");
  ASSERT_TRUE(::SetFileAttributesW(W(Path(u"cache\\secret")), 0x12));

  DeleteFilesInDir(Path(u"cache\\"), Real(u"cache\\"));
  ::CloseHandle(in_use);

  EXPECT_FALSE(Exists(u"cache\\a.bin"));
  EXPECT_FALSE(Exists(u"cache\\b.bin"));
  EXPECT_FALSE(Exists(u"cache\\hidden.bin"));
  EXPECT_EQ(scratch::ReadFile(Path(u"cache\\readonly.bin")), "r");
  EXPECT_EQ(scratch::ReadFile(Path(u"cache\\in-use.bin")), "u");
  EXPECT_EQ(::GetFileAttributesW(W(Path(u"cache\\readonly.bin"))) & FILE_ATTRIBUTE_READONLY, 1u);
  EXPECT_EQ(scratch::ReadFile(Path(u"cache\\plain\\deep.bin")), "d");
  EXPECT_EQ(scratch::ReadFile(Path(u"cache\\secret\\deep.bin")), "s");
  EXPECT_EQ(::GetFileAttributesW(W(Path(u"cache\\secret"))), 0x12u);

  DeleteFilesInDir(Path(u"missing\\"), Real(u"missing\\"));  // no folder: nothing happens
}

}  // namespace
