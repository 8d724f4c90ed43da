#include "update/update.h"

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "support/demo_machine.h"
#include "support/fixture.h"

namespace {

using Calls = std::vector<std::string>;

using demo::kCache;
using demo::StagedFile;

// A machine with the client installed in C:\Kelvo, one instance running.
class UpdateRunTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    demo::InstallClient("client v1");
    sim::AddFile(u"C:\\Kelvo\\core.dll", "core v1");
    sim::AddFile(u"C:\\Kelvo\\ui.dll", "ui v1");
    client_ = sim::AddProcess(u"KelvoClient.exe");
  }
  static void Args(const WideString& args) {
    sim::World().commandLine = u"\"C:\\Kelvo\\updater.exe\" " + args;
  }
  static void Stage(const WideString& name, const std::string& content) {
    demo::Stage(name, content);
  }
  static std::optional<std::string> Installed(const WideString& name) {
    return sim::ContentOf(u"C:\\Kelvo\\" + name);
  }
  // Everything before the run first reads the command line.
  static Calls CallsBeforeTheCommandLine() {
    const Calls names = sim::CallNames();
    return Calls(names.begin(), std::find(names.begin(), names.end(), "GetCommandLineW"));
  }
  std::uint32_t client_ = 0;
};

TEST_F(UpdateRunTest, InstallsEveryStagedFileAfterEndingTheClient) {
  Stage(u"core.dll", "core v2");
  Stage(u"ui.dll", "ui v2");
  Args(u"--files core.dll|ui.dll");
  EXPECT_EQ(RunUpdate(), OutcomeUpdated);
  EXPECT_EQ(Installed(u"core.dll"), "core v2");
  EXPECT_EQ(Installed(u"ui.dll"), "ui v2");
  EXPECT_FALSE(sim::Exists(StagedFile(u"core.dll")));
  EXPECT_FALSE(sim::Exists(StagedFile(u"ui.dll")));
  EXPECT_FALSE(sim::FindProcess(client_)->running);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);

  const Calls before = CallsBeforeTheCommandLine();
  EXPECT_EQ(before.front(), "GetCurrentProcess");
  EXPECT_NE(std::find(before.begin(), before.end(), "TerminateProcess"), before.end());
  // Per name: the target path, then the staged path, then the move.
  const Calls copies = sim::CallsTo("CopyFileW");
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(copies[0], "CopyFileW(\"" + sim::Utf8(StagedFile(u"core.dll")) +
                           "\", \"C:\\Kelvo\\\\core.dll\", 0)");
}

TEST_F(UpdateRunTest, CleanCacheWinsOverFilesAndMovesNothing) {
  demo::MakeCacheFolder();
  sim::AddFile(WideString(kCache) + u"blob", "x");
  sim::AddFolder(WideString(kCache) + u"sub");
  Stage(u"core.dll", "core v2");
  Args(u"--files core.dll --cleanCache");
  EXPECT_EQ(RunUpdate(), OutcomeCacheCleared);
  EXPECT_FALSE(sim::Exists(WideString(kCache) + u"blob"));
  EXPECT_TRUE(sim::Exists(WideString(kCache) + u"sub"));
  EXPECT_EQ(Installed(u"core.dll"), "core v1");
  EXPECT_TRUE(sim::Exists(StagedFile(u"core.dll")));
  EXPECT_TRUE(sim::CallsTo("CopyFileW").empty());
  EXPECT_FALSE(sim::FindProcess(client_)->running);
}

TEST_F(UpdateRunTest, AnArgumentThatBeginsWithCleanCacheSelectsTheCacheJob) {
  Args(u"--cleanCacheNow");
  EXPECT_EQ(RunUpdate(), OutcomeCacheCleared);
  // No cache folder: nothing to delete, nothing created.
  EXPECT_TRUE(sim::CallsTo("DeleteFileW").empty());
  EXPECT_TRUE(sim::CallsTo("CreateDirectoryW").empty());
}

TEST_F(UpdateRunTest, NeitherOptionFailsButTheClientIsEndedFirst) {
  Args(u"--silent");
  EXPECT_EQ(RunUpdate(), OutcomeFailed);
  EXPECT_FALSE(sim::FindProcess(client_)->running);
  EXPECT_TRUE(sim::CallsTo("CopyFileW").empty());
  EXPECT_TRUE(sim::CallsTo("CreateDirectoryW").empty());
}

