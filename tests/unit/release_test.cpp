// Checking, fetching and applying a signed release on the simulated Windows,
// whose CNG is OpenSSL: releases are signed here with the publish command's
// own crypto and served from a folder on D:.
#include "launch/release.h"

#include <gtest/gtest.h>

#include <tuple>

#include "contract/limits.h"
#include "launch/staging.h"
#include "platform/platform.h"
#include "support/release_fixture.h"

namespace {

TEST_F(ReleaseTest, FetchesOnlyTheChangedFilesAndStartsTheUpdaterForThem) {
  Publish("2.0", version2_);
  ASSERT_EQ(Check(), LaunchOk);
  EXPECT_EQ(checked_.manifest.version, "2.0");
  EXPECT_EQ(checked_.changed, (std::vector<std::size_t>{0, 2}));
  EXPECT_EQ(checked_.changedBytes, 19u);
  EXPECT_EQ(checked_.totalBytes, 23u);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
  const auto progress = [](std::uint64_t done, std::uint64_t total, void* c) {
    static_cast<decltype(seen)*>(c)->emplace_back(done, total);
    return true;
  };
  ASSERT_EQ(FetchRelease(checked_, progress, &seen), LaunchOk);
  EXPECT_EQ(seen.front(), std::make_pair(std::uint64_t{0}, std::uint64_t{19}));
  EXPECT_EQ(seen.back(), std::make_pair(std::uint64_t{19}, std::uint64_t{19}));
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"KelvoClient.exe")), "client 2.0");
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"lang\\de.pak")), "deutsch 2");
  EXPECT_EQ(sim::FilesIn(demo::kStaging), std::vector<std::string>{"KelvoClient.exe"});
  // The unchanged file was never opened in the release.
  for (const std::string& call : sim::CallsTo("CreateFileW")) {
    EXPECT_EQ(call.find(sim::Utf8(Stored(manifest_.files[1]))), std::string::npos) << call;
  }
  sim::AddFile(u"C:\\Kelvo\\updater.exe", "updater");
  LaunchRefusal refusal;
  ASSERT_TRUE(ApplyRelease(checked_, &refusal));
  ASSERT_EQ(sim::World().launches.size(), 1u);
  EXPECT_EQ(sim::World().launches[0].parameters, u"--files KelvoClient.exe|lang/de.pak");
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(ReleaseTest, AnyHeldKeyOfARotationVerifiesAndApplyStagesWhatVouchesForTheFiles) {
  WideString oldText, newText;
  const std::string oldKey = NewKey(&oldText), newKey = NewKey(&newText), stranger = NewKey();
  Publish("2.0", version2_);
  const std::string manifest = *sim::ContentOf(InSource(kManifest));
  query_.publicKey = oldText + u"\r\n" + newText;
  const std::vector<std::vector<std::string>> good = {
      {newKey}, {oldKey, newKey}, {stranger, newKey}, {stranger, oldKey}};
  for (const auto& signers : good) {
    SignWith(manifest, signers);
    EXPECT_EQ(Check(), LaunchOk) << signers.size() << " signatures";
  }
  SignWith(manifest, {stranger, stranger});
  EXPECT_EQ(Check(), RefusedSignature);
  // A folder published before several keys holds CHANNEL.sig alone.
  SignWith(manifest, {oldKey});
  platform::DeleteFileW(InSource(kSignatures).c_str());
  ASSERT_FALSE(sim::Exists(InSource(kSignatures)));
  EXPECT_EQ(Check(), LaunchOk);
  WideString many;
  for (std::size_t i = 0; i <= release::kMaxKeys; ++i) many += newText + u" ";
  for (const WideString& keys : {newText + u", MFkw", WideString(u" "), many}) {
    query_.publicKey = keys;
    EXPECT_EQ(Check(), RefusedPublicKey);
  }

  // What the client staged for a keyed updater is exactly what it verified.
  query_.publicKey = newText;
  SignWith(manifest, {stranger, newKey});
  ASSERT_EQ(Check(), LaunchOk);
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  sim::AddFile(u"C:\\Kelvo\\updater.exe", "updater");
  ASSERT_TRUE(ApplyRelease(checked_));
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(kRecordManifestName)), manifest);
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(kRecordSignaturesName)),
            sim::ContentOf(InSource(kSignatures)));
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(ReleaseTest, WithNoVersionGivenTheReleaseAKeyedUpdaterRecordedIsTheInstalledOne) {
  Publish("2.0", version2_);
  const std::string v2 = *sim::ContentOf(InSource(kManifest));
  const WideString recorded = WideString(u"C:\\Kelvo\\") + kRecordManifestName;
  query_.installedVersion = u"";
  EXPECT_EQ(Check(), RefusedVersionText) << "no record";
  sim::AddFile(recorded, "not a manifest");
  EXPECT_EQ(Check(), RefusedVersionText);
  sim::AddFile(recorded, v2);
  EXPECT_EQ(Check(), UpToDate);
  Publish("1.5", version2_);
  sim::AddFile(recorded, *sim::ContentOf(InSource(kManifest)));
  Publish("2.0", version2_);
  EXPECT_EQ(Check(), LaunchOk);
  Publish("1.0", version2_);
  EXPECT_EQ(Check(), RefusedRollback);
}

TEST_F(ReleaseTest, AnInstallThatMatchesIsUpToDateAndOlderOrEqualVersionsAreNotTaken) {
  Publish("2.0", {{u"KelvoClient.exe", "client 1.0"}, {u"core.dll", "core"}});
  EXPECT_EQ(Check(), UpToDate);
  Publish("2.0", version2_);
  query_.installedVersion = u"2.0.0";
  EXPECT_EQ(Check(), UpToDate);
  query_.installedVersion = u"2.1";
  EXPECT_EQ(Check(), RefusedRollback);
  query_.installedVersion = u"2.x";
  EXPECT_EQ(Check(), RefusedVersionText);
  ExpectNothingStaged();
}

