#include "launch/launch.h"

#include <gtest/gtest.h>

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
    sim::AddFolder(u"C:\\Downloads");
    sim::AddFile(u"C:\\Downloads\\new.bin", "version 2", platform::kAttributeReadOnly);
  }
  // Every name refused alone, and inside an otherwise good list.
  static void ExpectRefused(std::initializer_list<WideString> names) {
    for (const WideString& name : names) {
      WideString line = u"untouched";
      EXPECT_FALSE(BuildUpdateCommandLine(kUpdater, {u"core.dll", name}, line)) << sim::Utf8(name);
      EXPECT_EQ(line, u"untouched");
      EXPECT_FALSE(StageFile(u"C:\\Downloads\\new.bin", name)) << sim::Utf8(name);
    }
  }
  static bool Builds(const FileList& names) {
    WideString line;
    return BuildUpdateCommandLine(kUpdater, names, line);
  }
};

TEST_F(LaunchTest, BuildsTheLineTheUpdaterReadsForAwkwardButValidNames) {
  WideString line;
  const FileList names = {u"a b.dll",     u"语言.pak",    u"\U0001F600 x.dat", u"lang\\en.pak",
                          u"lang/de.pak", u"con-fig.ini", u"nul1.txt"};
  ASSERT_TRUE(BuildUpdateCommandLine(kUpdater, names, line));
  EXPECT_EQ(line,
            u"\"C:\\Kelvo\\updater.exe\" --files a b.dll|语言.pak|\U0001F600 x.dat|"
            u"lang\\en.pak|lang/de.pak|con-fig.ini|nul1.txt");
  ASSERT_TRUE(BuildCleanCacheCommandLine(kUpdater, line));
  EXPECT_EQ(line, u"\"C:\\Kelvo\\updater.exe\" --cleanCache");
}

TEST_F(LaunchTest, RefusesWhatTheUpdaterWouldMisreadOrRefuse) {
  ExpectRefused({u"", u"a|b.dll", u"..\\evil.dll", u"lang\\..\\x", u"C:evil.dll", u"x:stream",
                 u"a--files b", u"--cleanCache.dll"});
  EXPECT_FALSE(Builds({}));
  EXPECT_FALSE(Builds({u"core.dll", u"CORE.DLL"}));         // the second move would fail
  EXPECT_FALSE(Builds({u"lang\\en.pak", u"LANG/EN.PAK"}));  // one file, two spellings
  EXPECT_FALSE(Builds({u"plugins\\x.dll"}));                // no such folder beside the updater
}

TEST_F(LaunchTest, RefusesCharactersWindowsForbidsInNames) {
  ExpectRefused({u"a<b", u"a>b", u"a\"b", u"a*.dll", u"what?.txt", u"tab\there",
                 WideString(u"nul\0l", 5), u"bell\x7.dll"});
}

TEST_F(LaunchTest, RefusesMisplacedSeparatorsBlanksAndDots) {
  ExpectRefused({u"\\core.dll", u"core.dll\\", u"/core.dll", u"lang/", u"lang\\\\en.pak",
                 u" core.dll", u"core.dll ", u"lang \\en.pak", u"lang\\ en.pak", u"core.",
                 u"lang.\\en.pak", u".\\core.dll"});
}

TEST_F(LaunchTest, RefusesDeviceNamesInAnyCaseWithOrWithoutExtension) {
  ExpectRefused({u"CON", u"con.txt", u"Prn.log", u"aux", u"NUL.tar.gz", u"com1", u"COM9.dll",
                 u"lpt1.x", u"lang\\LPT5", u"con\\x.dll"});
}

TEST_F(LaunchTest, RefusesUpdaterPathsThatCannotBeQuotedOrHoldAnOption) {
  WideString line;
  for (const WideString updater :
       {u"updater.exe", u"C:updater.exe", u"C:\\--files\\updater.exe", u"C:\\a--cleanCache.exe",
        u"C:\\Kel\"vo\\updater.exe", u"C:/Kelvo/updater.exe", u"C:\\Kelvo\\", u""}) {
    EXPECT_FALSE(BuildUpdateCommandLine(updater, {u"core.dll"}, line)) << sim::Utf8(updater);
    EXPECT_FALSE(BuildCleanCacheCommandLine(updater, line)) << sim::Utf8(updater);
  }
}

TEST_F(LaunchTest, KeepsEveryPathAndTheLineWithinTheWindowsLimits) {
  // The staged copy is written under a 2-unit prefix first; with the staging
  // folder (53 units) and a separator, 203 units is the longest name.
  EXPECT_TRUE(Builds({WideString(203, u'n')}));
  EXPECT_FALSE(Builds({WideString(204, u'n')}));

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
  EXPECT_FALSE(BuildUpdateCommandLine(kUpdater, names, line));
}

TEST_F(LaunchTest, StagesIntoNewSubfoldersAsAPlainFile) {
  ASSERT_TRUE(StageFile(u"C:\\Downloads\\new.bin", u"lang\\zh\\语言.pak"));
  const WideString staged = demo::StagedFile(u"lang\\zh\\语言.pak");
  EXPECT_EQ(sim::ContentOf(staged), "version 2");
  EXPECT_EQ(sim::Find(staged)->attributes & platform::kAttributeReadOnly, 0u);
  EXPECT_FALSE(sim::Exists(demo::StagedFile(u"lang\\zh\\ ~语言.pak")));
}

TEST_F(LaunchTest, AFailureMidCopyLeavesNothingUnderTheName) {
  demo::Stage(u"core.dll", "an older staged copy");
  sim::World().interruptNextCopy = true;
  EXPECT_FALSE(StageFile(u"C:\\Downloads\\new.bin", u"core.dll"));
  EXPECT_FALSE(sim::Exists(demo::StagedFile(u"core.dll")));
  EXPECT_FALSE(sim::Exists(demo::StagedFile(u" ~core.dll")));
  // A missing source, or a name the target cannot take, fails the same way.
  EXPECT_FALSE(StageFile(u"C:\\Downloads\\missing.bin", u"core.dll"));
  sim::AddFolder(demo::StagedFile(u"ui.dll"));
  EXPECT_FALSE(StageFile(u"C:\\Downloads\\new.bin", u"ui.dll"));
  EXPECT_FALSE(sim::Exists(demo::StagedFile(u" ~ui.dll")));
}

TEST_F(LaunchTest, StartsTheUpdaterFromItsFolderAndReportsADeclinedStart) {
  sim::AddFile(kUpdater, "updater");
  WideString line;
  ASSERT_TRUE(BuildUpdateCommandLine(kUpdater, {u"a b.dll", u"lang\\en.pak"}, line));
  ASSERT_TRUE(StartUpdater(line));
  ASSERT_EQ(sim::World().launches.size(), 1u);
  EXPECT_EQ(sim::CallsTo("ShellExecuteExW").back(),
            "ShellExecuteExW(" + std::to_string(sizeof(platform::ShellExecuteInfo)) +
                ", 0x500, null, \"open\", \"C:\\Kelvo\\updater.exe\", "
                "\"--files a b.dll|lang\\en.pak\", \"C:\\Kelvo\\\", 1)");

  sim::World().launchResult = false;  // the user declined elevation
  EXPECT_FALSE(StartUpdater(line));
  EXPECT_FALSE(StartUpdater(u"C:\\Kelvo\\updater.exe --cleanCache"));
  EXPECT_EQ(sim::World().launches.size(), 1u);
}

}  // namespace
