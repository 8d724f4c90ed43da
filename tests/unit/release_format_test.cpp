// The release format alone, with no Windows call: what WriteManifest makes
// parses back and nothing else does, and each rule at its edge.
#include "release/format.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "contract/limits.h"

namespace {

// The format alone: what WriteManifest makes parses back, nothing else does.
TEST(ReleaseFormatTest, OnlyTheExactFormParsesAndEveryProperPrefixIsRefused) {
  release::Manifest m{"KelvoClient", "stable", "2.0.1", 1765198800, 1767790800, {}};
  m.files.push_back({u"KelvoClient.exe", 10, {}});
  m.files.push_back({u"lang/语言.pak", 0, {}});
  m.files.push_back({u"\U0001F600.dat", 1ull << 40, {}});
  m.files[0].sha256.fill(0xab);
  const std::string bytes = release::WriteManifest(m);
  release::Manifest back;
  ASSERT_EQ(release::ParseManifest(bytes, back), LaunchOk);
  EXPECT_EQ(release::WriteManifest(back), bytes);
  EXPECT_EQ(back.files[1].name, u"lang/语言.pak");
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_EQ(release::ParseManifest(bytes.substr(0, n), back), RefusedMalformed) << n;
  }
  const auto with = [&](const std::string& from, const std::string& to) {
    std::string changed = bytes;
    const std::size_t at = changed.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    changed.replace(at, from.size(), to);
    std::size_t file = 99;
    const LaunchCode code = release::ParseManifest(changed, back, &file);
    return std::make_pair(code, file);
  };
  const auto malformed = std::make_pair(RefusedMalformed, kNoName);
  EXPECT_EQ(with("version 2.0.1", "version 2.0.1-rc"), malformed);
  EXPECT_EQ(with("version 2.0.1", "version 1234567890"), malformed);
  EXPECT_EQ(with("product KelvoClient", "product Kelvo Client"), malformed);
  EXPECT_EQ(with("files 3", "files 03"), malformed);
  EXPECT_EQ(with("files 3", "files 2"), malformed);
  EXPECT_EQ(with("files 3", "files 4"), malformed);
  EXPECT_EQ(with("expires 2026-01-07", "expires 2025-01-07"), malformed);
  EXPECT_EQ(with("published 2025-12-08T13:00:00Z", "published 2025-12-08T13:00:60Z"), malformed);
  EXPECT_EQ(with("kelvo-release 1", "kelvo-release 2"), malformed);
  EXPECT_EQ(with("\n", "\r\n"), malformed);
  EXPECT_EQ(with(" 10 ", " 010 "), (std::make_pair(RefusedMalformed, std::size_t{0})));
  EXPECT_EQ(with("abababab", "ABABABAB"), (std::make_pair(RefusedMalformed, std::size_t{0})));
  EXPECT_EQ(with("\xe8\xaf\xad", "\xc0\xaf"), (std::make_pair(RefusedMalformed, std::size_t{1})));
  EXPECT_EQ(with("\xe8\xaf\xad", "\xed\xa0\x80"),
            (std::make_pair(RefusedMalformed, std::size_t{1})));
  EXPECT_EQ(with("lang/", "lang//"), (std::make_pair(RefusedMisplacedSeparator, std::size_t{1})));
  EXPECT_EQ(with("KelvoClient.exe\n", "CON.exe\n"),
            (std::make_pair(RefusedDeviceName, std::size_t{0})));
  EXPECT_EQ(with("lang/", "../"), (std::make_pair(RefusedLeavesFolder, std::size_t{1})));
  EXPECT_EQ(release::ParseManifest(bytes + std::string(release::kMaxManifestBytes, 'x'), back),
            RefusedManifestTooLarge);
}