TEST_F(ReleaseTest, EveryForgeryIsRefusedBeforeTheManifestIsRead) {
  Publish("2.0", version2_);
  const std::string manifest = *sim::ContentOf(InSource(kManifest));
  const std::string signature = *sim::ContentOf(InSource(kSignature));
  const auto put = [](const std::string& m, const std::string& s) {
    sim::AddFile(InSource(kManifest), m);
    sim::AddFile(InSource(kSignature), s);
    sim::AddFile(InSource(kSignatures), s);
  };
  for (std::size_t i = 0; i < manifest.size(); ++i) {
    std::string flipped = manifest;
    flipped[i] = static_cast<char>(flipped[i] ^ (1 << (i % 8)));
    put(flipped, signature);
    ASSERT_EQ(Check(), RefusedSignature) << "bit flipped in byte " << i;
    put(manifest.substr(0, i), signature);
    ASSERT_EQ(Check(), RefusedSignature) << "cut at " << i;
  }
  for (std::size_t i = 0; i < signature.size(); ++i) {
    std::string flipped = signature;
    flipped[i] = static_cast<char>(flipped[i] ^ (1 << (i % 8)));
    put(manifest, flipped);
    ASSERT_EQ(Check(), RefusedSignature) << "signature bit flipped in byte " << i;
  }
  put(manifest, "");
  EXPECT_EQ(Check(), RefusedSignature);
  sim::Find(InSource(kSignature))->attributes = platform::kAttributeDirectory;
  sim::Find(InSource(kSignatures))->attributes = platform::kAttributeDirectory;
  EXPECT_EQ(Check(), RefusedSignature);
  // By another key, though well formed.
  std::string other;
  crypto::Point unused;
  ASSERT_TRUE(crypto::GenerateKey(other, unused));
  Sign(manifest, &other);
  EXPECT_EQ(Check(), RefusedSignature);
  // Garbage that was never signed is not parsed: no malformed, only unsigned.
  put("kelvo-release 1\nnonsense\n", signature);
  EXPECT_EQ(Check(), RefusedSignature);
  put(std::string(release::kMaxManifestBytes + 1, 'x'), signature);
  sim::World().journal.clear();
  EXPECT_EQ(Check(), RefusedManifestTooLarge);
  EXPECT_TRUE(sim::CallsTo("ReadFile").empty()) << "refused by its size, unread";
  sim::Find(InSource(kManifest))->attributes = platform::kAttributeDirectory;
  EXPECT_EQ(Check(), FailedReadSource);
  query_.publicKey = u"MFkw";
  EXPECT_EQ(Check(), RefusedPublicKey);
  ExpectNothingStaged();
}

TEST_F(ReleaseTest, SignedButWrongReleasesAreRefusedEachWithItsCode) {
  Publish("2.0", version2_, kNow - 3600, "OtherProduct");
  EXPECT_EQ(Check(), RefusedProduct);
  Publish("2.0", version2_, kNow - 30 * 86400);  // expires right now
  EXPECT_EQ(Check(), RefusedExpired);
  Publish("2.0", version2_);
  query_.channel = u"beta";
  sim::AddFile(InSource(release::ManifestPath("beta")),
               *sim::ContentOf(InSource(kManifest)));
  sim::AddFile(InSource(release::SignaturePath("beta")),
               *sim::ContentOf(InSource(kSignature)));
  EXPECT_EQ(Check(), RefusedProduct) << "a stable manifest served as beta";
  query_.channel = u"stable";
  std::string manifest = release::WriteManifest(manifest_);
  Sign(manifest + "extra\n");
  EXPECT_EQ(Check(), RefusedMalformed);
  // Names the launch library refuses, and a list no command line holds.
  std::size_t file = 0;
  Sign(manifest.replace(manifest.find("lang/de.pak"), 11, "lang/NUL.pa"));
  EXPECT_EQ(Check(&file), RefusedDeviceName);
  EXPECT_EQ(file, 2u);
  std::map<WideString, std::string> many;
  for (int i = 0; i < 170; ++i) many[W(std::to_string(1000 + i)) + WideString(196, u'n')] = "x";
  Publish("2.0", many);
  EXPECT_EQ(Check(&file), RefusedLineTooLong);
  Publish("2.0", {{u"updater.exe", "x"}});
  EXPECT_EQ(Check(), RefusedUpdaterItself);
  Publish("2.0", {{u"plugins/new.dll", "x"}});
  EXPECT_EQ(Check(), RefusedMissingFolder) << "the updater creates no folder";
  sim::World().cngMissing = true;
  Publish("2.0", version2_);
  EXPECT_EQ(Check(), FailedCrypto);
  ExpectNothingStaged();
}