TEST_F(UpdateRunTest, TheFirstFailureStopsTheRunAndNothingIsRolledBack) {
  Stage(u"core.dll", "core v2");
  Stage(u"ui.dll", "ui v2");
  Args(u"--files core.dll|missing.dll|ui.dll");
  EXPECT_EQ(RunUpdate(), OutcomeFailed);
  EXPECT_EQ(Installed(u"core.dll"), "core v2");
  EXPECT_FALSE(sim::Exists(StagedFile(u"core.dll")));
  EXPECT_EQ(Installed(u"ui.dll"), "ui v1");
  EXPECT_EQ(sim::ContentOf(StagedFile(u"ui.dll")), "ui v2");
  EXPECT_EQ(sim::CallsTo("CopyFileW").size(), 1u);
  for (const std::string& call : sim::World().journal) {
    EXPECT_EQ(call.find("ui.dll"), std::string::npos) << "the third name was attempted: " << call;
  }
}

TEST_F(UpdateRunTest, ANameListedTwiceFailsOnItsSecondMove) {
  Stage(u"core.dll", "core v2");
  Args(u"--files core.dll|core.dll");
  EXPECT_EQ(RunUpdate(), OutcomeFailed);
  EXPECT_EQ(Installed(u"core.dll"), "core v2");
  EXPECT_EQ(sim::CallsTo("CopyFileW").size(), 1u);
}

TEST_F(UpdateRunTest, MissingClientRootAndStagingFolderAreCreatedInThatOrder) {
  Args(u"--files core.dll");
  EXPECT_EQ(RunUpdate(), OutcomeFailed);  // nothing was staged
  EXPECT_EQ(sim::CallsTo("CreateDirectoryW"),
            (Calls{"CreateDirectoryW(\"" + sim::Utf8(demo::kClientRoot) + "\")",
                   "CreateDirectoryW(\"" + sim::Utf8(demo::kStaging) + "\")"}));
  EXPECT_TRUE(sim::Exists(demo::kStaging));
}

TEST_F(UpdateRunTest, AnUnsafeNameFailsTheRunBeforeAnyFileIsTouched) {
  Stage(u"core.dll", "core v2");
  sim::AddFile(u"C:\\Windows\\evil.dll", "system");
  Args(u"--files core.dll|..\\..\\Windows\\evil.dll");
  EXPECT_EQ(RunUpdate(), OutcomeFailed);
  EXPECT_EQ(Installed(u"core.dll"), "core v1");
  EXPECT_EQ(sim::ContentOf(u"C:\\Windows\\evil.dll"), "system");
  EXPECT_TRUE(sim::CallsTo("CopyFileW").empty());
}

TEST_F(UpdateRunTest, WithoutAClientRootTheUpdateFailsAndTheCacheJobDeletesNothing) {
  sim::World().appDataPath = u"C:\\" + WideString(250, u'x');
  sim::World().currentDirectory = u"C:\\Kelvo";
  sim::AddFile(u"C:\\core.dll", "at the drive root");
  Args(u"--files core.dll");
  EXPECT_EQ(RunUpdate(), OutcomeFailed);
  EXPECT_EQ(Installed(u"core.dll"), "core v1");
  EXPECT_TRUE(sim::CallsTo("CreateDirectoryW").empty());

  Args(u"--cleanCache");
  EXPECT_EQ(RunUpdate(), OutcomeCacheCleared);
  EXPECT_TRUE(sim::CallsTo("FindFirstFileW").empty());
  EXPECT_TRUE(sim::CallsTo("DeleteFileW").empty());
  EXPECT_TRUE(sim::Exists(u"C:\\Kelvo\\KelvoClient.exe"));
}

TEST_F(UpdateRunTest, AClientThatCannotBeEndedCostsNoWait) {
  sim::FindProcess(client_)->terminateFails = true;
  Stage(u"core.dll", "core v2");
  Args(u"--files core.dll");
  EXPECT_EQ(RunUpdate(), OutcomeUpdated);
  EXPECT_EQ(sim::World().waitedMs, 0u);
  EXPECT_TRUE(sim::FindProcess(client_)->running);
  EXPECT_EQ(Installed(u"core.dll"), "core v2");
}

}  // namespace
