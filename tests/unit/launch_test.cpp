#include "launch/launch.h"

#include <gtest/gtest.h>

#include <tuple>

#include "launch/staging.h"
#include "sim/sim.h"
#include "support/demo_machine.h"
#include "support/fixture.h"

namespace {

constexpr char16_t kUpdater[] = u"C:\\Kelvo\\updater.exe";

class LaunchTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    demo::InstallClient();
    sim::AddFolder(u"C:\\Kelvo\\lang");
    sim::AddFolder(u"C:\\Kelvo\\\u00FC");
    sim::AddFolder(u"C:\\Downloads");
    sim::AddFile(u"C:\\Downloads\\new.bin", "version 2", platform::kAttributeReadOnly);
  }
  static LaunchRefusal Refusal(const FileList& names, const WideString& updater = kUpdater) {
    WideString line = u"untouched";
    LaunchRefusal refusal;
    const bool built = BuildUpdateCommandLine(updater, names, line, &refusal);
    EXPECT_EQ(built, refusal.code == LaunchOk);
    EXPECT_EQ(line == u"untouched", !built);
    return refusal;
  }
  // Each name refused with `code` after a good one, and by StageFile alone.
  static void ExpectRefused(LaunchCode code, std::initializer_list<WideString> names) {
    for (const WideString& name : names) {
      const LaunchRefusal refusal = Refusal({u"core.dll", name});
      EXPECT_EQ(refusal.code, code) << sim::Utf8(name);
      EXPECT_EQ(refusal.name, 1u) << sim::Utf8(name);
      LaunchCode why = LaunchOk;
      EXPECT_FALSE(StageFile(u"C:\\Downloads\\new.bin", name, &why)) << sim::Utf8(name);
      EXPECT_EQ(why, code) << sim::Utf8(name);
    }
  }
  // The other side of each edge: accepted in a list, and staged.
  static void ExpectAccepted(std::initializer_list<WideString> names) {
    for (const WideString& name : names) {
      EXPECT_EQ(Refusal({u"core.dll", name}).code, LaunchOk) << sim::Utf8(name);
      EXPECT_TRUE(StageFile(u"C:\\Downloads\\new.bin", name)) << sim::Utf8(name);
    }
  }
  static bool Builds(const FileList& names) { return Refusal(names).code == LaunchOk; }
};

TEST_F(LaunchTest, BuildsTheLineTheUpdaterReadsForAwkwardButValidNames) {
  WideString line;
  const FileList names = {u"a b.dll",     u"语言.pak",    u"\U0001F600 x.dat", u"lang\\en.pak",
                          u"lang/de.pak", u"con-fig.ini", u"nul1.txt",         u"a--files b"};
  ASSERT_TRUE(BuildUpdateCommandLine(kUpdater, names, line));
  EXPECT_EQ(line,
            u"\"C:\\Kelvo\\updater.exe\" --files a b.dll|语言.pak|\U0001F600 x.dat|"
            u"lang\\en.pak|lang/de.pak|con-fig.ini|nul1.txt|a--files b");
  ASSERT_TRUE(BuildCleanCacheCommandLine(kUpdater, line));
  EXPECT_EQ(line, u"\"C:\\Kelvo\\updater.exe\" --cleanCache");
}

// The name rules (each at its edge in the contract's own tests), as the
// line and StageFile apply them: one name for each.
TEST_F(LaunchTest, TheLineAndStagingRefuseEachNameWithItsCode) {
  ExpectRefused(RefusedEmptyName, {u""});
  ExpectRefused(RefusedBar, {u"a|b.dll"});
  ExpectRefused(RefusedLeavesFolder, {u"lang\\..\\x", u"x:stream"});
  ExpectRefused(RefusedCleanCacheOption, {u"--cleanCache.dll"});
  ExpectRefused(RefusedForbiddenCharacter, {u"what?.txt", WideString(u"nul\0l", 5)});
  ExpectRefused(RefusedMisplacedSeparator, {u"lang/\\en.pak"});
  ExpectRefused(RefusedBlankOrDot, {u"lang \\en.pak", u"core."});
  ExpectRefused(RefusedDeviceName, {u"CON .txt", u"lang\\LPT5"});
  ExpectRefused(RefusedShortName, {u"lang\\EN~1.PAK"});
  ExpectAccepted({u"..x.dll", u"--files.dll", u"x!#$%&'()+,;=@[]^_`{}~.dll", u"COM10.txt",
                  u"KELVOCL~1.EXE"});
  const LaunchRefusal empty = Refusal({});
  EXPECT_EQ(empty.code, RefusedEmptyList);
  EXPECT_EQ(empty.name, kNoName);
}

