// Format 2 on the client's side: each changed file comes by the delta from
// its installed version or compressed whole, each object verified before a
// byte of it is decoded, a bad delta giving way to the whole in the same
// fetch, and decoding held within its window.
#include <gtest/gtest.h>

#include <algorithm>

#include "contract/limits.h"
#include "launch/staging.h"
#include "platform/platform.h"
#include "support/release_fixture.h"

namespace {

// A program of `kib` KiB as compiled code changes between releases: one
// pseudo-random body, with `edit` changed in a few places.
std::string Program(std::size_t kib, std::uint32_t edit) {
  std::string bytes(kib << 10, '\0');
  std::uint32_t x = 88172645u;
  for (char& c : bytes) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>("abcdefgh"[x % 8]);
  }
  for (std::size_t at = edit; at < bytes.size(); at += bytes.size() / 4) bytes[at] = 'X';
  return bytes;
}

void Remove(const WideString& path) { ASSERT_TRUE(platform::DeleteFileW(path.c_str())); }

// One zstd frame of the one byte "x" that asks for a window of 2^28 bytes:
// no content size, a window descriptor of exponent 18, one raw last block.
const std::string kWideFrame("\x28\xb5\x2f\xfd\x00\x90\x09\x00\x00x", 10);

class CompressedReleaseTest : public ReleaseTest {
 protected:
  void SetUp() override {
    ReleaseTest::SetUp();
    sim::AddFile(u"C:\\Kelvo\\core.dll", Program(512, 1));
    version2_[u"core.dll"] = Program(512, 2);
    // core.dll has deltas from 0 and from 1, the installed one, both of its
    // size; de.pak from a version never installed; the client none.
    bases_ = {{u"core.dll", {Program(512, 0), Program(512, 1)}}, {u"lang/de.pak", {"deutsch 0.9"}}};
    PublishCompressed("2.0", version2_, bases_);
  }
  const release::File& Core() const { return manifest_.files[1]; }
  WideString InStore(const release::Stored& s) const {
    return InSource(release::StoredPath(s.sha256));
  }
  void ExpectStagedAsReleased() {
    for (std::size_t k : checked_.changed) {
      const release::File& f = manifest_.files[k];
      EXPECT_EQ(sim::ContentOf(demo::StagedFile(WithBackslashes(f.name))), version2_.at(f.name));
    }
    // Nothing of the objects or the decoding is left beside them.
    EXPECT_EQ(sim::FilesIn(demo::kStaging), (std::vector<std::string>{"KelvoClient.exe", "core.dll"}));
    EXPECT_EQ(sim::FilesIn(WideString(demo::kStaging) + u"\\lang"), std::vector<std::string>{"de.pak"});
  }
  std::map<WideString, std::vector<std::string>> bases_;
};

