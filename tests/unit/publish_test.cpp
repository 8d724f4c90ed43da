// The release format and the publish command on the host, with the openssl
// command line as the independent party: its keys and signatures are taken,
// and it accepts ours.
#include "publish.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "crypto.h"
#include "keyfile.h"
#include "launch/release_format.h"

namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void Write(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}
int Shell(const std::string& command) {
  return std::system(("(" + command + ") >/dev/null 2>&1").c_str());
}

class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("publish-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ASSERT_EQ(Run({"keygen", Path("rel")}), 0) << err_;
    Write(dir_ / "v2" / "KelvoClient.exe", "client 2.0");
    Write(dir_ / "v2" / "core.dll", "core 2.0");
    Write(dir_ / "v2" / "lang" / "de.pak", "deutsch");
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  int Run(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int rc = RunPublish(args, out, err);
    out_ = out.str();
    err_ = err.str();
    return rc;
  }
  int Release(const std::string& version, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"release",   "--from",      Path("v2"),  "--to", Path("out"),
                                     "--product", "KelvoClient", "--version", version};
    if (std::find(more.begin(), more.end(), "--sign-elsewhere") == more.end()) {
      args.insert(args.end(), {"--key", Path("rel.key")});
    }
    args.insert(args.end(), more.begin(), more.end());
    return Run(args);
  }
  int Verify() { return Run({"verify", Path("out"), "--public", Path("rel.pub")}); }

  fs::path dir_;
  std::string out_, err_;
};

TEST_F(PublishTest, KeysAndSignaturesAreStandardBothWays) {
  // Our files load in openssl as PKCS#8 and SubjectPublicKeyInfo of P-256.
  EXPECT_EQ(Shell("openssl pkey -in " + Path("rel.key") + " -noout"), 0);
  EXPECT_EQ(Shell("openssl pkey -in " + Path("rel.key") + " -pubout -out " + Path("derived.pub")),
            0);
  EXPECT_EQ(Read(Path("derived.pub")), Read(Path("rel.pub")));
  EXPECT_EQ(Shell("openssl pkey -pubin -in " + Path("rel.pub") + " -noout -text | grep -q P-256"),
            0);
  EXPECT_EQ(fs::status(Path("rel.key")).permissions() & fs::perms::group_all, fs::perms::none);
  // Our signature verifies in openssl, once in DER.
  ASSERT_EQ(Release("2.0"), 0) << err_;
  release::Signature raw{};
  const std::string sig = Read(dir_ / "out" / "stable.sig");
  ASSERT_EQ(sig.size(), 64u);
  std::copy(sig.begin(), sig.end(), raw.begin());
  const release::Bytes der = release::SignatureDer(raw);
  Write(dir_ / "sig.der", std::string(der.begin(), der.end()));
  EXPECT_EQ(Shell("openssl dgst -sha256 -verify " + Path("rel.pub") + " -signature " +
                  Path("sig.der") + " " + Path("out/stable.manifest")),
            0);
  // A key openssl made signs our releases; a key in the older EC form too.
  ASSERT_EQ(Shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " +
                  Path("theirs.key") + " && openssl pkey -in " + Path("theirs.key") +
                  " -pubout -out " + Path("theirs.pub") + " && openssl ec -in " +
                  Path("theirs.key") + " -out " + Path("theirs-ec.key")),
            0);
  for (const char* key : {"theirs.key", "theirs-ec.key"}) {
    fs::remove_all(dir_ / "out");
    ASSERT_EQ(Run({"release", "--from", Path("v2"), "--to", Path("out"), "--product", "K",
                   "--version", "1", "--key", Path(key)}),
              0)
        << err_;
    EXPECT_EQ(Run({"verify", Path("out"), "--public", Path("theirs.pub")}), 0) << err_;
    EXPECT_EQ(Verify(), 1) << "verified against another key";
  }
  // Another curve is no key of ours.
  ASSERT_EQ(Shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out " +
                  Path("p384.key")),
            0);
  EXPECT_EQ(Run({"release", "--from", Path("v2"), "--to", Path("o384"), "--product", "K",
                 "--version", "1", "--key", Path("p384.key")}),
            1);
  EXPECT_FALSE(fs::exists(dir_ / "o384" / "stable.manifest"));
}