TEST_F(LaunchTest, RefusesTwoNamesForOneFileAsWindowsComparesThem) {
  const auto clash = [](const FileList& names) {
    const LaunchRefusal r = Refusal(names);
    return std::make_pair(r.code, r.name);
  };
  const auto duplicate = std::make_pair(RefusedDuplicateName, std::size_t{2});
  EXPECT_EQ(clash({u"a.dll", u"core.dll", u"CORE.DLL"}), duplicate);
  EXPECT_EQ(clash({u"a.dll", u"lang\\en.pak", u"LANG/EN.PAK"}), duplicate);
  EXPECT_EQ(clash({u"a.dll", u"z.dll", u"Z.dll"}), duplicate);
  EXPECT_EQ(clash({u"a.dll", u"\u00E9.txt", u"\u00C9.TXT"}), duplicate);
  EXPECT_EQ(clash({u"a.dll", u"\uFF41.txt", u"\uFF21.txt"}), duplicate);
  EXPECT_EQ(clash({u"a.dll", u"x\u03C3y.txt", u"X\u03A3Y.txt"}), duplicate);
  EXPECT_EQ(clash({u"a.dll", u"\u00FC\\x", u"\u00DC\\x"}), duplicate);
  EXPECT_TRUE(Builds({u"e.txt", u"\u00E9.txt", u"ss.txt", u"\u00DF.txt", u"[.txt", u"{.txt"}));
}

TEST_F(LaunchTest, RefusesANameThatIsAFolderOrTheUpdaterItself) {
  EXPECT_EQ(Refusal({u"x", u"X\\y"}).code, RefusedNameIsFolder);  // before its missing folder
  EXPECT_EQ(Refusal({u"x\\y", u"x"}).code, RefusedMissingFolder);
  EXPECT_EQ(Refusal({u"core.dll", u"lang\\en.pak", u"LANG"}).name, 2u);
  EXPECT_EQ(Refusal({u"core.dll", u"Lang"}).code, RefusedNameIsFolder);  // beside the updater
  for (const WideString name : {u"updater.exe", u"UPDATER.EXE"}) {
    EXPECT_EQ(Refusal({u"core.dll", name}).code, RefusedUpdaterItself);
  }
  EXPECT_TRUE(Builds({u"lang\\updater.exe", u"updater.exe.bak", u"updater.ex"}));
  EXPECT_EQ(Refusal({u"kelvo-update.exe"}, u"C:\\Kelvo\\Kelvo-Update.exe").code,
            RefusedUpdaterItself);
  EXPECT_TRUE(Refusal({u"updater.exe"}, u"C:\\Kelvo\\Kelvo-Update.exe").code == LaunchOk);
}

TEST_F(LaunchTest, RefusesANameWhereAnotherNeedsAFolderAtAnyDepth) {
  // Without the clash, the later name would be refused for its missing folder.
  sim::AddFolder(u"C:\\Kelvo\\a\\b");
  for (const FileList& names :
       {FileList{u"lang\\x", u"LANG\\X\\y"}, FileList{u"a\\b\\c", u"A/B/C/d"}}) {
    const LaunchRefusal r = Refusal(names);
    EXPECT_EQ(std::make_pair(r.code, r.name), std::make_pair(RefusedNameIsFolder, std::size_t{1}))
        << sim::Utf8(names[0]);
  }
}

TEST_F(LaunchTest, RefusesAFolderMissingBesideTheUpdaterAtAnyDepth) {
  ExpectAccepted({u"lang\\en.pak"});
  // A file where a folder should be is no folder either.
  for (const WideString name : {u"plugins\\x.dll", u"lang\\zh\\x.pak", u"core.dll\\x"}) {
    const LaunchRefusal r = Refusal({u"a.dll", name});
    EXPECT_EQ(std::make_pair(r.code, r.name), std::make_pair(RefusedMissingFolder, std::size_t{1}))
        << sim::Utf8(name);
  }
}

