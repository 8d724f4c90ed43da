#include "update/update.h"

#include <gtest/gtest.h>

#include <functional>

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
  // Installed files replaced, in order: each by the rename of its partial copy.
  static Calls TargetsWritten() { return sim::CallsTo("MoveFileExW"); }
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
  // In list order, each file whole into place.
  const Calls targets = TargetsWritten();
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_NE(targets[0].find("\\core.dll\","), std::string::npos) << targets[0];
  EXPECT_NE(targets[1].find("\\ui.dll\","), std::string::npos) << targets[1];
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
  EXPECT_TRUE(TargetsWritten().empty());
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
  EXPECT_TRUE(TargetsWritten().empty());
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
  EXPECT_EQ(TargetsWritten().size(), 1u);
  for (const std::string& call : sim::World().journal) {
    EXPECT_EQ(call.find("ui.dll"), std::string::npos) << "the third name was attempted: " << call;
  }
}

TEST_F(UpdateRunTest, ANameListedTwiceFailsOnItsSecondMove) {
  Stage(u"core.dll", "core v2");
  Args(u"--files core.dll|core.dll");
  EXPECT_EQ(RunUpdate(), OutcomeFailed);
  EXPECT_EQ(Installed(u"core.dll"), "core v2");
  EXPECT_EQ(TargetsWritten().size(), 1u);
}