TEST_F(PublishTest, SigningElsewhereTakesDerOrRawFromTheRightKeyOnly) {
  ASSERT_EQ(Release("2.0", {"--sign-elsewhere"}), 0) << err_;
  const std::string pending = Path("out/stable.manifest.pending");
  EXPECT_FALSE(fs::exists(dir_ / "out" / "stable.manifest")) << "nothing served before signing";
  EXPECT_NE(out_.find("openssl dgst -sha256 -sign"), std::string::npos) << out_;
  ASSERT_EQ(Shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " +
                  Path("other.key")),
            0);
  // By another key: refused, nothing changes.
  ASSERT_EQ(Shell("openssl dgst -sha256 -sign " + Path("other.key") + " -out " + Path("other.der") +
                  " " + pending),
            0);
  const auto attach = [&](const std::string& sig) {
    return Run(
        {"attach", "--to", Path("out"), "--signature", Path(sig), "--public", Path("rel.pub")});
  };
  EXPECT_EQ(attach("other.der"), 1);
  EXPECT_TRUE(fs::exists(pending));
  Write(dir_ / "junk.sig", "not a signature");
  EXPECT_EQ(attach("junk.sig"), 1);
  // As raw r||s, converted from openssl's DER; then verify.
  ASSERT_EQ(Shell("openssl dgst -sha256 -sign " + Path("rel.key") + " -out " + Path("ok.der") +
                  " " + pending),
            0);
  release::Signature raw{};
  const std::string der = Read(Path("ok.der"));
  ASSERT_TRUE(release::ParseSignature(release::Bytes(der.begin(), der.end()), raw));
  Write(dir_ / "ok.raw", std::string(raw.begin(), raw.end()));
  EXPECT_EQ(attach("ok.raw"), 0) << err_;
  EXPECT_FALSE(fs::exists(pending));
  EXPECT_EQ(Verify(), 0) << err_;
  // And once more in DER, for the next version.
  ASSERT_EQ(Release("2.1", {"--sign-elsewhere"}), 0) << err_;
  ASSERT_EQ(Shell("openssl dgst -sha256 -sign " + Path("rel.key") + " -out " + Path("ok.der") +
                  " " + pending),
            0);
  EXPECT_EQ(attach("ok.der"), 0) << err_;
  EXPECT_EQ(Verify(), 0) << err_;
  // 2.3 is published while 2.2 waits for its signature: attaching 2.2 would roll the channel back.
  ASSERT_EQ(Release("2.2", {"--sign-elsewhere"}), 0) << err_;
  ASSERT_EQ(Shell("openssl dgst -sha256 -sign " + Path("rel.key") + " -out " + Path("ok.der") +
                  " " + pending),
            0);
  ASSERT_EQ(Release("2.3"), 0) << err_;
  const std::string served = Read(Path("out/stable.manifest"));
  EXPECT_EQ(attach("ok.der"), 1);
  EXPECT_NE(err_.find("2.2 is not newer than 2.3"), std::string::npos) << err_;
  EXPECT_EQ(Read(Path("out/stable.manifest")), served);
  EXPECT_EQ(Verify(), 0) << err_;
}