TEST_F(ReleaseTest, AFileThatIsNotTheManifestsIsNeverStaged) {
  Publish("2.0", version2_);
  ASSERT_EQ(Check(), LaunchOk);
  const WideString client = Stored(manifest_.files[0]);
  const auto fetch = [&](std::size_t expectedFile) {
    std::size_t file = 99;
    const LaunchCode code = FetchRelease(checked_, nullptr, nullptr, &file);
    EXPECT_EQ(file, expectedFile);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
    return code;
  };
  demo::Stage(u"KelvoClient.exe", "an older, unverified copy", platform::kAttributeReadOnly);
  sim::AddFile(client, "client 2.X");  // tampered, same size
  EXPECT_EQ(fetch(0), RefusedFileHash);
  ExpectNothingStaged();
  sim::AddFile(client, "client 2.0" + std::string(3 << 20, '!'));  // longer
  sim::World().journal.clear();
  EXPECT_EQ(fetch(0), RefusedFileSize);
  EXPECT_TRUE(sim::CallsTo("WriteFile").empty()) << "cut off before a byte past the size";
  ExpectNothingStaged();
  sim::AddFile(client, "client");  // shorter
  EXPECT_EQ(fetch(0), RefusedFileSize);
  sim::AddFile(client, "client 2.0");
  sim::AddFile(Stored(manifest_.files[2]), "deutsch X");
  EXPECT_EQ(fetch(1), RefusedFileHash);
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"KelvoClient.exe")), "client 2.0") << "verified stays";
  EXPECT_FALSE(sim::Exists(PartialPathOf(demo::StagedFile(u"lang\\de.pak"))));
  sim::Find(Stored(manifest_.files[2]))->attributes = platform::kAttributeDirectory;
  EXPECT_EQ(fetch(1), FailedReadSource);
  sim::AddFile(Stored(manifest_.files[2]), "deutsch 2");
  sim::World().failingCall["WriteFile"] = sim::World().callCounts["WriteFile"] + 1;
  EXPECT_EQ(fetch(1), FailedStageWrite);
  EXPECT_EQ(fetch(kNoName), LaunchOk);
  // Changed after the fetch: the updater is not started for it.
  sim::AddFile(demo::StagedFile(u"lang\\de.pak"), "deutsch 3");
  LaunchRefusal refusal;
  EXPECT_FALSE(ApplyRelease(checked_, &refusal));
  EXPECT_EQ(std::make_pair(refusal.code, refusal.name),
            std::make_pair(RefusedFileHash, std::size_t{1}));
  EXPECT_TRUE(sim::World().launches.empty());
}

TEST_F(ReleaseTest, AStoppedFetchKeepsWhatItVerifiedAndResumesWithTheRest) {
  version2_[u"big.dat"] = std::string(1 << 20, 'b');
  Publish("2.0", version2_);
  ASSERT_EQ(Check(), LaunchOk);
  ASSERT_EQ(checked_.changed.size(), 3u);  // KelvoClient.exe, big.dat, lang/de.pak
  // Stop half-way through big.dat.
  const auto stopHalfway = [](std::uint64_t done, std::uint64_t, void*) { return done < 300000; };
  std::size_t file = 99;
  EXPECT_EQ(FetchRelease(checked_, stopHalfway, nullptr, &file), Stopped);
  EXPECT_EQ(file, 1u);
  EXPECT_EQ(sim::FilesIn(demo::kStaging), std::vector<std::string>{"KelvoClient.exe"});
  sim::AddFolder(WideString(demo::kStaging) + u"\\lang");
  demo::Stage(u"lang\\de.pak", "a stale read-only copy", platform::kAttributeReadOnly);
  sim::World().journal.clear();
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"lang\\de.pak")), "deutsch 2");
  for (const std::string& call : sim::CallsTo("CreateFileW")) {
    EXPECT_EQ(call.find(sim::Utf8(Stored(manifest_.files[0]))), std::string::npos)
        << "fetched again: " << call;
  }
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"big.dat"))->size(), 1u << 20);
  const auto stopAtOnce = [](std::uint64_t, std::uint64_t, void*) { return false; };
  EXPECT_EQ(FetchRelease(checked_, stopAtOnce, nullptr), Stopped);
  EXPECT_EQ(sim::FilesIn(demo::kStaging).size(), 2u) << "a stop removes nothing verified";
}

// A client may check on one thread while it fetches and applies on another.
// Whichever step of the fetch or the apply the check comes between, what is
// staged is the release's and the updater starts.
TEST_F(ReleaseTest, ACheckOnAnotherThreadAtAnyStepChangesNothingStaged) {
  version2_[u"big.dat"] = std::string(300000, 'b');
  Publish("2.0", version2_);
  sim::AddFile(u"C:\\Kelvo\\big.dat", std::string(300000, 'a'));  // read by the check
  sim::AddFile(u"C:\\Kelvo\\updater.exe", "updater");
  ASSERT_EQ(Check(), LaunchOk);
  const std::vector<WideString> names = {u"KelvoClient.exe", u"lang\\de.pak", u"big.dat"};
  std::size_t step = 0;
  for (bool ran = true; ran; ++step) {
    for (const WideString& name : names) platform::DeleteFileW(demo::StagedFile(name).c_str());
    sim::World().launches.clear();
    ran = false;
    sim::World().otherThread = {sim::World().journal.size() + step, [&] {
                                  ran = true;
                                  CheckedRelease other;
                                  EXPECT_EQ(CheckRelease(query_, other), LaunchOk);
                                }};
    EXPECT_EQ(FetchRelease(checked_), LaunchOk) << step;
    EXPECT_TRUE(ApplyRelease(checked_)) << step;
    EXPECT_EQ(sim::World().launches.size(), 1u) << step;
    for (const WideString& name : names) {
      const WideString listed = name == u"lang\\de.pak" ? WideString(u"lang/de.pak") : name;
      EXPECT_TRUE(sim::ContentOf(demo::StagedFile(name)) == version2_[listed])
          << sim::Utf8(name) << " at step " << step;
    }
  }
  sim::World().otherThread.reset();
  EXPECT_GT(step, 30u);
}