TEST_F(LaunchTest, RefusesUpdaterPathsThatCannotBeQuotedOrHoldAnOption) {
  WideString line;
  for (const WideString& updater : FileList{
           u"updater.exe", u"C:updater.exe", u"C:\\--files\\updater.exe", u"C:\\a--cleanCache.exe",
           u"C:\\Kel\"vo\\updater.exe", u"C:/Kelvo/updater.exe", u"C:\\Kelvo/updater.exe",
           u"C:\\Kelvo\\", u"", u"C:\\" + WideString(257, u'u'), u"\\\\?\\C:\\Kelvo\\updater.exe",
           u"\\\\.\\C:\\Kelvo\\updater.exe", u"\\\\?\\UNC\\server\\share\\updater.exe",
           u"C:\\Kel\tvo\\updater.exe", u"C:\\Kelvo\\updater.exe\n",
           WideString(u"C:\\K\0lvo\\updater.exe", 21), u"C:\\K\x1Flvo\\updater.exe"}) {
    const LaunchRefusal r = Refusal({u"core.dll"}, updater);
    EXPECT_EQ(std::make_pair(r.code, r.name), std::make_pair(RefusedUpdaterPath, kNoName))
        << sim::Utf8(updater);
    EXPECT_FALSE(BuildCleanCacheCommandLine(updater, line)) << sim::Utf8(updater);
  }
  // Up to 259 units, and on a share.
  for (const WideString& updater :
       FileList{u"C:\\" + WideString(254, u'u') + u"\\x", u"\\\\server\\share\\updater.exe"}) {
    EXPECT_TRUE(BuildCleanCacheCommandLine(updater, line)) << sim::Utf8(updater);
  }
  EXPECT_EQ(Refusal({u"core.dll"}, u"\\\\server\\share\\updater.exe").code, LaunchOk);
}

TEST_F(LaunchTest, WithoutAClientRootNothingIsBuiltOrStaged) {
  sim::World().appDataPath = u"C:\\" + WideString(250, u'r');
  EXPECT_EQ(Refusal({u"core.dll"}).code, FailedNoClientRoot);
  LaunchCode why = LaunchOk;
  EXPECT_FALSE(StageFile(u"C:\\Downloads\\new.bin", u"core.dll", &why));
  EXPECT_EQ(why, FailedNoClientRoot);
}

TEST_F(LaunchTest, KeepsEveryPathAndTheLineWithinTheWindowsLimits) {
  // The staged copy is written under a 2-unit prefix first; with the staging
  // folder (53 units) and a separator, 203 units is the longest name.
  EXPECT_TRUE(Builds({WideString(203, u'n')}));
  EXPECT_EQ(Refusal({WideString(204, u'n')}).code, RefusedPathTooLong);
  // A folder path takes 247 units: 193 beside the staging folder and its "\".
  for (const std::size_t n : {193, 194}) sim::AddFolder(u"C:\\Kelvo\\" + WideString(n, u'f'));
  EXPECT_TRUE(Builds({WideString(193, u'f') + u"\\x"}));
  ExpectRefused(RefusedFolderTooLong, {WideString(194, u'f') + u"\\x"});
  EXPECT_TRUE(StageFile(u"C:\\Downloads\\new.bin", WideString(193, u'f') + u"\\x"));

  // Beside an updater in a long folder (203 units): the installed side's limits.
  const WideString folder = u"C:\\" + WideString(200, u'k');
  const WideString updater = folder + u"\\updater.exe";
  for (const std::size_t n : {43, 44}) sim::AddFolder(folder + u"\\" + WideString(n, u'f'));
  EXPECT_EQ(Refusal({WideString(43, u'f') + u"\\x"}, updater).code, LaunchOk);
  EXPECT_EQ(Refusal({WideString(44, u'f') + u"\\x"}, updater).code, RefusedFolderTooLong);
  EXPECT_EQ(Refusal({WideString(55, u'n')}, updater).code, LaunchOk);
  EXPECT_EQ(Refusal({WideString(56, u'n')}, updater).code, RefusedPathTooLong);

  // 32,766 units and the terminator: the longest line CreateProcess takes.
  const std::size_t head = WideString(u"\"C:\\Kelvo\\updater.exe\" --files ").size();
  FileList names;
  std::size_t length = head - 1;
  for (int i = 0; length + 201 <= 32766; ++i) {
    const std::string n = std::to_string(i);
    names.push_back(WideString(n.begin(), n.end()) + WideString(200 - n.size(), u'x'));
    length += 201;
  }
  names.push_back(WideString(32766 - length - 1, u'y'));
  WideString line;
  ASSERT_TRUE(BuildUpdateCommandLine(kUpdater, names, line));
  EXPECT_EQ(line.size(), 32766u);
  names.back() += u'y';
  const LaunchRefusal r = Refusal(names);
  EXPECT_EQ(std::make_pair(r.code, r.name), std::make_pair(RefusedLineTooLong, names.size() - 1));
}