TEST_F(PublishTest, ReleasesShareFilesAndOnlyNewerVersionsArePublished) {
  ASSERT_EQ(Release("2.0"), 0) << err_;
  EXPECT_EQ(Verify(), 0) << err_;
  const std::string first = Read(Path("out/stable.manifest"));
  for (const char* old : {"2.0", "2", "2.0.0", "1.9.99", "0"}) {
    EXPECT_EQ(Release(old), 1) << old;
    EXPECT_NE(err_.find("not newer"), std::string::npos) << err_;
  }
  EXPECT_EQ(Read(Path("out/stable.manifest")), first);
  // A manifest there that cannot be read says no version: it is never written over.
  const fs::path manifest = dir_ / "out" / "stable.manifest";
  for (const std::string& unreadable :
       {first.substr(0, first.size() - 1), std::string(release::kMaxManifestBytes + 2, 'x')}) {
    Write(manifest, unreadable);
    EXPECT_EQ(Release("3.0"), 1) << unreadable.size();
    EXPECT_NE(err_.find("cannot be read; it is left as it is"), std::string::npos) << err_;
    EXPECT_EQ(Read(manifest), unreadable);
  }
  Write(manifest, first);
  Write(dir_ / "v2" / "core.dll", "core 2.10");
  ASSERT_EQ(Release("2.10"), 0) << err_;
  EXPECT_NE(out_.find("1 stored, 2 already there"), std::string::npos) << out_;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "out" / "files"), {}), 4);
  // Another channel keeps its own versions.
  EXPECT_EQ(Release("1.0", {"--channel", "beta"}), 0) << err_;
  EXPECT_EQ(Run({"verify", Path("out"), "--public", Path("rel.pub"), "--channel", "beta"}), 0);
  EXPECT_EQ(Verify(), 0);
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--lifetime", "0"},
                                              {"--lifetime", "x"},
                                              {"--channel", "a b"},
                                              {"--published", "2026-02-30T00:00:00Z"}}) {
    EXPECT_EQ(Release("9", bad), 2) << bad[0] << " " << bad[1];
  }
  EXPECT_EQ(Release("2.x"), 2);
}

TEST_F(PublishTest, RefusesWhatTheClientCouldNotInstall) {
  const auto refused = [&](const std::string& name, const std::string& why) {
    Write(dir_ / "v2" / name, "x");
    EXPECT_EQ(Release("3.0"), 1) << name;
    EXPECT_NE(err_.find(why), std::string::npos) << name << ": " << err_;
    EXPECT_FALSE(fs::exists(dir_ / "out" / "stable.manifest")) << name;
    fs::remove(dir_ / "v2" / name);
  };
  refused("CON.txt", "code 10");
  refused("lang/trailing.", "code 9");
  refused("a|b", "code 4");
  refused("KELVOC~1.EXE", "code 11");
  refused("Updater.exe", "its own file");
  refused("Core.DLL", "code 3");
  refused("lang/DE.PAK", "code 3");
  // A release folder inside the one it publishes, however named: nothing is written.
  for (const std::string& to : {Path("v2"), Path("v2/lang/../out"), Path("v2/") + "./lang"}) {
    EXPECT_EQ(Run({"release", "--from", Path("v2/"), "--to", to, "--product", "KelvoClient",
                   "--version", "3.0", "--key", Path("rel.key")}),
              1)
        << to;
    EXPECT_NE(err_.find("which it publishes"), std::string::npos) << to << ": " << err_;
  }
  EXPECT_FALSE(fs::exists(dir_ / "v2" / "out"));
  EXPECT_FALSE(fs::exists(dir_ / "v2" / "files"));
  EXPECT_FALSE(fs::exists(dir_ / "v2" / "lang" / "files"));
  EXPECT_EQ(Run({"release", "--from", Path("v2"), "--to", Path("v2-beside"), "--product",
                 "KelvoClient", "--version", "3.0", "--key", Path("rel.key")}),
            0)
      << err_;
  fs::create_symlink(dir_ / "v2" / "core.dll", dir_ / "v2" / "link.dll");
  EXPECT_EQ(Release("3.0"), 1);
  EXPECT_NE(err_.find("a link"), std::string::npos) << err_;
  fs::remove(dir_ / "v2" / "link.dll");
  // 170 names of 200 units and the worst updater path: past 32,767 units.
  for (int i = 0; i < 170; ++i) {
    const std::string n = std::to_string(i);
    Write(dir_ / "v2" / (n + std::string(200 - n.size(), 'n')), "x");
  }
  EXPECT_EQ(Release("3.0"), 1);
  EXPECT_NE(err_.find("one updater command line"), std::string::npos) << err_;
  for (int i = 0; i < 170; ++i) {
    const std::string n = std::to_string(i);
    fs::remove(dir_ / "v2" / (n + std::string(200 - n.size(), 'n')));
  }
  EXPECT_EQ(Release("3.0"), 0) << err_;
}