// A second fetch (another thread, or a second instance of the client with a
// newer release) at any step of a fetch and apply: while the first works in
// the staging folder it is told so and changes nothing; the updater only ever
// starts for what was verified.
TEST_F(ReleaseTest, AFetchWhileAnotherWorksInTheStagingFolderIsToldItIsBusy) {
  Publish("2.0", version2_);
  sim::AddFile(u"C:\\Kelvo\\updater.exe", "updater");
  ASSERT_EQ(Check(), LaunchOk);
  const CheckedRelease first = checked_;
  auto version21 = version2_;
  version21[u"KelvoClient.exe"] = "client 2.1";
  version21[u"lang/de.pak"] = "deutsch 2.1";
  Publish("2.1", version21);
  ASSERT_EQ(Check(), LaunchOk);
  const CheckedRelease second = checked_;
  const WideString lock = WideString(demo::kStaging) + u"\\ lock";
  const auto staged = [] {
    return std::make_pair(sim::ContentOf(demo::StagedFile(u"KelvoClient.exe")).value_or(""),
                          sim::ContentOf(demo::StagedFile(u"lang\\de.pak")).value_or(""));
  };
  const auto verified = std::make_pair(version2_[u"KelvoClient.exe"], version2_[u"lang/de.pak"]);
  std::map<LaunchCode, int> others;
  std::size_t step = 0;
  for (bool ran = true; ran; ++step) {
    for (const WideString name : {u"KelvoClient.exe", u"lang\\de.pak"}) {
      platform::DeleteFileW(demo::StagedFile(name).c_str());
    }
    sim::AddFile(lock, "left by a client that crashed");
    sim::World().launches.clear();
    ran = false;
    LaunchCode other = LaunchOk;
    sim::World().otherThread = {sim::World().journal.size() + step, [&] {
                                  ran = true;
                                  other = FetchRelease(second);
                                }};
    const LaunchCode fetched = FetchRelease(first);
    LaunchRefusal refusal;
    const bool applied = ApplyRelease(first, &refusal);
    if (ran) ++others[other];
    EXPECT_FALSE(sim::Exists(lock)) << step;
    if (other == FailedBusy) {
      EXPECT_EQ(fetched, LaunchOk) << step;
      EXPECT_TRUE(applied) << step;
    }
    // Applied means started, for the first release's files as they were verified.
    EXPECT_EQ(sim::World().launches.size(), applied ? 1u : 0u) << step;
    EXPECT_TRUE(applied ? staged() == verified : refusal.code == RefusedFileHash) << step;
  }
  sim::World().otherThread.reset();
  // Only in the few calls before each takes the folder does the other run whole.
  EXPECT_GT(others[FailedBusy], 30) << step;
  EXPECT_LT(others[LaunchOk], 16) << step;
  EXPECT_EQ(others[FailedBusy] + others[LaunchOk], static_cast<int>(step) - 1);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

// The same release served over the web: what the folder gives, and each way
// a transport fails, with its own code.
TEST_F(ReleaseTest, OverTheWebEachTransportFailureHasItsCode) {
  Publish("2.0", version2_);
  const std::string base = "http://releases.example:8080/kelvo/";
  ServeOnWeb(base);
  query_.source = u"HTTP://releases.example:8080/kelvo/";
  query_.userAgent = u"KelvoClient/1.0";
  ASSERT_EQ(Check(), LaunchOk);
  EXPECT_EQ(sim::CallsTo("WinHttpOpen").front().rfind("WinHttpOpen(\"KelvoClient/1.0\",", 0), 0u);
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"lang\\de.pak")), "deutsch 2");
  // Only the three formats' manifests (this folder has the first only), its
  // signatures and the two changed files were asked for.
  EXPECT_EQ(sim::World().webRequests.size(), 6u);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);

  // Each failure of the client's file leaves nothing under its name.
  const std::string client = base + release::StoredPath(manifest_.files[0].sha256);
  const WideString staged = demo::StagedFile(u"KelvoClient.exe");
  const auto fetchFails = [&]() {
    platform::DeleteFileW(staged.c_str());
    std::size_t file = 99;
    const LaunchCode code = FetchRelease(checked_, nullptr, nullptr, &file);
    EXPECT_EQ(file, 0u);
    EXPECT_FALSE(sim::Exists(staged));
    EXPECT_FALSE(sim::Exists(PartialPathOf(demo::StagedFile(u"KelvoClient.exe"))));
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
    return code;
  };
  sim::World().web[client].status = 404;
  EXPECT_EQ(fetchFails(), FailedHttpStatus);
  sim::World().web[client].status = 200;
  sim::World().web[client].body += "more";
  EXPECT_EQ(fetchFails(), RefusedFileSize);
  sim::World().web[client].body.resize(10);
  sim::World().web[client].failWith = platform::kErrorWinHttpCannotConnect;
  EXPECT_EQ(fetchFails(), FailedConnect);
  // Wine says 12157 for an untrusted certificate, Windows 12175 or 12045.
  for (std::uint32_t tls : {12157u, 12175u, 12045u}) {
    sim::World().web[client].failWith = tls;
    EXPECT_EQ(fetchFails(), FailedTls) << tls;
  }
  sim::World().web[client].failWith = platform::kErrorWinHttpRedirectFailed;
  EXPECT_EQ(fetchFails(), RefusedRedirect);
  sim::World().web[client].failWith = 0;
  sim::World().web[client].status = 302;  // a redirect the policy did not follow
  EXPECT_EQ(fetchFails(), RefusedRedirect);
  sim::World().web[client].status = 200;

  const std::string sig = sim::World().web[base + kSignatures].body;
  sim::World().web[base + kSignatures].status = 404;
  sim::World().web[base + kSignature].status = 404;
  EXPECT_EQ(Check(), RefusedSignature);
  sim::World().web[base + kSignatures].failWith = platform::kErrorWinHttpSecureFailure;
  EXPECT_EQ(Check(), FailedTls);
  sim::World().web[base + kSignatures] = {};
  sim::World().web[base + kSignatures].body = sig;
  // 100 bytes every 30 s: each read within the receive timeout.
  sim::World().web[base + kManifest].trickle = 100;
  sim::World().web[base + kManifest].msPerRead = 29000;
  EXPECT_EQ(Check(), FailedSlow) << "under 64 KiB a minute";
  query_.floor = {1, 10000};
  EXPECT_EQ(Check(), LaunchOk) << "a floor the client lowered";
  query_.floor = {};
  sim::World().web[base + kManifest].trickle = 0;
  sim::World().web[base + kManifest].body =
      std::string(release::kMaxManifestBytes + 1, 'x');
  EXPECT_EQ(Check(), RefusedManifestTooLarge) << "an endless answer is cut off at the bound";
  sim::World().web[base + kManifest].status = 500;
  EXPECT_EQ(Check(), FailedHttpStatus);
  query_.source = u"http://elsewhere.example/kelvo";
  EXPECT_EQ(Check(), FailedConnect);
  for (const WideString bad :
       {u"http://", u"http://a b/", u"http://host:0/x", u"http://host:65536/", u"http://user@host/",
        u"http://host/a?b", u"ftp://host/x", u""}) {
    query_.source = bad;
    EXPECT_EQ(Check(), RefusedAddress) << sim::Utf8(bad);
  }
  EXPECT_TRUE(sim::World().launches.empty());
}

