// The names the updater takes, by the rules alone: no Windows call, as the
// publish command applies them on Linux.
#include "contract/names.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/text.h"

namespace {

struct Rule {
  LaunchCode code;
  std::vector<WideString> names;
};

// Each name gets the first of its refusals in the order of the codes; the
// accepted ones stand on the other side of each edge.
TEST(NameRulesTest, EachNameHasTheFirstOfItsRefusals) {
  const Rule rules[] = {
      {RefusedEmptyName, {u""}},
      {RefusedBar, {u"a|b.dll", u"|", u"a..|b"}},
      {RefusedLeavesFolder,
       {u"..\\evil.dll", u"lang\\..\\x", u"lang/..", u"..", u"C:evil.dll", u"x:stream", u"a*:b"}},
      {RefusedCleanCacheOption, {u"--cleanCache.dll", u"a--cleanCacheb", u"a*--cleanCache"}},
      {RefusedForbiddenCharacter,
       {u"a<b", u"a>b", u"a\"b", u"a*.dll", u"what?.txt", u"tab\there", WideString(u"nul\0l", 5),
        u"x\x1F.dll", u"\x01.dll", u"\\a*"}},
      {RefusedMisplacedSeparator,
       {u"\\core.dll", u"core.dll\\", u"/core.dll", u"lang/", u"lang\\\\en.pak", u"lang/\\en.pak",
        u"\\ con"}},
      {RefusedBlankOrDot,
       {u" core.dll", u"core.dll ", u"lang \\en.pak", u"lang\\ en.pak", u"core.", u"lang.\\en.pak",
        u".\\core.dll", u"CON "}},
      {RefusedDeviceName,
       {u"CON", u"con.txt", u"CON .txt", u"Prn.log", u"aux", u"NUL.tar.gz", u"com1", u"COM9.dll",
        u"com0", u"LPT0.x", u"COM\u00B9", u"lpt\u00B2.txt", u"LPT\u00B3", u"lang\\LPT5",
        u"con\\x.dll", u"KELVOC~1\\con"}},
      {RefusedShortName,
       {u"KELVOC~1.EXE", u"abcdef~1.txt", u"KELVOC~1", u"A~1", u"~.B", u"ABCDEFG~.TXT",
        u"lang\\EN~1.PAK"}},
      {LaunchOk,
       {u"core.dll", u"..x.dll", u"a..b.dll", u"--cleancache.dll", u"--files.dll", u".hidden",
        u"x\x7F.dll", u"x!#$%&'()+,;=@[]^_`{}~.dll", u"COM10.txt", u"LPT", u"COMA", u"CONX.txt",
        u"COM\u2074", u"x.con", u"KELVOCL~1", u"KELVOCL~1.EXE", u"AB~1.TXTX", u"A~1.B.C",
        u"~abcdefghi.dll", u"语言.pak", u"\U0001F600 x.dat", u"lang/de.pak", u"a--files b"}},
  };
  for (const Rule& rule : rules) {
    for (const WideString& name : rule.names) {
      EXPECT_EQ(CheckStageableName(name), rule.code) << test::Utf8(name);
      EXPECT_EQ(IsStageableName(name), rule.code == LaunchOk) << test::Utf8(name);
    }
  }
}

// The updater itself refuses only what would leave its folder; either
// separator counts, as Windows reads both.
TEST(NameRulesTest, TheUpdaterRefusesWhatLeavesTheFolderAndReadsBothSeparators) {
  for (const WideString name : {u"..", u"..\\x", u"x/..", u"a\\..\\b", u"C:x", u":"}) {
    EXPECT_FALSE(IsSafeFileName(name)) << test::Utf8(name);
  }
  for (const WideString name : {u"...", u"..x", u"x..", u"a\\.\\b", u"", u"a|b"}) {
    EXPECT_TRUE(IsSafeFileName(name)) << test::Utf8(name);
  }
  EXPECT_EQ(WithBackslashes(u"a/b\\c/"), u"a\\b\\c\\");
  EXPECT_TRUE(IsPathSeparator(u'/') && IsPathSeparator(u'\\') && !IsPathSeparator(u':'));
}

}  // namespace
