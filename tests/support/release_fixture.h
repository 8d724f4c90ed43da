// Signed releases published into a folder on the simulated D: and served on
// the simulated web, signed with the publish command's own crypto, and a
// client 1.0 installed in C:\\Kelvo to check, fetch and apply them.
#pragma once

#include <map>
#include <string>

#include "crypto.h"
#include "encode.h"
#include "launch/release.h"
#include "sim/sim.h"
#include "support/demo_machine.h"
#include "support/fixture.h"
#include "support/text.h"

using test::W;

constexpr char16_t kSource[] = u"D:\\releases\\kelvo";
constexpr std::int64_t kNow = 1796731200;  // the simulation's clock

const std::string kManifest = release::ManifestPath(release::kDefaultChannel);
const std::string kSignature = release::SignaturePath(release::kDefaultChannel);
const std::string kSignatures = release::SignaturesPath(release::kDefaultChannel);

// A part of the release folder on D:, where the publisher lays it out.
inline WideString InSource(const std::string& relative) {
  return WideString(kSource) + u"\\" + WithBackslashes(W(relative));
}

class ReleaseTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    demo::InstallClient("client 1.0");
    sim::AddFolder(u"C:\\Kelvo\\lang");
    sim::AddFile(u"C:\\Kelvo\\core.dll", "core");
    sim::AddFile(u"C:\\Kelvo\\lang\\de.pak", "deutsch 1");
    sim::AddFolder(u"D:");
    sim::AddFolder(u"D:\\releases");
    crypto::Point point;
    ASSERT_TRUE(crypto::GenerateKey(key_, point));
    query_ = {kSource,
              u"stable",
              W(release::PublicKeyText(point)),
              u"KelvoClient",
              u"C:\\Kelvo",
              u"1.0",
              u"",
              TransferFloor()};
    version2_ = {
        {u"KelvoClient.exe", "client 2.0"}, {u"core.dll", "core"}, {u"lang/de.pak", "deutsch 2"}};
  }

  // Publishes `files` as `version` into kSource, as the publish command lays it out.
  void Publish(const std::string& version, const std::map<WideString, std::string>& files,
               std::int64_t published = kNow - 3600, const std::string& product = "KelvoClient") {
    release::Manifest m{product, "stable", version, published, published + 30 * 86400, {}};
    sim::AddFolder(kSource);
    sim::AddFolder(WideString(kSource) + u"\\files");
    for (const auto& [name, content] : files) {
      crypto::Sha256 hash;
      hash.Update(content.data(), content.size());
      m.files.push_back({name, content.size(), hash.Finish()});
      sim::AddFile(Stored(m.files.back()), content);
    }
    Sign(release::WriteManifest(m));
    manifest_ = m;
  }
  // As the publish command signs: every key in CHANNEL.sigs, the first in CHANNEL.sig.
  void Sign(const std::string& manifest, const std::string* withKey = nullptr) {
    SignWith(manifest, {withKey ? *withKey : key_});
  }
  void SignWith(const std::string& manifest, const std::vector<std::string>& keys,
                int format = 1) {
    const release::Digest digest = Sha256Of(manifest);
    release::Signatures all(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_TRUE(crypto::Sign(keys[i], digest, all[i]));
    sim::AddFile(InSource(release::ManifestPath("stable", format)), manifest);
    if (format == 1) sim::AddFile(InSource(kSignature), std::string(all[0].begin(), all[0].end()));
    sim::AddFile(InSource(release::SignaturesPath("stable", format)), release::WriteSignatures(all));
  }
  static release::Digest Sha256Of(const std::string& bytes) {
    crypto::Sha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.Finish();
  }
  // `bytes` stored in kSource under their hash.
  static release::Stored AddObject(const std::string& bytes) {
    const release::Stored stored{Sha256Of(bytes), bytes.size()};
    sim::AddFile(InSource(release::StoredPath(stored.sha256)), bytes);
    return stored;
  }
  // As Publish, and format 2 beside it as the publish command makes it: each
  // file compressed, with a delta from each of its `bases`, earlier contents.
  void PublishCompressed(const std::string& version, const std::map<WideString, std::string>& files,
                         const std::map<WideString, std::vector<std::string>>& bases) {
    Publish(version, files);
    release::Manifest m = manifest_;
    m.format = 2;
    for (release::File& f : m.files) {
      const std::string& content = files.at(f.name);
      std::string frame;
      ASSERT_TRUE(encode::Compress(content, frame));
      f.whole = AddObject(frame);
      const auto from = bases.find(f.name);
      for (const std::string& base : from == bases.end() ? std::vector<std::string>{} : from->second) {
        ASSERT_TRUE(encode::Delta(base, content, frame));
        f.deltas.push_back({Sha256Of(base), base.size(), AddObject(frame)});
      }
    }
    SignWith(release::WriteManifest(m), {key_}, 2);
    manifest_ = m;
  }
  // The release in format 3 beside format 1, each file stored as it is, with
  // `rollout`, published at `published`: what publish release, halt and
  // resume write. Returns the manifest's bytes as signed.
  std::string PublishRollout(const std::string& version, const release::Rollout& rollout,
                             std::int64_t published) {
    Publish(version, version2_, rollout.started);
    release::Manifest m = manifest_;
    m.format = 3;
    m.rollout = rollout;
    m.published = published;
    m.expires = published + 30 * 86400;
    const std::string bytes = release::WriteManifest(m);
    SignWith(bytes, {key_}, 3);
    manifest_ = m;
    return bytes;
  }
  // A new key: its private PEM, and its text as a client embeds it.
  static std::string NewKey(WideString* text = nullptr) {
    std::string pem;
    crypto::Point point;
    EXPECT_TRUE(crypto::GenerateKey(pem, point));
    if (text) *text = W(release::PublicKeyText(point));
    return pem;
  }
  static WideString Stored(const release::File& f) {
    return InSource(release::StoredPath(f.sha256));
  }
  // Serves kSource at `base` ("http://host:port/path/") on the simulated web.
  void ServeOnWeb(const std::string& base) {
    for (const std::string& part : {kManifest, kSignature, kSignatures,
                                    release::ManifestPath("stable", 2),
                                    release::SignaturesPath("stable", 2),
                                    release::ManifestPath("stable", 3),
                                    release::SignaturesPath("stable", 3)}) {
      if (const auto content = sim::ContentOf(InSource(part))) sim::World().web[base + part].body = *content;
    }
    for (const release::File& f : manifest_.files) {
      std::vector<release::Stored> objects{{f.sha256, f.size}, f.whole};
      for (const release::Delta& d : f.deltas) objects.push_back(d.object);
      for (const release::Stored& o : objects) {
        const std::string path = release::StoredPath(o.sha256);
        sim::World().web[base + path].body = *sim::ContentOf(InSource(path));
      }
    }
  }
  LaunchCode Check(std::size_t* file = nullptr) { return CheckRelease(query_, checked_, file); }
  // 2.0 with a big.dat of 1 MiB, served on the default port and checked; the
  // address of big.dat's stored file.
  std::string CheckBigFileOnWeb() {
    version2_[u"big.dat"] = std::string(1 << 20, 'b');
    Publish("2.0", version2_);
    const std::string base = "http://releases.example:80/kelvo/";
    ServeOnWeb(base);
    query_.source = u"http://releases.example/kelvo";
    EXPECT_EQ(Check(), LaunchOk);
    return base + release::StoredPath(manifest_.files[1].sha256);
  }
  // Nothing staged, no updater started.
  static void ExpectNothingStaged() {
    EXPECT_EQ(sim::FilesIn(demo::kStaging), std::vector<std::string>{});
    EXPECT_EQ(sim::FilesIn(WideString(demo::kStaging) + u"\\lang"), std::vector<std::string>{});
    EXPECT_TRUE(sim::World().launches.empty());
  }

  std::string key_;
  ReleaseQuery query_;
  CheckedRelease checked_;
  release::Manifest manifest_;
  std::map<WideString, std::string> version2_;
};
