// The keyed updater: it installs only what a release signed by one of its
// keys vouches for, checked in its own process, and hashes what it writes.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "contract/limits.h"
#include "crypto.h"
#include "platform/platform.h"
#include "sim/sim.h"
#include "support/demo_machine.h"
#include "support/fixture.h"
#include "support/text.h"
#include "update/update.h"

namespace {

using test::W;

constexpr std::int64_t kNow = 1796731200;  // the simulation's clock
const WideString kInstalledRecord = WideString(u"C:\\Kelvo\\") + kRecordManifestName;
const WideString kInstalledSignatures = WideString(u"C:\\Kelvo\\") + kRecordSignaturesName;

struct Key {
  std::string pem;
  release::PublicKey point{};
};

Key NewKey() {
  Key k;
  EXPECT_TRUE(crypto::GenerateKey(k.pem, k.point));
  return k;
}

// Client 1.0 installed in C:\Kelvo and running; an updater built with an old
// and a new key, as during a rotation.
class KeyedUpdateTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    Install();
    trust_.keys = {oldKey_.point, newKey_.point};
    trust_.product = "KelvoClient";
  }
  // A fresh machine with client 1.0 installed.
  static void Install() {
    sim::Reset();
    demo::InstallClient("client 1.0");
    sim::AddFolder(u"C:\\Kelvo\\lang");
    sim::AddFile(u"C:\\Kelvo\\lang\\de.pak", "deutsch 1.0");
    sim::AddProcess(u"KelvoClient.exe");
  }

  struct Release {
    std::string version = "2.0";
    std::map<WideString, std::string> files = {{u"KelvoClient.exe", "client 2.0"},
                                               {u"lang/de.pak", "deutsch 2.0"}};
    std::vector<const Key*> signers;
    std::string product = "KelvoClient";
    std::int64_t published = kNow - 3600;
    int format = 1;  // 2: with compressed objects listed, which the updater never reads
  };
  Release Version(const std::string& version) {
    Release r;
    r.version = version;
    for (auto& [name, content] : r.files) {
      content = (name == u"KelvoClient.exe" ? "client " : "deutsch ") + version;
    }
    r.signers = {&newKey_};
    return r;
  }

  // The manifest's bytes and its signatures, as the publish command makes them.
  static std::pair<std::string, std::string> Signed(const Release& r) {
    release::Manifest m{r.product, "stable", r.version, r.published, r.published + 30 * 86400, {}};
    for (const auto& [name, content] : r.files) {
      crypto::Sha256 hash;
      hash.Update(content.data(), content.size());
      m.files.push_back({name, content.size(), hash.Finish()});
      m.files.back().whole.sha256[0] ^= 1;
    }
    m.format = r.format;
    const std::string manifest = release::WriteManifest(m);
    crypto::Sha256 hash;
    hash.Update(manifest.data(), manifest.size());
    const release::Digest digest = hash.Finish();
    release::Signatures signatures(r.signers.size());
    for (std::size_t i = 0; i < r.signers.size(); ++i) {
      EXPECT_TRUE(crypto::Sign(r.signers[i]->pem, digest, signatures[i]));
    }
    return {manifest, release::WriteSignatures(signatures)};
  }

  // What the client stages when it applies `r`: its files, its manifest and
  // signatures (those two returned).
  static std::pair<std::string, std::string> Stage(const Release& r) {
    for (const auto& [name, content] : r.files) {
      sim::AddFolder(WideString(demo::kStaging) + u"\\lang");
      demo::Stage(WithBackslashes(name), content);
    }
    const auto record = Signed(r);
    StageRecord(record.first, record.second);
    return record;
  }
  static void StageRecord(const std::string& manifest, const std::string& signatures) {
    demo::Stage(kRecordManifestName, manifest);
    demo::Stage(kRecordSignaturesName, signatures);
  }

  UpdateOutcome Run(const WideString& names = u"KelvoClient.exe|lang\\de.pak") {
    sim::World().commandLine = u"\"C:\\Kelvo\\updater.exe\" --files " + names;
    return RunUpdate(&trust_);
  }

  // The program folder as version 1.0 left it: old files whole, nothing new.
  static void ExpectOnlyVersion1() {
    EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\KelvoClient.exe"), "client 1.0");
    EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\lang\\de.pak"), "deutsch 1.0");
    EXPECT_EQ(sim::FilesIn(u"C:\\Kelvo"), std::vector<std::string>{"KelvoClient.exe"});
    EXPECT_EQ(sim::FilesIn(u"C:\\Kelvo\\lang"), std::vector<std::string>{"de.pak"});
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
  static void ExpectVersion(const std::string& version) {
    EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\KelvoClient.exe"), "client " + version);
    EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\lang\\de.pak"), "deutsch " + version);
  }

  Key oldKey_ = NewKey();
  Key newKey_ = NewKey();
  ReleaseTrust trust_;
};

