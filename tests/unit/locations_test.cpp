#include "cmdline/locations.h"

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "support/demo_machine.h"
#include "support/fixture.h"

namespace {

using demo::kRoaming;
using demo::kStaging;
constexpr const char16_t* kRoot = demo::kClientRoot;

class LocationsTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    sim::AddFolder(kRoaming);
  }
  WideString ProgramDirOf(const WideString& line) {
    sim::World().commandLine = line;
    WideString dir = u"<untouched>";
    EXPECT_TRUE(GetProgramDir(dir));
    return dir;
  }
};

TEST_F(LocationsTest, FoldersAreComposedUnderTheRoamingAppDataFolder) {
  WideString root;
  ASSERT_TRUE(GetClientRoot(root));
  EXPECT_EQ(root, kRoot);
  EXPECT_EQ(GetCacheDir(), WideString(kRoot) + u"\\AppCache\\Cache\\");
  EXPECT_EQ(StagedPath(u"core.dll"), WideString(kStaging) + u"\\core.dll");
  EXPECT_EQ(JoinPath(GetCacheDir(), u"*"), WideString(kRoot) + u"\\AppCache\\Cache\\*");

  sim::World().appDataPath = WideString(kRoaming) + u"\\";  // a trailing backslash changes nothing
  ASSERT_TRUE(GetClientRoot(root));
  EXPECT_EQ(root, kRoot);
}

TEST_F(LocationsTest, UnavailableAppDataFallsBackToDriveD) {
  sim::World().appDataResult = -2147467259;  // E_FAIL
  WideString root;
  ASSERT_TRUE(GetClientRoot(root));
  EXPECT_EQ(root, u"D:\\KelvoClient");
  EXPECT_EQ(GetCacheDir(), u"D:\\KelvoClient\\AppCache\\Cache\\");
  WideString staging;
  EXPECT_TRUE(GetStagingDir(staging));
  EXPECT_EQ(staging, u"D:\\KelvoClient\\UPDATE_TEMP");
}

TEST_F(LocationsTest, ARootTooLongToFormNamesNoFolderAndCreatesNothing) {
  sim::World().appDataPath = u"C:\\" + WideString(245, u'x');
  WideString root = u"<untouched>";
  EXPECT_FALSE(GetClientRoot(root));
  EXPECT_EQ(root, u"<untouched>");
  WideString staging = u"<untouched>";
  EXPECT_FALSE(GetStagingDir(staging));
  EXPECT_EQ(staging, u"<untouched>");
  // Never the current drive's root or the current folder.
  EXPECT_EQ(StagedPath(u"core.dll"), u"");
  EXPECT_EQ(GetCacheDir(), u"");
  EXPECT_TRUE(sim::CallsTo("CreateDirectoryW").empty());

  // One unit shorter fits: 3 + 244 + 12 units and the terminator make 260.
  sim::World().appDataPath = u"C:\\" + WideString(244, u'x');
  EXPECT_TRUE(GetClientRoot(root));
  EXPECT_EQ(root.size(), 259u);
}

TEST_F(LocationsTest, StagedPathCreatesTheRootThenTheStagingFolderAndAsksAgainEachTime) {
  EXPECT_EQ(StagedPath(u"a.dll"), WideString(kStaging) + u"\\a.dll");
  EXPECT_EQ(
      sim::CallsTo("CreateDirectoryW"),
      (std::vector<std::string>{
          "CreateDirectoryW(\"C:\\Users\\demo\\AppData\\Roaming\\KelvoClient\")",
          "CreateDirectoryW(\"C:\\Users\\demo\\AppData\\Roaming\\KelvoClient\\UPDATE_TEMP\")"}));
  EXPECT_TRUE(sim::Exists(kStaging));

  sim::World().journal.clear();
  EXPECT_EQ(StagedPath(u"b.dll"), WideString(kStaging) + u"\\b.dll");
  EXPECT_EQ(sim::CallsTo("SHGetFolderPathW").size(), 1u);
  EXPECT_EQ(sim::CallsTo("GetFileAttributesW").size(), 2u);
  EXPECT_TRUE(sim::CallsTo("CreateDirectoryW").empty());
  EXPECT_EQ(sim::CallsTo("SHGetFolderPathW")[0], "SHGetFolderPathW(null, 26, null, 0)");
}

TEST_F(LocationsTest, AFileNamedLikeTheStagingFolderIsLeftAlone) {
  sim::AddFolder(kRoot);
  sim::AddFile(kStaging, "not a folder");
  EXPECT_EQ(StagedPath(u"a.dll"), WideString(kStaging) + u"\\a.dll");
  EXPECT_EQ(sim::CallsTo("CreateDirectoryW").size(), 1u);
  EXPECT_EQ(sim::ContentOf(kStaging), "not a folder");
}

TEST_F(LocationsTest, CacheDirCreatesNothing) {
  EXPECT_EQ(GetCacheDir(), WideString(kRoot) + u"\\AppCache\\Cache\\");
  EXPECT_TRUE(sim::CallsTo("CreateDirectoryW").empty());
  EXPECT_FALSE(sim::Exists(kRoot));
}

TEST_F(LocationsTest, ProgramFolderIsCutFromTheProgramPathOnly) {
  EXPECT_EQ(ProgramDirOf(u"\"C:\\Kelvo\\updater.exe\" --files core.dll"), u"C:\\Kelvo\\");
  EXPECT_EQ(ProgramDirOf(u"C:\\Kelvo\\updater.exe --files core.dll"), u"C:\\Kelvo\\");
  // A backslash in a name no longer moves the cut into the arguments.
  EXPECT_EQ(ProgramDirOf(u"\"C:\\Kelvo\\updater.exe\" --files lang\\en.pak"), u"C:\\Kelvo\\");
  EXPECT_EQ(ProgramDirOf(u"C:\\Kelvo\\updater.exe --files lang\\en.pak"), u"C:\\Kelvo\\");
  EXPECT_EQ(ProgramDirOf(u"C:\\Kelvo\\updater.exe --cleanCache x\\y"), u"C:\\Kelvo\\");
  EXPECT_EQ(ProgramDirOf(u"\"C:\\Program Files\\Kelvo\\updater.exe\" --files a"),
            u"C:\\Program Files\\Kelvo\\");
  EXPECT_EQ(ProgramDirOf(u"\"C:\\Kelvo\\updater.exe"), u"C:\\Kelvo\\");
  // No folder in the program path: the current folder, never the whole line.
  EXPECT_EQ(ProgramDirOf(u"updater.exe --files core.dll"), u".\\");
  EXPECT_EQ(ProgramDirOf(u"\"updater.exe\" --files lang\\en.pak"), u".\\");
  EXPECT_EQ(ProgramDirOf(u""), u".\\");
  // A leading blank: the quote is not at the start and stays.
  EXPECT_EQ(ProgramDirOf(u" \"C:\\Kelvo\\updater.exe\" --files core.dll"), u" \"C:\\Kelvo\\");
}

TEST_F(LocationsTest, TargetPathHoldsTwoBackslashesBetweenFolderAndName) {
  sim::World().commandLine = u"\"C:\\Kelvo\\updater.exe\" --files core.dll";
  EXPECT_EQ(TargetPath(u"core.dll"), u"C:\\Kelvo\\\\core.dll");
  EXPECT_EQ(TargetPath(u"lang\\en.pak"), u"C:\\Kelvo\\\\lang\\en.pak");
  EXPECT_EQ(sim::CallsTo("GetCommandLineW").size(), 2u);
}

}  // namespace
