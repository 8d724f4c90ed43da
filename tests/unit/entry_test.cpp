#include "app/entry.h"

#include <gtest/gtest.h>

#include "app/download_url.h"
#include "sim/sim.h"
#include "support/demo_machine.h"
#include "support/fixture.h"

namespace {

using Calls = std::vector<std::string>;

constexpr char kCaption[] = "Kelvo提示您";
constexpr char kUpdated[] = "已成功更新客户端！";
constexpr char kCacheCleared[] = "已成功清空客户端缓存！";
constexpr char kFailed[] = "更新客户端失败，请下载完整客户端安装！";
const std::string kLaunch =
    "ShellExecuteExW(" + std::to_string(sizeof(platform::ShellExecuteInfo)) +
    ", 0x40, null, \"open\", \"C:\\Kelvo\\KelvoClient.exe\", null, \".\", 10)";

std::string Box(const char* text) {
  return std::string("MessageBoxW(null, \"") + text + "\", \"" + kCaption + "\", 0x0)";
}

// The client installed in C:\Kelvo, which is also the working directory.
class ProgramTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    demo::InstallClient();
    sim::World().currentDirectory = u"C:\\Kelvo";
  }
  static int Run(const WideString& args) {
    sim::World().commandLine = u"\"C:\\Kelvo\\updater.exe\" " + args;
    return RunProgram();
  }
  // The calls the entry itself makes, in order.
  static Calls EntryCalls() {
    Calls calls;
    for (const std::string& line : sim::World().journal) {
      for (const char* name : {"CoInitialize(", "CoUninitialize(", "DefWindowProcW(",
                               "MessageBoxW(", "ShellExecuteExW(", "ShellExecuteW("}) {
        if (line.rfind(name, 0) == 0) calls.push_back(line);
      }
    }
    return calls;
  }
  static void StageCore() { demo::Stage(u"core.dll", "v2"); }
};

TEST_F(ProgramTest, ASuccessfulUpdateIsSilentAndStartsTheClient) {
  StageCore();
  EXPECT_EQ(Run(u"--files core.dll"), 0);
  EXPECT_EQ(EntryCalls(), (Calls{"CoInitialize(null)", "DefWindowProcW(null, 0, 0, 0)", kLaunch,
                                 "CoUninitialize()"}));
  EXPECT_EQ(sim::RunningPids(u"KelvoClient.exe").size(), 1u);
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v2");
  EXPECT_FALSE(sim::World().comInitialized);
}

TEST_F(ProgramTest, AnUpdateWhoseClientCannotStartSaysItWasInstalled) {
  StageCore();
  sim::World().launchResult = false;
  sim::World().messageBoxAnswers = {0};  // whatever the box returns, nothing follows
  EXPECT_EQ(Run(u"--files core.dll"), 0);
  EXPECT_EQ(EntryCalls(), (Calls{"CoInitialize(null)", "DefWindowProcW(null, 0, 0, 0)", kLaunch,
                                 Box(kUpdated), "CoUninitialize()"}));
}

TEST_F(ProgramTest, ClearedCacheIsReportedAndTheClientStartsOnlyAfterOk) {
  EXPECT_EQ(Run(u"--cleanCache"), 0);
  EXPECT_EQ(EntryCalls(), (Calls{"CoInitialize(null)", "DefWindowProcW(null, 0, 0, 0)",
                                 Box(kCacheCleared), kLaunch, "CoUninitialize()"}));

  sim::World().journal.clear();
  sim::World().messageBoxAnswers = {0};  // the box could not be shown
  EXPECT_EQ(Run(u"--cleanCache"), 0);
  EXPECT_EQ(EntryCalls(), (Calls{"CoInitialize(null)", "DefWindowProcW(null, 0, 0, 0)",
                                 Box(kCacheCleared), "CoUninitialize()"}));
}