// Format 2: each file's compressed whole, then its deltas, in file order.
TEST(ReleaseFormatTest, FormatTwoListsEachFilesObjectsInOrderAndNothingElse) {
  release::Manifest m{"KelvoClient", "stable", "2.0", 1765198800, 1767790800, {}, 2};
  m.files.push_back({u"KelvoClient.exe", 10, {}});
  m.files.push_back({u"core.dll", 20, {}});
  const auto digest = [](std::uint8_t fill) {
    release::Digest d{};
    d.fill(fill);
    return d;
  };
  m.files[0].whole = {digest(0x11), 7};
  m.files[0].deltas = {{digest(0x21), 100, {digest(0x31), 3}}, {digest(0x22), 0, {digest(0x32), 4}}};
  m.files[1].whole = {digest(0x12), 9};
  const std::string bytes = release::WriteManifest(m);
  EXPECT_EQ(bytes.compare(0, 16, "kelvo-release 2\n"), 0);
  release::Manifest back;
  ASSERT_EQ(release::ParseManifest(bytes, back), LaunchOk);
  EXPECT_EQ(back.format, 2);
  EXPECT_EQ(release::WriteManifest(back), bytes);
  EXPECT_EQ(back.files[0].deltas[1].object, (release::Stored{digest(0x32), 4}));
  EXPECT_EQ(back.files[0].deltas[1].base, digest(0x22));
  EXPECT_EQ(back.files[0].deltas[0].baseSize, 100u);
  EXPECT_EQ(back.files[1].whole, (release::Stored{digest(0x12), 9}));
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_NE(release::ParseManifest(bytes.substr(0, n), back), LaunchOk) << n;
  }
  const auto with = [&](const std::string& from, const std::string& to) {
    std::string changed = bytes;
    const std::size_t at = changed.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    changed.replace(at, from.size(), to);
    return release::ParseManifest(changed, back);
  };
  const std::string h1 = release::Hex(digest(0x11).data(), 32);
  const std::string h2 = release::Hex(digest(0x21).data(), 32);
  const std::string own = release::Hex(m.files[0].sha256.data(), 32);
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"kelvo-release 2", "kelvo-release 3"},
           {"stored 4", "stored 3"},
           {"stored 4", "stored 5"},
           {"stored 4", "stored 04"},
           {"0 " + h1 + " 7\n", ""},                        // no whole for the first file
           {"0 " + h1 + " 7\n", "0 " + h1 + " 0\n"},       // an empty object
           {"0 " + h1 + " 7\n", "1 " + h1 + " 7\n"},       // the second file's first
           {" 3 " + h2, " 3 " + own},                         // a delta from the file itself
           {" 4 " + release::Hex(digest(0x22).data(), 32), " 4 " + h2},  // the same base twice
           {"\n1 ", "\n0 "},                                  // two wholes for the first file
           {" 3 " + h2, " 3 " + h2 + " "},
           {" 3 " + h2, " 3 " + h2.substr(1)},
           {h2 + " 100", h2},                                 // a delta without its base's size
           {h2 + " 100", h2 + " 100 1"},
           {h1, std::string(64, 'A')}}) {
    EXPECT_EQ(with(from, to), RefusedMalformed) << from << " -> " << to;
  }
  // At most kMaxDeltas per file.
  for (std::uint8_t k = 0; m.files[1].deltas.size() <= release::kMaxDeltas; ++k) {
    m.files[1].deltas.push_back({digest(static_cast<std::uint8_t>(0x40 + k)), k, {digest(0x50), 1}});
  }
  EXPECT_EQ(release::ParseManifest(release::WriteManifest(m), back), RefusedMalformed);
  m.files[1].deltas.pop_back();
  EXPECT_EQ(release::ParseManifest(release::WriteManifest(m), back), LaunchOk);
}

TEST(ReleaseFormatTest, VersionsTimesAndEncodingsAtTheirEdges) {
  EXPECT_GT(release::CompareVersions("2.10", "2.9"), 0);
  EXPECT_EQ(release::CompareVersions("2", "2.0.0"), 0);
  EXPECT_LT(release::CompareVersions("1.999999999", "2"), 0);
  for (const char* bad : {"", ".", "1.", ".1", "1..2", "01", "1.02", "1.2.3.4.5.6.7.8.9",
                          "1234567890", "1 ", "-1", "v1"}) {
    EXPECT_FALSE(release::IsVersion(bad)) << bad;
  }
  std::int64_t t = 0;
  for (const char* time :
       {"1970-01-01T00:00:00Z", "2024-02-29T23:59:59Z", "9999-12-31T23:59:59Z"}) {
    ASSERT_TRUE(release::ParseTime(time, t)) << time;
    EXPECT_EQ(release::FormatTime(t), time);
  }
  EXPECT_TRUE(release::ParseTime("2026-12-08T13:00:00Z", t));
  EXPECT_EQ(t, 1796734800);
  for (const char* bad : {"2023-02-29T00:00:00Z", "2026-13-01T00:00:00Z", "1969-12-31T23:59:59Z",
                          "2026-12-08 13:00:00Z", "2026-12-08T13:00:00", "2026-12-08T24:00:00Z"}) {
    EXPECT_FALSE(release::ParseTime(bad, t)) << bad;
  }
  release::Bytes b;
  EXPECT_TRUE(release::ParseBase64("YWI=", b));
  EXPECT_EQ(release::Base64(b), "YWI=");
  for (const char* bad : {"YWJ=", "YW==x", "Y===", "YW=I", "YWI", "YW\nI="}) {
    EXPECT_FALSE(release::ParseBase64(bad, b)) << bad;
  }
  // DER signatures: minimal integers only, and the high bit padded.
  release::Signature s{};
  s[0] = 0x80;
  s[63] = 1;
  const release::Bytes der = release::SignatureDer(s);
  release::Signature back{};
  ASSERT_TRUE(release::ParseSignature(der, back));
  EXPECT_EQ(back, s);
  EXPECT_EQ(der.size(), 2u + 2 + 33 + 2 + 1);
  release::Bytes padded = der;
  padded.insert(padded.begin() + 2 + 2 + 33 + 2, 0);
  padded[1]++;
  padded[2 + 2 + 33 + 1]++;
  EXPECT_FALSE(release::ParseSignature(padded, back));
  for (std::size_t n = 0; n < der.size(); ++n) {
    EXPECT_FALSE(release::ParseSignature(release::Bytes(der.begin(), der.begin() + n), back)) << n;
  }
}