TEST_F(UpdateRunTest, NamesAreCheckedAsWindowsReadsThem) {
  sim::AddFolder(u"C:\\Kelvo\\lang");
  Stage(u"lang\\en.pak", "en v2");
  Stage(u"core.dll", "core v2");
  Stage(u"ui.dll", "ui v2");
  Args(u"--files lang/en.pak|.\\core.dll|\\\\ui.dll");
  EXPECT_EQ(RunUpdate(), OutcomeUpdated);
  EXPECT_EQ(Installed(u"lang\\en.pak"), "en v2");
  EXPECT_EQ(Installed(u"core.dll"), "core v2");
  EXPECT_EQ(Installed(u"ui.dll"), "ui v2");
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
  EXPECT_TRUE(TargetsWritten().empty());
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

// Killed at any call of a run, the power failing right after: each installed
// file holds its old content or its new, whole, and one still old keeps its
// staged copy. The next run, after the client staged again what it missed,
// finishes and leaves no partial copy.
TEST_F(UpdateRunTest, AStopAtAnyCallTearsNothingAndTheNextRunFinishes) {
  const std::string core2(300 * 1024, 'c');  // two chunks
  const struct {
    WideString name;
    std::string before, after;
  } files[] = {{u"core.dll", "core v1", core2}, {u"ui.dll", "ui v1", "ui v2"}};
  const auto stageMissing = [&] {
    for (const auto& f : files) {
      if (!sim::Exists(StagedFile(f.name))) Stage(f.name, f.after);
    }
  };
  Args(u"--files core.dll|ui.dll");
  stageMissing();
  ASSERT_EQ(RunUpdate(), OutcomeUpdated);
  const std::size_t calls = sim::World().journal.size();
  for (std::size_t k = 0; k < calls; ++k) {
    SCOPED_TRACE(sim::World().journal[k]);
    TearDown();
    SetUp();
    Args(u"--files core.dll|ui.dll");
    stageMissing();
    sim::World().killBeforeCall = k;
    EXPECT_THROW(RunUpdate(), sim::Killed);
    sim::EndProcess();
    sim::PowerCut();
    for (const auto& f : files) {
      const std::optional<std::string> now = Installed(f.name);
      EXPECT_TRUE(now == f.before || now == f.after);
      if (now == f.before) {
        EXPECT_EQ(sim::ContentOf(StagedFile(f.name)), f.after);
      }
    }
    stageMissing();
    EXPECT_EQ(RunUpdate(), OutcomeUpdated);
    for (const auto& f : files) EXPECT_EQ(Installed(f.name), f.after);
    EXPECT_EQ(sim::FilesIn(u"C:\\Kelvo"),
              (std::vector<std::string>{"KelvoClient.exe", "core.dll", "ui.dll"}));
    EXPECT_TRUE(sim::FilesIn(demo::kStaging).empty());
  }
}

// A run sweeps each folder it installs into, once, before the first file;
// what stands under a listed name is the client's and stays.
TEST_F(UpdateRunTest, PartialCopiesOfAStoppedRunGoWithTheNextRunIntoTheirFolder) {
  sim::AddFolder(u"C:\\Kelvo\\lang");
  sim::AddFile(u"C:\\Kelvo\\ ~core.dll.partial", "torn");
  sim::AddFile(u"C:\\Kelvo\\ ~gone.dll.3.partial", "torn");
  sim::AddFile(u"C:\\Kelvo\\ ~KEEP.partial", "the client's own, version 1");
  sim::AddFolder(u"C:\\Kelvo\\ ~folder.partial");
  sim::AddFile(u"C:\\Kelvo\\lang\\ ~en.pak.partial", "torn");
  Stage(u"core.dll", "core v2");
  Stage(u" ~keep.partial", "the client's own, version 2");
  Args(u"--files core.dll|missing.dll| ~keep.partial");
  EXPECT_EQ(RunUpdate(), OutcomeFailed);
  EXPECT_EQ(Installed(u"core.dll"), "core v2");
  EXPECT_EQ(sim::FilesIn(u"C:\\Kelvo"),
            (std::vector<std::string>{" ~KEEP.partial", "KelvoClient.exe", "core.dll", "ui.dll"}));
  EXPECT_EQ(Installed(u" ~keep.partial"), "the client's own, version 1");
  EXPECT_TRUE(sim::Exists(u"C:\\Kelvo\\ ~folder.partial"));
  // No file of the list goes to lang.
  EXPECT_TRUE(sim::Exists(u"C:\\Kelvo\\lang\\ ~en.pak.partial"));
  EXPECT_EQ(sim::CallsTo("FindFirstFileW").size(), 1u);

  // A run with a file for lang sweeps lang too, but for a listed name.
  sim::AddFile(u"C:\\Kelvo\\lang\\ ~keep.partial", "the client's own, version 1");
  Stage(u"lang\\en.pak", "en v2");
  Stage(u"lang\\ ~keep.partial", "the client's own, version 2");
  Args(u"--files lang\\en.pak|missing.dll|lang\\ ~keep.partial");
  EXPECT_EQ(RunUpdate(), OutcomeFailed);
  EXPECT_EQ(Installed(u"lang\\en.pak"), "en v2");
  EXPECT_EQ(sim::FilesIn(u"C:\\Kelvo\\lang"),
            (std::vector<std::string>{" ~keep.partial", "en.pak"}));
  EXPECT_EQ(Installed(u"lang\\ ~keep.partial"), "the client's own, version 1");
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

// The staging and cache folders belong to the user, who may turn any folder
// or file below the client root into a link, before the run or during it.
class LinkedFolderTest : public UpdateRunTest {
 protected:
  static constexpr char16_t kOutside[] = u"C:\\Windows\\System32";
  // Files only an administrator may touch, and a staged update of x.dll.
  void SetUp() override {
    UpdateRunTest::SetUp();
    sim::AddFolder(u"C:\\Windows");
    sim::AddFolder(kOutside);
    sim::AddFile(WideString(kOutside) + u"\\x.dll", "system x");
    sim::AddFile(WideString(kOutside) + u"\\other.dll", "system other");
    sim::AddFile(u"C:\\Kelvo\\x.dll", "x v1");
  }
  void Fresh() {
    TearDown();
    SetUp();
  }
  static void ExpectOutsideUntouched() {
    EXPECT_EQ(sim::ContentOf(WideString(kOutside) + u"\\x.dll"), "system x");
    EXPECT_EQ(sim::ContentOf(WideString(kOutside) + u"\\other.dll"), "system other");
  }
  static WideString Cached(const WideString& name) { return WideString(kCache) + name; }
};

TEST_F(LinkedFolderTest, AStagedNameThatIsNotReallyInTheStagingFolderFailsTouchingNothing) {
  const WideString outsideX = WideString(kOutside) + u"\\x.dll";
  const struct {
    const char* what;
    WideString name;
    std::function<void()> plant;
  } cases[] = {
      {"the staging folder a junction", u"x.dll",
       [] { sim::AddFolder(demo::kClientRoot), sim::AddLink(demo::kStaging, kOutside); }},
      {"a subfolder a junction", u"lang\\x.dll",
       [] { demo::Stage(u"keep.dll", "k"), sim::AddLink(StagedFile(u"lang"), kOutside); }},
      {"the staged file a symbolic link", u"x.dll",
       [&] { demo::Stage(u"keep.dll", "k"), sim::AddLink(StagedFile(u"x.dll"), outsideX); }},
      {"the staged file a second name of another", u"x.dll",
       [] { demo::Stage(u"x.dll", "linked"), sim::Find(StagedFile(u"x.dll"))->hardLinks = 2; }},
      {"the staged file a junction", u"x.dll",
       [] { demo::Stage(u"keep.dll", "k"), sim::AddLink(StagedFile(u"x.dll"), kOutside); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    c.plant();
    const sim::Node before = *sim::Find(StagedFile(c.name));
    Args(u"--files " + c.name);
    EXPECT_EQ(RunUpdate(), OutcomeFailed);
    ExpectOutsideUntouched();
    EXPECT_EQ(Installed(u"x.dll"), "x v1");
    ASSERT_NE(sim::Find(StagedFile(c.name)), nullptr);
    EXPECT_EQ(sim::Find(StagedFile(c.name))->content, before.content);
    EXPECT_TRUE(sim::CallsTo("WriteFile").empty());
    EXPECT_TRUE(sim::CallsTo("SetFileInformationByHandle").empty());
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
}

TEST_F(LinkedFolderTest, AFolderSwappedForALinkAtAnyStepRedirectsNothing) {
  for (const WideString name : {u"x.dll", u"lang\\x.dll"}) {
    const WideString swapped = name == u"x.dll" ? WideString(demo::kStaging) : StagedFile(u"lang");
    const auto run = [&](std::optional<std::size_t> swapAt) {
      Fresh();
      sim::AddFolder(u"C:\\Kelvo\\lang");
      sim::AddFile(u"C:\\Kelvo\\lang\\x.dll", "x v1");
      Stage(name, "x v2");
      Args(u"--files " + name);
      if (swapAt) sim::World().swap = sim::State::PlannedSwap{*swapAt, swapped, kOutside};
      return RunUpdate();
    };
    ASSERT_EQ(run(std::nullopt), OutcomeUpdated);
    const std::size_t calls = sim::World().journal.size();
    for (std::size_t k = 0; k <= calls; ++k) {
      SCOPED_TRACE(sim::Utf8(name) + ", swapped before call " + std::to_string(k));
      const UpdateOutcome outcome = run(k);
      ExpectOutsideUntouched();
      // Either the genuine staged file was installed, or nothing was.
      EXPECT_EQ(Installed(name), outcome == OutcomeUpdated ? "x v2" : "x v1");
      EXPECT_EQ(sim::OpenHandleCount(), 0u);
    }
  }
}

TEST_F(LinkedFolderTest, ACacheOrEntryThatIsALinkIsLeftAndTheSearchGoesOn) {
  const struct {
    const char* what;
    std::function<void()> plant;
  } cases[] = {
      {"the cache folder a junction",
       [] {
         demo::MakeCacheFolder();
         sim::AddFile(Cached(u"own.bin"), "o");
         sim::SwapForLink(kCache, kOutside);
       }},
      {"its parent a junction",
       [] {
         demo::MakeCacheFolder();
         sim::AddFolder(WideString(kOutside) + u"\\Cache");
         sim::AddFile(WideString(kOutside) + u"\\Cache\\x.dll", "system cache");
         sim::SwapForLink(WideString(demo::kClientRoot) + u"\\AppCache", kOutside);
       }},
      {"entries that are links or second names",
       [] {
         demo::MakeCacheFolder();
         sim::AddFile(Cached(u"a.bin"), "a");
         sim::AddLink(Cached(u"b-link.dll"), WideString(kOutside) + u"\\x.dll");
         sim::AddLink(Cached(u"c-junction"), kOutside);
         sim::AddFile(Cached(u"d-hardlink.dll"), "system other");
         sim::Find(Cached(u"d-hardlink.dll"))->hardLinks = 2;
         sim::AddFile(Cached(u"e.bin"), "e");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    c.plant();
    Args(u"--cleanCache");
    EXPECT_EQ(RunUpdate(), OutcomeCacheCleared);
    ExpectOutsideUntouched();
    EXPECT_EQ(sim::ContentOf(WideString(kOutside) + u"\\Cache\\x.dll"),
              sim::Exists(WideString(kOutside) + u"\\Cache")
                  ? std::optional<std::string>("system cache")
                  : std::nullopt);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
  // The plain files around the links went.
  EXPECT_FALSE(sim::Exists(Cached(u"a.bin")));
  EXPECT_FALSE(sim::Exists(Cached(u"e.bin")));
  EXPECT_TRUE(sim::Exists(Cached(u"b-link.dll")));
  EXPECT_TRUE(sim::Exists(Cached(u"d-hardlink.dll")));

  // Swapped for a junction at any step of the run.
  Fresh();
  Args(u"--cleanCache");
  const std::size_t calls = (demo::MakeCacheFolder(), RunUpdate(), sim::World().journal.size());
  for (std::size_t k = 0; k <= calls; ++k) {
    SCOPED_TRACE("swapped before call " + std::to_string(k));
    Fresh();
    Args(u"--cleanCache");
    demo::MakeCacheFolder();
    sim::AddFile(Cached(u"own.bin"), "o");
    sim::World().swap = sim::State::PlannedSwap{k, kCache, kOutside};
    EXPECT_EQ(RunUpdate(), OutcomeCacheCleared);
    ExpectOutsideUntouched();
  }
}

TEST_F(LinkedFolderTest, AClientRootMovedWithALinkStillUpdatesAndClearsItsCache) {
  const WideString moved = u"D:\\Profiles\\demo\\KelvoClient";
  sim::AddFolder(u"D:");
  sim::AddFolder(u"D:\\Profiles");
  sim::AddFolder(u"D:\\Profiles\\demo");
  sim::AddFolder(moved);
  sim::AddLink(demo::kClientRoot, moved);
  sim::AddFolder(moved + u"\\UPDATE_TEMP");
  sim::AddFile(StagedFile(u"x.dll"), "x v2");
  EXPECT_EQ(sim::ContentOf(moved + u"\\UPDATE_TEMP\\x.dll"), "x v2");
  Args(u"--files x.dll");
  EXPECT_EQ(RunUpdate(), OutcomeUpdated);
  EXPECT_EQ(Installed(u"x.dll"), "x v2");
  EXPECT_FALSE(sim::Exists(moved + u"\\UPDATE_TEMP\\x.dll"));

  sim::AddFolder(moved + u"\\AppCache");
  sim::AddFolder(kCache);
  sim::AddFile(Cached(u"a.bin"), "a");
  EXPECT_TRUE(sim::Exists(moved + u"\\AppCache\\Cache\\a.bin"));
  Args(u"--cleanCache");
  EXPECT_EQ(RunUpdate(), OutcomeCacheCleared);
  EXPECT_FALSE(sim::Exists(moved + u"\\AppCache\\Cache\\a.bin"));
  EXPECT_TRUE(sim::Find(demo::kClientRoot)->attributes & platform::kAttributeReparsePoint);
}