TEST_F(ProgramTest, AFailedUpdateOffersTheDownloadPageAndNeverStartsTheClient) {
  EXPECT_EQ(Run(u"--files missing.dll"), 0);
  const std::string url = sim::Utf8(kDownloadPageUrl);
  EXPECT_EQ(
      EntryCalls(),
      (Calls{"CoInitialize(null)", "DefWindowProcW(null, 0, 0, 0)", Box(kFailed),
             "ShellExecuteW(null, \"open\", \"" + url + "\", null, null, 1)", "CoUninitialize()"}));
  EXPECT_EQ(url.rfind("http://", 0), 0u);
  EXPECT_EQ(url.substr(url.size() - 7), "/client");
  EXPECT_TRUE(sim::World().launches.empty());

  sim::World().journal.clear();
  sim::World().messageBoxAnswers = {2};  // IDCANCEL
  EXPECT_EQ(Run(u""), 0);
  EXPECT_TRUE(sim::CallsTo("ShellExecuteW").empty());
  EXPECT_TRUE(sim::CallsTo("ShellExecuteExW").empty());
}

TEST_F(ProgramTest, TheClientIsStartedByItsFullPathInTheWorkingDirectoryOnly) {
  // A client planted where the shell would search on for a bare name: the
  // user's PATH holds folders the user can write.
  const WideString planted = u"C:\\Users\\demo\\AppData\\Local\\Microsoft\\WindowsApps";
  sim::AddFolder(planted);
  sim::AddFile(planted + u"\\KelvoClient.exe", "not the client");
  sim::World().searchPath = {planted};
  StageCore();
  sim::World().currentDirectory = u"C:\\Elsewhere";
  sim::AddFolder(u"C:\\Elsewhere");
  EXPECT_EQ(Run(u"--files core.dll"), 0);
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v2");
  EXPECT_TRUE(sim::World().launches.empty());
  EXPECT_EQ(sim::CallsTo("MessageBoxW"), Calls{Box(kUpdated)});

  // A drive's root as working folder: one separator, and the client there starts.
  sim::AddFile(u"C:\\KelvoClient.exe", "client");
  sim::World().currentDirectory = u"C:\\";
  EXPECT_EQ(Run(u"--cleanCache"), 0);
  ASSERT_EQ(sim::World().launches.size(), 1u);
  EXPECT_EQ(sim::World().launches[0].file, u"C:\\KelvoClient.exe");
  EXPECT_EQ(sim::World().launches[0].directory, u".");
}

TEST_F(ProgramTest, DllSearchIsConfinedToSystem32BeforeAnythingElse) {
  EXPECT_EQ(Run(u"--cleanCache"), 0);
  ASSERT_FALSE(sim::World().journal.empty());
  EXPECT_EQ(sim::World().journal.front(), "SetDefaultDllDirectories(0x800)");
  EXPECT_EQ(sim::CallsTo("SetDefaultDllDirectories").size(), 1u);
  EXPECT_TRUE(sim::CallsTo("SetDllDirectoryW").empty());

  // Where the call is missing, the working folder at least leaves the search.
  sim::World().journal.clear();
  sim::World().defaultDllDirectoriesMissing = true;
  EXPECT_EQ(Run(u"--cleanCache"), 0);
  EXPECT_EQ(sim::CallNames()[1], "SetDllDirectoryW");
  EXPECT_EQ(sim::CallsTo("SetDllDirectoryW"), Calls{"SetDllDirectoryW(\"\")"});
}

TEST_F(ProgramTest, RunUpdateIsCalledOnceBetweenComInitAndUninit) {
  EXPECT_EQ(Run(u"--cleanCache"), 0);
  const Calls names = sim::CallNames();
  EXPECT_EQ(names[1], "CoInitialize");
  EXPECT_EQ(names.back(), "CoUninitialize");
  EXPECT_EQ(sim::CallsTo("CreateToolhelp32Snapshot").size(), 1u);
}

}  // namespace