TEST_F(KeyedUpdateTest, InstallsWhatEitherKeyVouchesForRecordsItAndRefusesToGoBack) {
  Release v2 = Version("2.0");
  v2.format = 2;  // as a client that read format 2 stages it
  const auto [manifest, signatures] = Stage(v2);
  ASSERT_EQ(Run(), OutcomeUpdated);
  ExpectVersion("2.0");
  EXPECT_EQ(sim::ContentOf(kInstalledRecord), manifest);
  EXPECT_EQ(sim::ContentOf(kInstalledSignatures), signatures);
  EXPECT_EQ(sim::FilesIn(demo::kStaging), std::vector<std::string>{}) << "nothing left staged";
  EXPECT_EQ(sim::OpenHandleCount(), 0u);

  // The same release, and an older one correctly signed by the old key: a downgrade.
  Stage(v2);
  EXPECT_EQ(Run(), OutcomeFailed);
  Release v1_5 = Version("1.5");
  v1_5.signers = {&oldKey_};
  Stage(v1_5);
  EXPECT_EQ(Run(), OutcomeFailed);
  ExpectVersion("2.0");
  EXPECT_EQ(sim::ContentOf(kInstalledRecord), manifest);
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"KelvoClient.exe")), "client 1.5") << "left staged";

  // Signed by a key the updater does not hold beside one it does; names as
  // Windows compares them.
  Key stranger = NewKey();
  Release v3 = Version("3.0");
  v3.signers = {&stranger, &oldKey_};
  Stage(v3);
  EXPECT_EQ(Run(u"kelvoclient.EXE|LANG/De.pak"), OutcomeUpdated);
  ExpectVersion("3.0");
  EXPECT_EQ(sim::ContentOf(kInstalledRecord), Signed(v3).first);
}