// Interrupted over the web, a file is continued where it stopped, with a
// range request, and verified whole; a server that ignores ranges sends it
// all again.
TEST_F(ReleaseTest, AProxyTheUserSetByHandCarriesEveryRequestAndOneThatRefusesGivesItsCode) {
  const std::string big = CheckBigFileOnWeb();
  const auto sessions = [] {
    std::vector<std::string> opened = sim::CallsTo("WinHttpOpen");
    for (std::string& call : opened) call = call.substr(call.find(','));
    return opened;
  };
  EXPECT_EQ(sessions().back(), ", 4, null, null, 0x10000000)") << "detection: WinHTTP's own";
  sim::World().userProxy = {false, u"", u"proxy.corp:3128", u"<local>;*.corp"};
  sim::World().proxies = {"proxy.corp:3128"};
  sim::World().webRequests.clear();
  ASSERT_EQ(Check(), LaunchOk);
  EXPECT_EQ(sessions().back(), ", 3, \"proxy.corp:3128\", \"<local>;*.corp\", 0x10000000)");
  // Stopped part-way, then resumed: the range request goes through it too.
  const auto stopAt = [](std::uint64_t done, std::uint64_t, void*) { return done < 300000; };
  EXPECT_EQ(FetchRelease(checked_, stopAt), Stopped);
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  ASSERT_FALSE(sim::World().webRequests.empty());
  for (const std::string& request : sim::World().webRequests) {
    EXPECT_EQ(request.rfind("via proxy.corp:3128 http://releases.example:80/", 0), 0u) << request;
  }
  EXPECT_NE(std::find_if(sim::World().webRequests.begin(), sim::World().webRequests.end(),
                         [&](const std::string& r) { return r.rfind("via proxy.corp:3128 " + big + " Range: bytes=", 0) == 0; }),
            sim::World().webRequests.end());
  EXPECT_EQ(sim::World().unfreedProxyStrings, 0);

  // A proxy that refuses the connection: its code, and nothing unverified staged.
  for (const char16_t* name : {u"big.dat", u"KelvoClient.exe", u"lang\\de.pak"}) {
    Discard(demo::StagedFile(name));
  }
  sim::World().proxies.clear();
  EXPECT_EQ(FetchRelease(checked_), FailedConnect);
  EXPECT_EQ(Check(), FailedConnect);
  for (const WideString& folder : {WideString(demo::kStaging), demo::StagedFile(u"lang")}) {
    for (const std::string& name : sim::FilesIn(folder)) EXPECT_EQ(name[0], ' ') << name;
  }
  // A script or detection is WinHTTP's to resolve, and so is a failed lookup.
  sim::World().userProxy.autoConfigUrl = u"http://wpad.corp/proxy.pac";
  EXPECT_EQ(Check(), LaunchOk);
  EXPECT_EQ(sessions().back(), ", 4, null, null, 0x10000000)");
  sim::World().failingCall["WinHttpGetIEProxyConfigForCurrentUser"] =
      sim::World().callCounts["WinHttpGetIEProxyConfigForCurrentUser"] + 1;
  EXPECT_EQ(Check(), LaunchOk);
  EXPECT_EQ(sim::World().unfreedProxyStrings, 0);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(ReleaseTest, AWebFetchResumesWithARangeRequestAndVerifiesTheWholeFile) {
  const std::string big = CheckBigFileOnWeb();
  const WideString partial = PartialPathOf(demo::StagedFile(u"big.dat"));
  // The connection drops after seven reads of 64 KiB of big.dat (two reads
  // for the client: its bytes, then its end).
  sim::World().failingCall["WinHttpReadData"] = sim::World().callCounts["WinHttpReadData"] + 10;
  std::size_t file = 99;
  EXPECT_EQ(FetchRelease(checked_, nullptr, nullptr, &file), FailedTimeout);
  EXPECT_EQ(file, 1u);
  ASSERT_TRUE(sim::Exists(partial)) << "kept for the next fetch";
  EXPECT_EQ(sim::ContentOf(partial)->size(), 7u << 16);
  EXPECT_FALSE(sim::Exists(demo::StagedFile(u"big.dat")));
  sim::World().webRequests.clear();
  std::uint64_t last = 0;
  const auto note = [](std::uint64_t done, std::uint64_t, void* c) {
    *static_cast<std::uint64_t*>(c) = done;
    return true;
  };
  ASSERT_EQ(FetchRelease(checked_, note, &last), LaunchOk);
  EXPECT_EQ(sim::World().webRequests.front(), big + " Range: bytes=458752-");
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"big.dat")), std::string(1 << 20, 'b'));
  EXPECT_EQ(last, checked_.changedBytes);
  EXPECT_FALSE(sim::Exists(partial));

  // A stop keeps the partial; a server that ignores ranges sends the whole
  // file again; a partial tampered with fails the hash and goes.
  platform::DeleteFileW(demo::StagedFile(u"big.dat").c_str());
  const auto stop = [](std::uint64_t done, std::uint64_t, void*) { return done < 600000; };
  EXPECT_EQ(FetchRelease(checked_, stop, nullptr), Stopped);
  ASSERT_TRUE(sim::Exists(partial));
  sim::World().web[big].ranges = false;
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"big.dat")), std::string(1 << 20, 'b'));
  platform::DeleteFileW(demo::StagedFile(u"big.dat").c_str());
  sim::World().web[big].ranges = true;
  EXPECT_EQ(FetchRelease(checked_, stop, nullptr), Stopped);
  sim::Find(partial)->content[10] = 'X';
  EXPECT_EQ(FetchRelease(checked_), RefusedFileHash);
  EXPECT_FALSE(sim::Exists(partial));
  EXPECT_FALSE(sim::Exists(demo::StagedFile(u"big.dat")));

  // The server's answer ends early (Wine's WinHTTP reports a dropped
  // connection so): kept and continued. A partial as long as the server's
  // file gets 416, and the file is fetched whole.
  sim::World().web[big].body.resize(700000);
  EXPECT_EQ(FetchRelease(checked_), FailedReadSource);
  EXPECT_EQ(sim::ContentOf(partial)->size(), 700000u);
  EXPECT_EQ(FetchRelease(checked_), FailedReadSource) << "416, then the whole short file";
  EXPECT_EQ(sim::World().webRequests.back(), big);
  sim::World().web[big].body = std::string(1 << 20, 'b');
  sim::World().webRequests.clear();
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::World().webRequests.front(), big + " Range: bytes=700000-");
  platform::DeleteFileW(demo::StagedFile(u"big.dat").c_str());
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

