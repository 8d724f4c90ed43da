// The release format alone, with no Windows call: what WriteManifest makes
// parses back and nothing else does, and each rule at its edge.
#include "release/format.h"

#include <gtest/gtest.h>

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

}  // namespace