TEST_F(LaunchTest, StagesIntoNewSubfoldersAsAPlainFile) {
  ASSERT_TRUE(StageFile(u"C:\\Downloads\\new.bin", u"lang\\zh\\语言.pak"));
  const WideString staged = demo::StagedFile(u"lang\\zh\\语言.pak");
  EXPECT_EQ(sim::ContentOf(staged), "version 2");
  EXPECT_EQ(sim::Find(staged)->attributes & platform::kAttributeReadOnly, 0u);
  EXPECT_FALSE(sim::Exists(PartialPathOf(demo::StagedFile(u"lang\\zh\\语言.pak"))));
  ASSERT_TRUE(StageFile(u"C:\\Downloads\\new.bin", u"lang/new/de.pak"));
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"lang\\new\\de.pak")), "version 2");
}

TEST_F(LaunchTest, AFailureMidCopyLeavesNothingUnderTheNameAndSaysWhy) {
  const auto stage = [](const WideString& source, const WideString& name) {
    LaunchCode why = LaunchOk;
    EXPECT_FALSE(StageFile(source, name, &why)) << sim::Utf8(name);
    EXPECT_FALSE(sim::Exists(demo::StagedFile(name))) << sim::Utf8(name);
    EXPECT_FALSE(sim::Exists(PartialPathOf(demo::StagedFile(name)))) << sim::Utf8(name);
    return why;
  };
  demo::Stage(u"core.dll", "an older staged copy");
  sim::World().interruptNextCopy = true;
  EXPECT_EQ(stage(u"C:\\Downloads\\new.bin", u"core.dll"), FailedCopy);
  demo::Stage(u"core.dll", "an older staged copy");
  EXPECT_EQ(stage(u"C:\\Downloads\\missing.bin", u"core.dll"), FailedSourceMissing);
  EXPECT_EQ(stage(u"C:\\Downloads", u"core.dll"), FailedSourceMissing);
  sim::AddFolder(demo::StagedFile(u"ui.dll"));
  LaunchCode why = LaunchOk;
  EXPECT_FALSE(StageFile(u"C:\\Downloads\\new.bin", u"ui.dll", &why));
  EXPECT_EQ(why, FailedRename);
  EXPECT_FALSE(sim::Exists(PartialPathOf(demo::StagedFile(u"ui.dll"))));
}

TEST_F(LaunchTest, StagingAgainReplacesOnlyTheEarlierCopyOfThatName) {
  sim::AddFile(u"C:\\Downloads\\v3.bin", "version 3");
  demo::Stage(u"abcdefghi.dll", "an older read-only copy", platform::kAttributeReadOnly);
  demo::Stage(u"~abcdefghi.dll", "a name like the partial copy's");
  ASSERT_TRUE(StageFile(u"C:\\Downloads\\new.bin", u"abcdefghi.dll"));
  ASSERT_TRUE(StageFile(u"C:\\Downloads\\v3.bin", u"ABCDEFGHI.dll"));
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"abcdefghi.dll")), "version 3");
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"~abcdefghi.dll")), "a name like the partial copy's");
  // The partial copy's name is one that no staged file can have.
  const std::string copy = sim::CallsTo("CopyFileW").back();
  const std::size_t end = copy.rfind('"');
  const std::size_t start = copy.rfind('\\', end) + 1;
  EXPECT_FALSE(IsStageableName(WideString(copy.begin() + start, copy.begin() + end))) << copy;
}

TEST_F(LaunchTest, StartsTheUpdaterFromItsFolderAndReportsADeclinedStart) {
  sim::AddFile(kUpdater, "updater");
  WideString line;
  ASSERT_TRUE(BuildUpdateCommandLine(kUpdater, {u"a b.dll", u"lang\\en.pak"}, line));
  ASSERT_TRUE(StartUpdater(line));
  ASSERT_EQ(sim::World().launches.size(), 1u);
  const sim::ShellStart& started = sim::World().launches.back();
  EXPECT_EQ(std::make_tuple(started.image, started.parameters, started.directory),
            std::make_tuple(WideString(kUpdater), WideString(u"--files a b.dll|lang\\en.pak"),
                            WideString(u"C:\\Kelvo\\")));

  sim::World().launchResult = false;  // the user declined elevation
  EXPECT_FALSE(StartUpdater(line));
  sim::World().launchResult = true;
  for (const WideString bad :
       {u"C:\\Kelvo\\updater.exe --cleanCache", u"\"C:\\Kelvo\\updater.exe\"--cleanCache",
        u"\"C:\\Kelvo\\updater.exe\"", u"\"C:\\Kelvo\\updater.exe --cleanCache"}) {
    EXPECT_FALSE(StartUpdater(bad)) << sim::Utf8(bad);
  }
  EXPECT_EQ(sim::World().launches.size(), 1u);
}

}  // namespace
