#include "cmdline/cmdline.h"

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "support/fixture.h"

namespace {

constexpr char16_t kProgram[] = u"\"C:\\Kelvo\\updater.exe\" ";

class CommandLineTest : public PlatformTest {
 protected:
  void Args(const WideString& args) { sim::World().commandLine = kProgram + args; }
  // The names ParseFileList gives, or a marker list when it fails.
  FileList Parse(const WideString& args) {
    Args(args);
    FileList list{u"<untouched>"};
    if (!ParseFileList(list)) {
      EXPECT_EQ(list, FileList{u"<untouched>"});
    }
    return list;
  }
};

const FileList kFailed{u"<untouched>"};

TEST_F(CommandLineTest, NamesAreSplitOnBarsOnlyAndKeptAsTheyStand) {
  EXPECT_EQ(Parse(u"--files a.dll|b.dll"), (FileList{u"a.dll", u"b.dll"}));
  EXPECT_EQ(Parse(u"--files |a.dll||b.dll|"), (FileList{u"a.dll", u"b.dll"}));
  EXPECT_EQ(Parse(u"--files a b.dll|c.dll"), (FileList{u"a b.dll", u"c.dll"}));
  EXPECT_EQ(Parse(u"--files \"a.dll|b.dll\""), (FileList{u"\"a.dll", u"b.dll\""}));
  EXPECT_EQ(Parse(u"--files a.dll|b.dll --silent"), (FileList{u"a.dll", u"b.dll --silent"}));
  EXPECT_EQ(Parse(u"--files a.dll|b.dll --files c.dll"),
            (FileList{u"a.dll", u"b.dll --files c.dll"}));
  EXPECT_EQ(Parse(u"--files a.dll|a.dll"), (FileList{u"a.dll", u"a.dll"}));
  EXPECT_EQ(Parse(u"--files lang\\en.pak|lang/zh.pak"),
            (FileList{u"lang\\en.pak", u"lang/zh.pak"}));
}

TEST_F(CommandLineTest, TheCharacterAfterTheOptionIsSkippedWhateverItIs) {
  EXPECT_EQ(Parse(u"--files=a.dll"), FileList{u"a.dll"});
  EXPECT_EQ(Parse(u"--filesa.dll"), FileList{u".dll"});
  EXPECT_EQ(Parse(u"--files  a.dll"), FileList{u" a.dll"});
}

TEST_F(CommandLineTest, NoUsableValueFailsAndLeavesTheListAlone) {
  EXPECT_EQ(Parse(u"--files"), kFailed);
  EXPECT_EQ(Parse(u"--files "), kFailed);
  EXPECT_EQ(Parse(u"--files |||"), kFailed);
  EXPECT_EQ(Parse(u"--FILES a.dll"), kFailed);
  EXPECT_EQ(Parse(u""), kFailed);
  sim::World().commandLine = u"";
  FileList list{u"keep"};
  EXPECT_FALSE(ParseFileList(list));
  EXPECT_EQ(list, FileList{u"keep"});
}

TEST_F(CommandLineTest, NamesThatLeaveTheirFolderRejectTheWholeList) {
  EXPECT_EQ(Parse(u"--files ok.dll|..\\..\\Windows\\evil.dll"), kFailed);
  EXPECT_EQ(Parse(u"--files ../evil.dll"), kFailed);
  EXPECT_EQ(Parse(u"--files lang\\..\\x.dll"), kFailed);
  EXPECT_EQ(Parse(u"--files lang/.."), kFailed);
  EXPECT_EQ(Parse(u"--files .."), kFailed);
  EXPECT_EQ(Parse(u"--files C:\\Windows\\evil.dll"), kFailed);
  EXPECT_EQ(Parse(u"--files core.dll:stream"), kFailed);
  // Dots that are not a whole segment are ordinary names.
  EXPECT_EQ(Parse(u"--files ..a.dll|a..dll|.hidden|..."),
            (FileList{u"..a.dll", u"a..dll", u".hidden", u"..."}));
}

TEST_F(CommandLineTest, CleanCacheIsAnExactSubstringAnywhere) {
  const auto has = [&](const WideString& line) {
    sim::World().commandLine = line;
    return HasCleanCacheOption();
  };
  EXPECT_TRUE(has(u"updater.exe --cleanCache"));
  EXPECT_TRUE(has(u"updater.exe --cleanCacheNow"));
  EXPECT_TRUE(has(u"updater.exe --files a.dll --cleanCache"));
  EXPECT_TRUE(has(u"\"C:\\--cleanCache\\updater.exe\""));
  EXPECT_FALSE(has(u"updater.exe --cleancache"));
  EXPECT_FALSE(has(u"updater.exe --files a.dll"));
  EXPECT_FALSE(has(u""));
}

TEST_F(CommandLineTest, AProgramPathHoldingTheOptionStartsTheValueThere) {
  sim::World().commandLine = u"C:\\--files\\updater.exe";
  FileList list;
  ASSERT_TRUE(ParseFileList(list));
  EXPECT_EQ(list, FileList{u"updater.exe"});
}

TEST(SplitTokensTest, AppendsMaximalRunsAndCountsTheWholeList) {
  FileList tokens{u"earlier"};
  EXPECT_EQ(SplitTokens(u";a;;bc;", u";,", tokens), 3);
  EXPECT_EQ(tokens, (FileList{u"earlier", u"a", u"bc"}));
  EXPECT_EQ(SplitTokens(u"x,y", u";,", tokens), 5);
  FileList none;
  EXPECT_EQ(SplitTokens(u"", u"|", none), 0);
  EXPECT_EQ(SplitTokens(u"||", u"|", none), 0);
  EXPECT_TRUE(none.empty());
}

}  // namespace