// A server that falls silent, mid-file or before its headers, cannot keep a
// stop from the fetch: it is asked on at least every second of the silence
// and ends the fetch at once, what came kept for the next one. Unstopped,
// the silence ends at the receive timeout.
TEST_F(ReleaseTest, AStopEndsAFetchWithinASecondOfSilence) {
  const std::string big = CheckBigFileOnWeb();
  const WideString partial = PartialPathOf(demo::StagedFile(u"big.dat"));
  // The user presses stop two seconds into the silence.
  struct User {
    std::uint64_t last = ~0ull, silentSince = 0, pressedAt = 0, longestGap = 0, askedAt = 0;
  };
  const auto user = [](std::uint64_t done, std::uint64_t, void* context) {
    User& u = *static_cast<User*>(context);
    const std::uint64_t now = sim::World().tickCount;
    if (done != u.last) u.silentSince = now;
    if (done == u.last) u.longestGap = std::max(u.longestGap, now - u.askedAt);
    u.last = done;
    u.askedAt = now;
    if (now - u.silentSince < 2000) return true;
    u.pressedAt = now;
    return false;
  };
  for (const bool beforeHeaders : {false, true}) {
    SCOPED_TRACE(beforeHeaders ? "before the headers" : "mid-file");
    platform::DeleteFileW(partial.c_str());
    sim::World().web[big].silentFrom = 300000;
    sim::World().web[big].silentBeforeHeaders = beforeHeaders;
    User u;
    std::size_t file = 99;
    EXPECT_EQ(FetchRelease(checked_, user, &u, &file), Stopped);
    EXPECT_EQ(file, 1u);
    EXPECT_GE(u.pressedAt, 2000u);
    EXPECT_LE(u.longestGap, 1000u) << "asked at least every second";
    EXPECT_EQ(sim::World().tickCount, u.pressedAt) << "and ended at once";
    EXPECT_EQ(sim::ContentOf(partial).value_or("").size(), beforeHeaders ? 0u : 300000u);
    EXPECT_FALSE(sim::Exists(demo::StagedFile(u"big.dat")));
    EXPECT_TRUE(sim::World().launches.empty());
    // WinHTTP's last callbacks of the abandoned request come later; until
    // then what they use stays.
    EXPECT_EQ(sim::OpenHandleCount(), 1u);
    sim::FinishClosedRequests();
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
  // Pinned, for callbacks that outlive the caller's use of the library.
  const std::vector<std::string> pins = sim::CallsTo("GetModuleHandleExW");
  EXPECT_EQ(pins, std::vector<std::string>(std::max<std::size_t>(pins.size(), 1),
                                           "GetModuleHandleExW(0x5, ptr)"));

  // Unstopped, each silence ends at the receive timeout, with its code.
  for (const bool beforeHeaders : {true, false}) {
    platform::DeleteFileW(partial.c_str());
    sim::World().web[big].silentBeforeHeaders = beforeHeaders;
    const std::uint64_t start = sim::World().tickCount;
    EXPECT_EQ(FetchRelease(checked_), FailedTimeout);
    EXPECT_GE(sim::World().tickCount - start, 30000u);
    EXPECT_LT(sim::World().tickCount - start, 31000u);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
  // The server speaks again: the kept part is continued.
  sim::World().web[big].silentFrom.reset();
  sim::World().web[big].silentBeforeHeaders = false;
  sim::World().webRequests.clear();
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::World().webRequests.front(), big + " Range: bytes=300000-");
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"big.dat")), std::string(1 << 20, 'b'));
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

// Where WinHTTP fills every read whole once it holds part of the answer (as
// Wine's does, on the caller's thread), a server that trickles holds neither
// the floor's verdict nor a stop past the next second: the fetch reads what
// WinHTTP holds, and asks for a whole read only when it holds nothing.
TEST_F(ReleaseTest, ATrickleHoldsNeitherTheFloorNorAStopWhereReadsFillWhole) {
  query_.floor = {64 << 10, 3000};
  const std::string big = CheckBigFileOnWeb();
  sim::State::WebAnswer& trickle = sim::World().web[big];
  trickle.wholeReads = true;
  trickle.trickle = 100;  // 100 bytes a second
  trickle.msPerRead = 1000;
  std::uint64_t start = sim::World().tickCount;
  EXPECT_EQ(FetchRelease(checked_), FailedSlow);
  EXPECT_LE(sim::World().tickCount - start, 4000u) << "at the end of the 3 s window";
  const auto stopAfterASecond = [](std::uint64_t, std::uint64_t, void* context) {
    return sim::World().tickCount - *static_cast<std::uint64_t*>(context) < 1000;
  };
  start = sim::World().tickCount;
  EXPECT_EQ(FetchRelease(checked_, stopAfterASecond, &start), Stopped);
  EXPECT_LE(sim::World().tickCount - start, 2000u);
  EXPECT_FALSE(sim::Exists(demo::StagedFile(u"big.dat")));
  sim::FinishClosedRequests();  // the abandoned read's last callbacks
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
  // Sent at once, the same file comes whole through the same reads.
  trickle.trickle = 0;
  trickle.msPerRead = 0;
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"big.dat")), std::string(1 << 20, 'b'));
}