// A manifest of three files as the publisher writes it, and its edits.
class ManifestEdges : public ::testing::Test {
 protected:
  void SetUp() override {
    manifest_ = {"KelvoClient", "stable", "2.0", 1765198800, 1767790800, {}};
    manifest_.files.push_back({u"KelvoClient.exe", 10, {}});
    manifest_.files.push_back({u"core.dll", 20, {}});
    manifest_.files[0].sha256.fill(0xab);
    bytes_ = release::WriteManifest(manifest_);
  }
  // The code and the file index for the manifest with `from` replaced by `to`.
  std::pair<LaunchCode, std::size_t> With(const std::string& from, const std::string& to) const {
    std::string changed = bytes_;
    const std::size_t at = changed.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) changed.replace(at, from.size(), to);
    release::Manifest back;
    std::size_t file = 99;
    const LaunchCode code = release::ParseManifest(changed, back, &file);
    return {code, file};
  }
  release::Manifest manifest_;
  std::string bytes_;
};

TEST_F(ManifestEdges, NumbersThatWouldWrapNoFilesAndTheBytesAroundADigest) {
  const std::pair<LaunchCode, std::size_t> ok{LaunchOk, kNoName};
  const std::string digest(64, 'a');
  const struct {
    const char* from;
    std::string to;
    std::pair<LaunchCode, std::size_t> expected;
  } cases[] = {
      // 2^64 + 10 and 2^64 + 2: twenty digits that wrap to the right values.
      {" 10 ", " 18446744073709551626 ", {RefusedMalformed, 0}},
      {"files 2", "files 18446744073709551618", {RefusedMalformed, kNoName}},
      {" 10 ", " 9223372036854775807 ", ok},
      {" 10 ", " 9223372036854775808 ", {RefusedMalformed, 0}},
      {"files 2\n", "files 0\n", {RefusedMalformed, kNoName}},
      {"files 2", "files 16385", {RefusedMalformed, kNoName}},
      {"ab 10 ", "ab\t10 ", {RefusedMalformed, 0}},
      {"ab 10 ", "abx10 ", {RefusedMalformed, 0}},
      {"ab 10 ", "ab\n10 ", {RefusedMalformed, 0}},
      {"ab 10 ", "ab  10 ", {RefusedMalformed, 0}},
      {"ab 10 ", "ab 10\t", {RefusedMalformed, 0}},
      {"ab 10 ", "aba 10 ", {RefusedMalformed, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(With(c.from, c.to), c.expected) << c.to;
  // No files at all, as a publisher that listed none would write it.
  manifest_.files.clear();
  release::Manifest back;
  EXPECT_EQ(release::ParseManifest(release::WriteManifest(manifest_), back), RefusedMalformed);
}

TEST_F(ManifestEdges, NamesToTheirLongestAndUtf8ToItsLastCodePoint) {
  const std::string longest(release::kMaxNameBytes, 'n');
  EXPECT_EQ(With("core.dll", longest), std::make_pair(LaunchOk, kNoName));
  EXPECT_EQ(With("core.dll", longest + "n"), std::make_pair(RefusedMalformed, std::size_t{1}));
  // Counted in bytes: 341 three-byte characters and one byte more is 1,024.
  std::string cjk;
  for (int i = 0; i < 341; ++i) cjk += "\xe8\xaf\xad";
  EXPECT_EQ(With("core.dll", cjk + "n"), std::make_pair(LaunchOk, kNoName));
  EXPECT_EQ(With("core.dll", cjk + "nn"), std::make_pair(RefusedMalformed, std::size_t{1}));
  // U+10FFFF is the last; anything above it is no code point.
  WideString wide;
  EXPECT_TRUE(release::Utf8ToWide("\xf4\x8f\xbf\xbf", wide));
  EXPECT_EQ(wide, u"\U0010FFFF");
  for (const char* beyond : {"\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xf7\xbf\xbf\xbf"}) {
    EXPECT_FALSE(release::Utf8ToWide(beyond, wide)) << beyond;
    EXPECT_EQ(With("core.dll", std::string("x") + beyond), std::make_pair(RefusedMalformed, std::size_t{1}));
  }
}

TEST(ReleaseRulesTest, VersionsToTheirLongestAndTheRulesOfAnInstall) {
  EXPECT_TRUE(release::IsVersion("1.2.3.4.5.6.7.8"));
  EXPECT_FALSE(release::IsVersion("1.2.3.4.5.6.7.8.9"));
  EXPECT_TRUE(release::IsVersion("999999999.0"));
  EXPECT_FALSE(release::IsVersion("1000000000.0"));
  EXPECT_EQ(release::CompareVersions("1.2.3.4.5.6.7.9", "1.2.3.4.5.6.7.8"), 1);

  release::Manifest m{"KelvoClient", "stable", "2.0.1", 1000, 2000, {}};
  const auto rules = [&](const std::string& installed, std::int64_t now = 1500,
                         const std::string& product = "KelvoClient",
                         const std::string& channel = "stable") {
    return release::CheckRules(m, product, channel, installed, now);
  };
  // A further part makes a newer version: a 2.0 install is offered 2.0.1.
  EXPECT_EQ(rules("2.0"), LaunchOk);
  EXPECT_EQ(rules("2"), LaunchOk);
  EXPECT_EQ(rules("2.0.1.0"), UpToDate);
  EXPECT_EQ(rules("2.0.1.1"), RefusedRollback);
  EXPECT_EQ(rules("2.0.1", 1999), UpToDate);
  EXPECT_EQ(rules("2.0", 1999), LaunchOk);
  EXPECT_EQ(rules("2.0", 2000), RefusedExpired) << "expired at the second it names";
  EXPECT_EQ(rules("2.0", 1500, "kelvoclient"), RefusedProduct);
  EXPECT_EQ(rules("2.0", 1500, "KelvoClient", "beta"), RefusedProduct);
}

TEST(ReleaseFormatRulesTest, CalendarBase64DerAndTheCommandLineAtTheirEdges) {
  std::int64_t t = 0;
  EXPECT_TRUE(release::ParseTime("2000-02-29T00:00:00Z", t)) << "divisible by 400";
  EXPECT_FALSE(release::ParseTime("2100-02-29T00:00:00Z", t)) << "by 100, not by 400";
  EXPECT_TRUE(release::ParseTime("2096-02-29T00:00:00Z", t));
  const char* last[] = {"31", "28", "31", "30", "31", "30", "31", "31", "30", "31", "30", "31"};
  const char* first[] = {"32", "29", "32", "31", "32", "31", "32", "32", "31", "32", "31", "32"};
  for (int m = 0; m < 12; ++m) {
    char month[3];
    std::snprintf(month, sizeof month, "%02d", m + 1);
    const std::string day = std::string("2027-") + month + "-";
    ASSERT_TRUE(release::ParseTime(day + last[m] + "T23:59:59Z", t)) << month;
    char next[32];
    std::snprintf(next, sizeof next, "%d-%02d-01T00:00:00Z", m == 11 ? 2028 : 2027, m == 11 ? 1 : m + 2);
    EXPECT_EQ(release::FormatTime(t + 1), next) << month;
    EXPECT_FALSE(release::ParseTime(day + first[m] + "T00:00:00Z", t)) << month;
  }

  release::Bytes b;
  for (const char* bad : {"YQ==YQ==", "=YWI", "Y=WI", "YW=I", "YQ=a", "==", "YWJj="}) {
    EXPECT_FALSE(release::ParseBase64(bad, b)) << bad;
  }
  EXPECT_TRUE(release::ParseBase64("YQ==", b));
  EXPECT_EQ(b, release::Bytes{'a'});

  // r with its high bit set and no zero before it: a negative integer.
  release::Signature s{};
  s[0] = 0x7f;
  s[32] = 0x7f;
  release::Bytes der = release::SignatureDer(s);
  release::Signature back{};
  ASSERT_TRUE(release::ParseSignature(der, back));
  der[4] = 0x80;
  EXPECT_FALSE(release::ParseSignature(der, back));
  der[4] = 0x7f;
  der[2 + 2 + 32 + 2] = 0xff;
  EXPECT_FALSE(release::ParseSignature(der, back));

  // The names and their bars fill the line to its last unit, wherever the
  // updater stands: a path of 259 units in quotes, then " --files ".
  const std::size_t room = kMaxCommandLine - 1 - (kMaxPath - 1 + 2 + 9);
  std::vector<release::File> files;
  std::size_t used = 0;
  while (used + 201 <= room) {
    files.push_back({WideString(200, u'n'), 0, {}});
    used += files.size() == 1 ? 200 : 201;
  }
  files.push_back({WideString(room - used - 1, u'n'), 0, {}});
  EXPECT_TRUE(release::FitsOneCommandLine(files));
  files.back().name += u'n';
  EXPECT_FALSE(release::FitsOneCommandLine(files));
}

}  // namespace