TEST_F(KeyedUpdateTest, EveryRefusalComesBeforeAnythingIsInstalled) {
  Key stranger = NewKey();
  const struct {
    const char* what;
    std::function<void(Release&)> change;     // to the release before it is staged
    std::function<void()> after;              // to the staging folder after
    WideString names = u"KelvoClient.exe|lang\\de.pak";
  } cases[] = {
      {"no manifest staged", {},
       [] { platform::DeleteFileW(demo::StagedFile(kRecordManifestName).c_str()); }},
      {"signed by a key not held", [&](Release& r) { r.signers = {&stranger}; }, {}},
      {"another product's", [](Release& r) { r.product = "OtherClient"; }, {}},
      {"expired", [](Release& r) { r.published = kNow - 31 * 86400; }, {}},
      {"a name not in the manifest", {}, [] { demo::Stage(u"evil.dll", "evil"); },
       u"KelvoClient.exe|evil.dll"},
      {"a staged file replaced after the check, same size", {},
       [] { demo::Stage(u"KelvoClient.exe", "client 6.6"); }},
      {"a staged file replaced, another size", {},
       [] { demo::Stage(u"KelvoClient.exe", "client 2.0 and more"); }},
      {"a manifest changed after it was signed", {},
       [] {
         std::string m = *sim::ContentOf(demo::StagedFile(kRecordManifestName));
         m.replace(m.find("2.0"), 3, "9.0");
         demo::Stage(kRecordManifestName, m);
       }},
      {"garbage that a held key signed: malformed", {},
       [this] {
         const std::string garbage = "kelvo-release 1\nnonsense\n";
         crypto::Sha256 hash;
         hash.Update(garbage.data(), garbage.size());
         release::Signature s{};
         ASSERT_TRUE(crypto::Sign(newKey_.pem, hash.Finish(), s));
         StageRecord(garbage, release::WriteSignatures({s}));
       }},
      {"signatures of a wrong length", {},
       [] { demo::Stage(kRecordSignaturesName, std::string(65, 's')); }},
      {"the manifest a link", {},
       [] {
         sim::AddFile(u"C:\\Users\\demo\\m", *sim::ContentOf(demo::StagedFile(kRecordManifestName)));
         sim::AddLink(demo::StagedFile(kRecordManifestName), u"C:\\Users\\demo\\m");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Install();
    Release r = Version("2.0");
    if (c.change) c.change(r);
    Stage(r);
    if (c.after) c.after();
    sim::World().journal.clear();
    EXPECT_EQ(Run(c.names), OutcomeFailed);
    ExpectOnlyVersion1();
    EXPECT_TRUE(sim::CallsTo("MoveFileExW").empty());
    EXPECT_TRUE(sim::Exists(demo::StagedFile(u"lang\\de.pak"))) << "the staged files stay";
  }
}

TEST_F(KeyedUpdateTest, WhatIsInstalledIsWhatWasHashedWhateverChangesTheStagedFilesMeanwhile) {
  // A user-level program rewrites a staged file, or the staged manifest, before any step.
  Stage(Version("2.0"));
  ASSERT_EQ(Run(), OutcomeUpdated);
  const std::size_t calls = sim::World().journal.size();
  Release v3 = Version("3.0");
  const std::string v3Manifest = Signed(v3).first;
  for (const WideString& target : {WideString(u"lang\\de.pak"), WideString(kRecordManifestName)}) {
    for (std::size_t step = 0; step < calls; ++step) {
      SCOPED_TRACE(sim::Utf8(target) + " rewritten before call " + std::to_string(step));
      Install();
      Stage(Version("2.0"));
      sim::World().otherThread = {step, [&] {
        if (sim::Node* n = sim::Find(demo::StagedFile(target))) {
          n->content = target == u"lang\\de.pak" ? "deutsch 6.6" : v3Manifest;
        }
      }};
      const UpdateOutcome outcome = Run();
      const auto de = sim::ContentOf(u"C:\\Kelvo\\lang\\de.pak");
      EXPECT_TRUE(de == "deutsch 1.0" || de == "deutsch 2.0") << *de;
      if (outcome == OutcomeUpdated) {
        ExpectVersion("2.0");
        EXPECT_EQ(sim::ContentOf(kInstalledRecord), Signed(Version("2.0")).first);
      } else {
        EXPECT_FALSE(sim::Exists(kInstalledRecord)) << "a record only after a complete update";
      }
      EXPECT_EQ(sim::OpenHandleCount(), 0u);
    }
  }
}

TEST_F(KeyedUpdateTest, AFailedReadOrWriteWhileHashingInstallsNothingOfThatFileAndNoRecord) {
  for (const char* call : {"ReadFile", "WriteFile"}) {
    for (int which = 1; which <= 8; ++which) {
      SCOPED_TRACE(std::string(call) + " " + std::to_string(which));
      Install();
      Stage(Version("2.0"));
      sim::World().failingCall[call] = which;
      const UpdateOutcome outcome = Run();
      if (outcome == OutcomeUpdated) {
        ExpectVersion("2.0");
        continue;
      }
      EXPECT_FALSE(sim::Exists(kInstalledRecord));
      const auto de = sim::ContentOf(u"C:\\Kelvo\\lang\\de.pak");
      EXPECT_TRUE(de == "deutsch 1.0" || de == "deutsch 2.0") << *de;
      for (const std::string& name : sim::FilesIn(u"C:\\Kelvo")) {
        EXPECT_NE(name.rfind(" ~", 0), 0u) << "no partial copy left: " << name;
      }
      // Run again, as the user may: the same release repairs what is half installed.
      sim::World().failingCall.clear();
      Stage(Version("2.0"));
      EXPECT_EQ(Run(), OutcomeUpdated);
      ExpectVersion("2.0");
    }
  }
  Install();
  Stage(Version("2.0"));
  sim::World().nextWriteFails = true;  // a short write, as on a full disk
  EXPECT_EQ(Run(), OutcomeFailed);
  ExpectOnlyVersion1();
}

TEST_F(KeyedUpdateTest, ARecordThatCannotBeReadRefusesAndCacheClearingIsAsUnkeyed) {
  Stage(Version("2.0"));
  sim::AddFile(kInstalledRecord, "not a manifest");
  EXPECT_EQ(Run(), OutcomeFailed);
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\KelvoClient.exe"), "client 1.0");

  demo::MakeCacheFolder();
  sim::AddFile(demo::CachedFile(u"blob"), "x");
  sim::World().commandLine = u"\"C:\\Kelvo\\updater.exe\" --cleanCache";
  EXPECT_EQ(RunUpdate(&trust_), OutcomeCacheCleared);
  EXPECT_FALSE(sim::Exists(demo::CachedFile(u"blob")));

  ReleaseTrust built;
  EXPECT_FALSE(TrustFrom("", "KelvoClient", built)) << "no keys: unkeyed";
  ASSERT_TRUE(TrustFrom(" \n" "MFkw\n", "KelvoClient", built));
  EXPECT_TRUE(built.keys.empty()) << "keys that do not parse: a trust no release meets";
  Install();
  Stage(Version("2.0"));
  sim::World().commandLine = u"\"C:\\Kelvo\\updater.exe\" --files KelvoClient.exe";
  EXPECT_EQ(RunUpdate(&built), OutcomeFailed);
  ExpectOnlyVersion1();
}

}  // namespace