// Whichever WinHTTP call fails, in a check or a fetch, the fetch ends with a
// code, nothing unverified stands under a staged name, no handle is left
// open and no updater starts; the next fetch completes.
TEST_F(ReleaseTest, AFailureOfAnyWinHttpCallLeavesNothingUnverifiedStaged) {
  version2_[u"big.dat"] = std::string(300000, 'b');
  Publish("2.0", version2_);
  ServeOnWeb("http://releases.example:80/kelvo/");
  query_.source = u"http://releases.example/kelvo";
  const char* calls[] = {"WinHttpOpen",
                         "WinHttpConnect",
                         "WinHttpOpenRequest",
                         "WinHttpSetTimeouts",
                         "WinHttpSetOption",
                         "WinHttpSendRequest",
                         "WinHttpReceiveResponse",
                         "WinHttpQueryHeaders",
                         "WinHttpQueryDataAvailable",
                         "WinHttpReadData",
                         "WinHttpSetStatusCallback",
                         "CreateEventW"};
  const std::vector<WideString> names = {u"KelvoClient.exe", u"lang\\de.pak", u"big.dat"};
  int failures = 0;
  for (const char* call : calls) {
    for (int n = 1;; ++n) {
      for (const WideString& name : names) platform::DeleteFileW(demo::StagedFile(name).c_str());
      const int before = sim::World().callCounts[call];
      sim::World().failingCall[call] = before + n;
      LaunchCode code = Check();
      if (code == LaunchOk) code = FetchRelease(checked_);
      const bool failed = sim::World().callCounts[call] >= before + n;
      sim::World().failingCall.erase(call);
      EXPECT_EQ(sim::OpenHandleCount(), 0u) << call << " " << n;
      if (!failed) {
        EXPECT_EQ(code, LaunchOk) << call << " " << n;
        break;
      }
      // A failed proxy lookup falls back to the configured proxy; else a code.
      failures += code != LaunchOk;
      for (const WideString& name : names) {
        const auto staged = sim::ContentOf(demo::StagedFile(name));
        const WideString wanted = name == u"lang\\de.pak" ? WideString(u"lang/de.pak") : name;
        EXPECT_TRUE(staged ? *staged == version2_[wanted] : code != LaunchOk) << call << " " << n;
      }
      EXPECT_TRUE(sim::World().launches.empty());
    }
  }
  EXPECT_GT(failures, 20);
  ASSERT_EQ(Check(), LaunchOk);
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"big.dat")), version2_[u"big.dat"]);
}

}  // namespace

namespace {

// Interrupted, a partial copy is continued toward the content it was started
// for only: a newer release's file of the same name and size starts afresh.
// Under the floor after a fast start, what came is kept for the next fetch;
// a partial copy longer than its file starts again from nothing.
TEST_F(ReleaseTest, APartialCopyIsContinuedOnlyTowardTheContentItWasStartedFor) {
  CheckBigFileOnWeb();
  const WideString partial = PartialPathOf(demo::StagedFile(u"big.dat"));
  const auto stop = [](std::uint64_t done, std::uint64_t, void*) { return done < 600000; };
  EXPECT_EQ(FetchRelease(checked_, stop, nullptr), Stopped);
  ASSERT_TRUE(sim::Exists(partial));
  version2_[u"big.dat"] = std::string(1 << 20, 'c');
  version2_[u"KelvoClient.exe"] = "client 2.1";
  Publish("2.1", version2_);
  const std::string base = "http://releases.example:80/kelvo/";
  ServeOnWeb(base);
  ASSERT_EQ(Check(), LaunchOk);
  const std::string big = base + release::StoredPath(manifest_.files[1].sha256);
  sim::World().webRequests.clear();
  ASSERT_EQ(FetchRelease(checked_), LaunchOk) << "in one fetch";
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"big.dat")), version2_[u"big.dat"]);
  EXPECT_NE(std::find(sim::World().webRequests.begin(), sim::World().webRequests.end(), big),
            sim::World().webRequests.end())
      << "asked for from its start";
  EXPECT_EQ(sim::FilesIn(demo::kStaging), (std::vector<std::string>{"KelvoClient.exe", "big.dat"}))
      << "no partial copy, and nothing kept about one";

  // A fast start, then a trickle: the first window met the floor, a later one
  // does not.
  platform::DeleteFileW(demo::StagedFile(u"big.dat").c_str());
  const auto slowDown = [](std::uint64_t done, std::uint64_t, void* address) {
    if (done > 300000) {
      sim::State::WebAnswer& answer = sim::World().web[*static_cast<std::string*>(address)];
      answer.trickle = 100;
      answer.msPerRead = 29000;
    }
    return true;
  };
  std::string address = big;
  sim::World().web[big].trickle = 64 << 10;  // at once, a read's worth at a time
  EXPECT_EQ(FetchRelease(checked_, slowDown, &address), FailedSlow);
  ASSERT_TRUE(sim::Exists(partial)) << "kept for the next fetch";
  const std::size_t kept = sim::ContentOf(partial)->size();
  EXPECT_GT(kept, 300000u);
  sim::World().web[big].trickle = 0;
  sim::World().web[big].msPerRead = 0;
  sim::World().webRequests.clear();
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::World().webRequests.front(), big + " Range: bytes=" + std::to_string(kept) + "-");
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"big.dat")), version2_[u"big.dat"]);
  EXPECT_EQ(sim::FilesIn(demo::kStaging), (std::vector<std::string>{"KelvoClient.exe", "big.dat"}));

  // One of another length than was kept (what a fetch killed while it
  // wrote toward other content would leave) starts afresh too.
  platform::DeleteFileW(demo::StagedFile(u"big.dat").c_str());
  EXPECT_EQ(FetchRelease(checked_, stop, nullptr), Stopped);
  sim::Find(partial)->content += 'c';
  sim::World().webRequests.clear();
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::World().webRequests.front(), big);

  platform::DeleteFileW(demo::StagedFile(u"big.dat").c_str());
  EXPECT_EQ(FetchRelease(checked_, stop, nullptr), Stopped);
  sim::Find(partial)->content = version2_[u"big.dat"] + "more";
  sim::World().webRequests.clear();
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::World().webRequests.front(), big);
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"big.dat")), version2_[u"big.dat"]);
  sim::FinishClosedRequests();
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