TEST_F(CompressedReleaseTest, EachChangedFileComesByTheDeltaFromItsInstalledVersionOrCompressedWhole) {
  const std::string base = "http://releases.example:8080/kelvo/";
  ServeOnWeb(base);
  query_.source = W(base);
  ASSERT_EQ(Check(), LaunchOk);
  ASSERT_EQ(checked_.manifest.format, 2);
  EXPECT_EQ(checked_.changed, (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(checked_.via, (std::vector<int>{kWhole, 1, kWhole}));
  const release::File& client = manifest_.files[0];
  const release::File& pak = manifest_.files[2];
  EXPECT_EQ(checked_.changedBytes,
            client.whole.size + Core().deltas[1].object.size + pak.whole.size);
  EXPECT_EQ(checked_.changedFileBytes, client.size + Core().size + pak.size);
  EXPECT_EQ(checked_.totalFileBytes, checked_.changedFileBytes);
  EXPECT_LT(Core().deltas[1].object.size * 20, Core().whole.size) << "a delta is a fraction";
  EXPECT_LT(Core().whole.size * 2, Core().size) << "compressed";

  std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
  const auto progress = [](std::uint64_t done, std::uint64_t total, void* c) {
    static_cast<decltype(seen)*>(c)->emplace_back(done, total);
    return true;
  };
  sim::World().webRequests.clear();
  ASSERT_EQ(FetchRelease(checked_, progress, &seen), LaunchOk);
  ExpectStagedAsReleased();
  EXPECT_EQ(seen.back(), std::make_pair(checked_.changedBytes, checked_.changedBytes));
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_LE(seen[i - 1].first, seen[i].first);
  // The three objects chosen, and nothing else.
  std::vector<std::string> asked;
  for (const release::Stored& s : {client.whole, Core().deltas[1].object, pak.whole}) {
    asked.push_back(base + release::StoredPath(s.sha256));
  }
  EXPECT_EQ(sim::World().webRequests, asked);

  // Apply stages the format 2 manifest that vouches for them.
  sim::AddFile(u"C:\\Kelvo\\updater.exe", "updater");
  ASSERT_TRUE(ApplyRelease(checked_));
  EXPECT_EQ(sim::ContentOf(WideString(demo::kStaging) + u"\\" + kRecordManifestName),
            checked_.manifestBytes);
  EXPECT_EQ(checked_.manifestBytes.compare(0, 16, "kelvo-release 2\n"), 0);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(CompressedReleaseTest, ObjectsAreVerifiedBeforeDecodingAndABadDeltaGivesWayToTheWhole) {
  const WideString delta = InStore(Core().deltas[1].object);
  const std::string good = *sim::ContentOf(delta);
  ASSERT_EQ(Check(), LaunchOk);
  const auto fetchOnce = [&](std::uint64_t* total) {
    std::uint64_t last = 0;
    const auto note = [](std::uint64_t, std::uint64_t t, void* c) {
      *static_cast<std::uint64_t*>(c) = t;
      return true;
    };
    const LaunchCode code = FetchRelease(checked_, note, &last);
    if (total) *total = last;
    return code;
  };

  // A delta altered, or one that makes another file: the whole is fetched instead.
  std::string altered = good;
  altered[altered.size() / 2] ^= 1;
  const std::string wrongBase = [&] {
    std::string frame, other = Program(512, 1);
    std::reverse(other.begin(), other.end());
    EXPECT_TRUE(encode::Delta(other, version2_[u"core.dll"], frame));
    return frame;
  }();
  for (const std::string& bad : {altered, good.substr(0, good.size() - 1), wrongBase}) {
    release::Manifest m = manifest_;
    if (bad == wrongBase) {
      m.files[1].deltas[1].object = AddObject(wrongBase);  // signed, yet not from this base
      SignWith(release::WriteManifest(m), {key_}, 2);
      ASSERT_EQ(Check(), LaunchOk);
    } else {
      sim::AddFile(delta, bad);
    }
    std::uint64_t total = 0;
    ASSERT_EQ(fetchOnce(&total), LaunchOk);
    ExpectStagedAsReleased();
    EXPECT_EQ(total, checked_.changedBytes + Core().whole.size) << "the whole counted as well";
    Remove(demo::StagedFile(u"core.dll"));
  }

  // The installed file changed after the check: the delta makes another file.
  SignWith(release::WriteManifest(manifest_), {key_}, 2);
  sim::AddFile(delta, good);
  ASSERT_EQ(Check(), LaunchOk);
  sim::AddFile(u"C:\\Kelvo\\core.dll", Program(512, 9));
  std::uint64_t total = 0;
  ASSERT_EQ(fetchOnce(&total), LaunchOk);
  ExpectStagedAsReleased();
  EXPECT_EQ(total, checked_.changedBytes + Core().whole.size);
  Remove(demo::StagedFile(u"core.dll"));

  // Both the delta and the whole replaced by a frame that would ask a
  // window past the bound: refused by their sizes, never decoded.
  sim::AddFile(InStore(Core().whole), kWideFrame);
  sim::AddFile(InStore(Core().deltas[1].object), kWideFrame);
  std::size_t file = 99;
  EXPECT_EQ(FetchRelease(checked_, nullptr, nullptr, &file), RefusedFileSize);
  EXPECT_EQ(file, 1u);
  EXPECT_FALSE(sim::Exists(demo::StagedFile(u"core.dll")));
  EXPECT_EQ(sim::FilesIn(demo::kStaging), std::vector<std::string>{"KelvoClient.exe"});
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(CompressedReleaseTest, AFrameAskingMoreThanTheWindowBoundIsRefusedWithItsCode) {
  // Signed: the frame is what the release vouches for, and still not decoded past the bound.
  release::Manifest m = manifest_;
  m.files[1] = release::File(u"core.dll", 1, Sha256Of("x"));
  m.files[1].whole = AddObject(kWideFrame);
  SignWith(release::WriteManifest(m), {key_}, 2);
  ASSERT_EQ(Check(), LaunchOk);
  std::size_t file = 99;
  EXPECT_EQ(FetchRelease(checked_, nullptr, nullptr, &file), RefusedWindow);
  EXPECT_EQ(file, 1u);
  EXPECT_FALSE(sim::Exists(demo::StagedFile(u"core.dll")));
  EXPECT_EQ(sim::FilesIn(demo::kStaging), std::vector<std::string>{"KelvoClient.exe"});
  // Within the bound the same byte decodes: a window of 2^27.
  std::string within = kWideFrame;
  within[5] = static_cast<char>(17 << 3);
  m.files[1].whole = AddObject(within);
  SignWith(release::WriteManifest(m), {key_}, 2);
  ASSERT_EQ(Check(), LaunchOk);
  EXPECT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"core.dll")), "x");
}

TEST_F(CompressedReleaseTest, AnInstallMatchingNoBaseOrAFolderOfFormatOneAloneFetchesWhole) {
  // Of the size of both bases, hashed to tell them apart: neither.
  sim::AddFile(u"C:\\Kelvo\\core.dll", Program(512, 5));
  ASSERT_EQ(Check(), LaunchOk);
  EXPECT_EQ(checked_.via, (std::vector<int>{kWhole, kWhole, kWhole}));
  EXPECT_EQ(checked_.changedBytes,
            manifest_.files[0].whole.size + Core().whole.size + manifest_.files[2].whole.size);
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  ExpectStagedAsReleased();
  // Of the size of the one base, taken for it unhashed: the delta makes
  // another file, and the whole comes in its place.
  bases_[u"core.dll"] = {Program(512, 0)};
  PublishCompressed("2.0", version2_, bases_);
  ASSERT_EQ(Check(), LaunchOk);
  EXPECT_EQ(checked_.via, (std::vector<int>{kWhole, 0, kWhole}));
  Remove(demo::StagedFile(u"core.dll"));
  sim::World().journal.clear();
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  ExpectStagedAsReleased();
  std::size_t wholeOpened = 0;
  for (const std::string& call : sim::CallsTo("CreateFileW")) {
    wholeOpened += call.find(sim::Utf8(InStore(Core().whole))) != std::string::npos;
  }
  EXPECT_EQ(wholeOpened, 1u);
  // A file that compressing did not shrink, stored as it is: fetched so.
  release::Manifest m = manifest_;
  m.files[1].whole = {m.files[1].sha256, m.files[1].size};
  SignWith(release::WriteManifest(m), {key_}, 2);
  sim::AddFile(u"C:\\Kelvo\\core.dll", Program(500, 5));
  ASSERT_EQ(Check(), LaunchOk);
  EXPECT_EQ(checked_.via[1], kWhole);
  Remove(demo::StagedFile(u"core.dll"));
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  ExpectStagedAsReleased();
  // A folder a publisher wrote before format 2, for an install that never
  // saw a later format (one that did reads no older): the files as they are.
  Remove(InSource(release::ManifestPath("stable", 2)));
  EXPECT_EQ(Check(), FailedReadSource);
  Remove(WideString(demo::kClientRoot) + u"\\seen-stable");
  ASSERT_EQ(Check(), LaunchOk);
  EXPECT_EQ(checked_.manifest.format, 1);
  EXPECT_EQ(checked_.changedBytes, checked_.changedFileBytes);
  // Format 2 whose signatures are missing is refused, not passed over.
  SignWith(release::WriteManifest(manifest_), {key_}, 2);
  Remove(InSource(release::SignaturesPath("stable", 2)));
  EXPECT_EQ(Check(), RefusedSignature);
}

TEST_F(CompressedReleaseTest, ADeltaCutOffIsResumedByRangeAndDecodedOnceWhole) {
  const std::string base = "http://releases.example:8080/kelvo/";
  version2_[u"core.dll"] = Program(2048, 2);
  bases_[u"core.dll"] = {Program(2048, 3), Program(512, 1)};
  PublishCompressed("2.0", version2_, bases_);
  ServeOnWeb(base);
  query_.source = W(base);
  ASSERT_EQ(Check(), LaunchOk);
  ASSERT_EQ(checked_.via[1], 1);
  const std::string url = base + release::StoredPath(Core().deltas[1].object.sha256);
  // Slow enough to be cut: the delta comes 4 KiB at a time.
  sim::World().web[url].trickle = 4096;
  sim::World().failingCall["WinHttpReadData"] = sim::World().callCounts["WinHttpReadData"] + 6;
  std::size_t file = 99;
  EXPECT_EQ(FetchRelease(checked_, nullptr, nullptr, &file), FailedTimeout);
  EXPECT_EQ(file, 1u);
  const WideString partial = PartialPathOf(demo::StagedFile(u"core.dll"));
  ASSERT_TRUE(sim::Exists(partial));
  const std::size_t kept = sim::ContentOf(partial)->size();
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, Core().deltas[1].object.size);
  sim::World().webRequests.clear();
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::World().webRequests.front(), url + " Range: bytes=" + std::to_string(kept) + "-");
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"core.dll")), version2_[u"core.dll"]);
  EXPECT_FALSE(sim::Exists(partial));
}

}  // namespace