TEST_F(PublishTest, VerifyFindsEveryTamperingBeforeUpload) {
  ASSERT_EQ(Release("2.0"), 0) << err_;
  const fs::path manifest = dir_ / "out" / "stable.manifest";
  const std::string good = Read(manifest);
  Write(manifest, good + "\n");
  EXPECT_EQ(Verify(), 1);
  Write(manifest, good);
  release::Manifest m;
  ASSERT_EQ(release::ParseManifest(good, m), LaunchOk);
  const fs::path stored = dir_ / "out" / "files" / release::Hex(m.files[1].sha256.data(), 32);
  const std::string content = Read(stored);
  Write(stored, content + "!");
  EXPECT_EQ(Verify(), 1);
  EXPECT_NE(err_.find("another size"), std::string::npos) << err_;
  Write(stored, std::string(content.size(), 'x'));
  EXPECT_EQ(Verify(), 1);
  EXPECT_NE(err_.find("another SHA-256"), std::string::npos) << err_;
  fs::remove(stored);
  EXPECT_EQ(Verify(), 1);
  EXPECT_NE(err_.find("missing"), std::string::npos) << err_;
  Write(stored, content);
  EXPECT_EQ(Verify(), 0);
  // An expired release is reported as such.
  fs::remove_all(dir_ / "out");
  ASSERT_EQ(Release("2.0", {"--published", "2020-01-01T00:00:00Z", "--lifetime", "1"}), 0);
  EXPECT_EQ(Verify(), 1);
  EXPECT_NE(out_.find("2020-01-02T00:00:00Z (expired)"), std::string::npos) << out_;
}

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

// The key files the CNG publisher reads and writes without a crypto library:
// openssl's own forms, and what openssl makes of ours.
TEST_F(PublishTest, KeyFilesInBothOpensslFormsAndNothingElse) {
  const std::string vectors = std::string(UPDATER_SOURCE_DIR) + "/tests/vectors/";
  keyfile::Scalar d{}, d2{};
  keyfile::Point point{}, point2{};
  ASSERT_TRUE(keyfile::ParsePrivateKeyPem(Read(vectors + "p256-pkcs8.key"), d, point));
  ASSERT_TRUE(keyfile::ParsePrivateKeyPem(Read(vectors + "p256-sec1.key"), d2, point2));
  EXPECT_EQ(d, d2);
  EXPECT_EQ(point, point2);
  crypto::Point fromOpenssl{};
  ASSERT_TRUE(crypto::LoadPrivateKey(Read(vectors + "p256-pkcs8.key"), fromOpenssl));
  EXPECT_EQ(fromOpenssl, point);
  // Written back, it is openssl's PKCS#8 byte for byte.
  EXPECT_EQ(keyfile::PrivateKeyPem(d, point), Read(vectors + "p256-pkcs8.key"));
  const std::string pem = Read(Path("rel.key"));
  for (std::size_t cut : {std::size_t{30}, pem.size() / 2, pem.size() - 30}) {
    EXPECT_FALSE(keyfile::ParsePrivateKeyPem(pem.substr(0, cut), d, point)) << cut;
  }
  ASSERT_EQ(
      Shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out " +
            Path("p384.key") + " && openssl genpkey -algorithm ED25519 -out " + Path("ed.key")),
      0);
  EXPECT_FALSE(keyfile::ParsePrivateKeyPem(Read(Path("p384.key")), d, point));
  EXPECT_FALSE(keyfile::ParsePrivateKeyPem(Read(Path("ed.key")), d, point));
}

}  // namespace