// While a fetch works in the staging folder (its progress callback runs
// inside it), neither an apply nor a file staged by hand gets in.
TEST_F(ReleaseTest, WhileAFetchHoldsTheStagingFolderNoApplyOrStagingGetsIn) {
  Publish("2.0", version2_);
  sim::AddFile(u"C:\\Kelvo\\updater.exe", "updater");
  sim::AddFile(u"C:\\Kelvo\\new.bin", "by hand");
  ASSERT_EQ(Check(), LaunchOk);
  struct Seen {
    const CheckedRelease* release;
    std::vector<LaunchCode> applies, stagings;
  } seen{&checked_, {}, {}};
  const auto meddle = [](std::uint64_t, std::uint64_t, void* context) {
    auto* s = static_cast<Seen*>(context);
    LaunchRefusal refusal;
    EXPECT_FALSE(ApplyRelease(*s->release, &refusal));
    s->applies.push_back(refusal.code);
    LaunchCode why = LaunchOk;
    EXPECT_FALSE(StageFile(u"C:\\Kelvo\\new.bin", u"KelvoClient.exe", &why));
    s->stagings.push_back(why);
    return true;
  };
  ASSERT_EQ(FetchRelease(checked_, meddle, &seen), LaunchOk);
  ASSERT_FALSE(seen.applies.empty());
  EXPECT_EQ(seen.applies, std::vector<LaunchCode>(seen.applies.size(), FailedBusy));
  EXPECT_EQ(seen.stagings, std::vector<LaunchCode>(seen.stagings.size(), FailedBusy));
  EXPECT_TRUE(sim::World().launches.empty());
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"KelvoClient.exe")), "client 2.0");
  EXPECT_TRUE(ApplyRelease(checked_));
  EXPECT_EQ(sim::World().launches.size(), 1u);
}

// A manifest of exactly its bound is read; past the line's limit, the check
// names the first file that does not fit.
TEST_F(ReleaseTest, AManifestOfExactlyItsBoundIsReadAndTheFileTheLineRefusesIsNamed) {
  std::map<WideString, std::string> many;
  for (int i = 10000; many.size() < 8200; ++i) {
    many[WideString(195, u'n') + W(std::to_string(i))] = "x";
  }
  Publish("2.0", many);
  release::Manifest m = manifest_;
  const std::size_t size = release::WriteManifest(m).size();
  ASSERT_LT(size, release::kMaxManifestBytes);
  // The last name takes what is left, up to its longest.
  std::size_t left = release::kMaxManifestBytes - size;
  for (auto it = m.files.rbegin(); left > 0; ++it) {
    const std::size_t more = std::min<std::size_t>(left, release::kMaxNameBytes - it->name.size());
    it->name = WideString(more, u'm') + it->name;
    left -= more;
  }
  const std::string exact = release::WriteManifest(m);
  ASSERT_EQ(exact.size(), release::kMaxManifestBytes);
  Sign(exact);
  // "C:\Kelvo\updater.exe" in quotes, " --files ", then the names and bars.
  std::size_t length = 22 + 9, first = 0;
  while (length + m.files[first].name.size() + (first > 0) < kMaxCommandLine) {
    length += m.files[first].name.size() + (first > 0);
    ++first;
  }
  std::size_t file = 0;
  EXPECT_EQ(Check(&file), RefusedLineTooLong);
  EXPECT_EQ(file, first);
  m.files.back().name += u"m";
  Sign(release::WriteManifest(m));
  EXPECT_EQ(Check(&file), RefusedManifestTooLarge);
  EXPECT_EQ(file, kNoName);
  ExpectNothingStaged();
}

// An install folder given with its separator, a name two folders deep that
// the staging folder does not have yet, and a folder where a stored file
// should be.
TEST_F(ReleaseTest, FoldersAtTheirEdgesOnBothSides) {
  sim::AddFolder(u"C:\\Kelvo\\lang\\zh");
  version2_[u"lang/zh/x.pak"] = "zh 2";
  Publish("2.0", version2_);
  query_.installFolder = u"C:\\Kelvo\\";
  ASSERT_EQ(Check(), LaunchOk);
  EXPECT_EQ(checked_.updater, u"C:\\Kelvo\\updater.exe");
  EXPECT_EQ(checked_.changed.size(), 3u) << "the unchanged core.dll is found through it";
  ASSERT_EQ(FetchRelease(checked_), LaunchOk);
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"lang\\zh\\x.pak")), "zh 2");

  for (const WideString name : {u"KelvoClient.exe", u"lang\\de.pak", u"lang\\zh\\x.pak"}) {
    platform::DeleteFileW(demo::StagedFile(name).c_str());
  }
  const WideString stored = Stored(manifest_.files[0]);
  platform::DeleteFileW(stored.c_str());
  sim::AddFolder(stored);
  std::size_t file = 99;
  EXPECT_EQ(FetchRelease(checked_, nullptr, nullptr, &file), FailedReadSource);
  EXPECT_EQ(file, 0u);
  ExpectNothingStaged();
}

}  // namespace
