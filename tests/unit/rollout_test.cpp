// Phased rollouts as a client decides them from the signed manifest: its
// bucket, the share over time, a halt and a resume, replays refused, the
// user's early check, and what the C interface says of it.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "capi/client_launch.h"
#include "platform/platform.h"
#include "release/rollout.h"
#include "support/release_fixture.h"

namespace {

constexpr std::int64_t kDay = 86400;
const WideString kBucketFile = WideString(demo::kClientRoot) + u"\\rollout-bucket";

void Remove(const WideString& path) { platform::DeleteFileW(path.c_str()); }

class RolloutTest : public ReleaseTest {
 protected:
  void SetUp() override {
    ReleaseTest::SetUp();
    sim::AddFolder(demo::kClientRoot);
  }
  static void SetBucket(std::uint32_t bucket) {
    sim::AddFile(kBucketFile, std::to_string(bucket) + "\n");
  }
  // 2.0 rolling out over 7 days, half of them gone: about 10% offered.
  const release::Rollout kWeek{7, kNow - 7 * kDay / 2, false};
};

TEST_F(RolloutTest, BucketsAreDrawnOnceAndSpreadEvenly) {
  // Kept: the same bucket each time; one the user garbled is drawn anew.
  const std::uint32_t first = InstallBucket();
  EXPECT_EQ(InstallBucket(), first);
  EXPECT_EQ(sim::ContentOf(kBucketFile), std::to_string(first) + "\n");
  sim::AddFile(kBucketFile, "12345678901234567890\n");
  EXPECT_LT(InstallBucket(), release::kBuckets);
  // Many installs: each tenth of the buckets drawn as often, within a
  // chi-squared bound that a fair draw passes but once in a million; and
  // the share offered halfway through a rollout is the curve's.
  constexpr int kDraws = 10000;
  std::array<int, 10> tenths{};
  int offered = 0;
  for (int i = 0; i < kDraws; ++i) {
    Remove(kBucketFile);
    const std::uint32_t b = InstallBucket();
    ASSERT_LT(b, release::kBuckets);
    ++tenths[b * 10 / release::kBuckets];
    offered += release::RolloutTurn(kWeek, b) <= kNow;
  }
  double chi = 0;
  for (int n : tenths) chi += (n - kDraws / 10.0) * (n - kDraws / 10.0) / (kDraws / 10.0);
  EXPECT_LT(chi, 45.0);  // 9 degrees of freedom, p = 1e-6
  const double share = release::RolloutOpen(kWeek, kNow) / double(release::kBuckets);
  EXPECT_NEAR(offered / double(kDraws), share, 5 * std::sqrt(share * (1 - share) / kDraws));
  // Without a generator: the last group, never offered a release early.
  Remove(kBucketFile);
  sim::World().failingCall["BCryptGenRandom"] = sim::World().callCounts["BCryptGenRandom"] + 1;
  EXPECT_EQ(InstallBucket(), release::kBuckets - 1);
}

TEST_F(RolloutTest, TheShareDoublesInEqualStepsFromOnePercentToEveryInstall) {
  const release::Rollout r{8, kNow, false};
  EXPECT_EQ(release::RolloutOpen(r, kNow - 1), 0u);
  EXPECT_EQ(release::RolloutOpen(r, kNow), release::kFirstGroup);
  // 1% x 100^(t/8 days): 10% at 4 days, 100% at 8; each bucket's turn on the curve.
  EXPECT_NEAR(release::RolloutOpen(r, kNow + 4 * kDay), 1000u, 1u);
  EXPECT_EQ(release::RolloutOpen(r, kNow + 8 * kDay), release::kBuckets);
  EXPECT_EQ(release::RolloutTurn(r, release::kFirstGroup - 1), kNow);
  EXPECT_NEAR(release::RolloutTurn(r, 999), kNow + 4 * kDay, 1);
  EXPECT_EQ(release::RolloutTurn(r, release::kBuckets - 1), kNow + 8 * kDay);
  for (std::int64_t t = kNow; t <= kNow + 8 * kDay; t += 3 * 3600) {
    const std::uint32_t open = release::RolloutOpen(r, t);
    EXPECT_LE(release::RolloutTurn(r, open - 1), t);
    if (open < release::kBuckets) {
      EXPECT_GT(release::RolloutTurn(r, open), t);
    }
  }
  // No rollout: every install at once. Halted: none; resumed, from the share it had.
  EXPECT_EQ(release::RolloutOpen({0, kNow, false}, kNow), release::kBuckets);
  EXPECT_EQ(release::RolloutOpen(release::Halted(r), kNow + 8 * kDay), 0u);
  const release::Rollout resumed = release::Resumed(release::Halted(r), kNow + kDay, kNow + 3 * kDay);
  EXPECT_EQ(release::RolloutOpen(resumed, kNow + 3 * kDay), release::RolloutOpen(r, kNow + kDay));
}

TEST_F(RolloutTest, AnInstallIsOfferedTheReleaseAtItsTurnOrEarlyWhenTheUserAsks) {
  PublishRollout("2.0", kWeek, kWeek.started);
  SetBucket(50);
  ASSERT_EQ(Check(), LaunchOk);
  EXPECT_EQ(checked_.rollout, RolloutState::Open);
  // A later bucket: up to date, and told when its turn comes.
  SetBucket(9000);
  ASSERT_EQ(Check(), UpToDate);
  EXPECT_EQ(checked_.rollout, RolloutState::Waiting);
  EXPECT_EQ(checked_.turn, release::RolloutTurn(kWeek, 9000));
  EXPECT_GT(checked_.turn, kNow);
  EXPECT_EQ(checked_.manifest.version, "2.0");
  EXPECT_TRUE(checked_.changed.empty());
  query_.early = true;
  ASSERT_EQ(Check(), LaunchOk);
  EXPECT_EQ(checked_.rollout, RolloutState::Open);
  EXPECT_EQ(checked_.changed.size(), 2u);

  // Through the C interface: a handle on KL_UP_TO_DATE from the call with flags only.
  query_.early = false;
  kl_release* r = nullptr;
  const auto check = [&](const kl_char* agent, std::uint32_t flags) {
    return KlCheckReleaseWith(reinterpret_cast<const kl_char*>(kSource), nullptr,
                              reinterpret_cast<const kl_char*>(query_.publicKey.c_str()),
                              reinterpret_cast<const kl_char*>(u"KelvoClient"),
                              reinterpret_cast<const kl_char*>(u"C:\\Kelvo"),
                              reinterpret_cast<const kl_char*>(u"1.0"), agent, flags, &r, nullptr);
  };
  ASSERT_EQ(check(nullptr, 0), KL_UP_TO_DATE);
  std::int32_t state = -1;
  std::int64_t turn = 0;
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(KlReleaseRollout(r, &state, &turn), KL_OK);
  EXPECT_EQ(state, KL_ROLLOUT_WAITING);
  EXPECT_EQ(turn, checked_.turn);
  KlFreeRelease(r);
  ASSERT_EQ(check(nullptr, KL_CHECK_EARLY), KL_OK);
  EXPECT_EQ(KlReleaseRollout(r, &state, nullptr), KL_OK);
  EXPECT_EQ(state, KL_ROLLOUT_OPEN);
  KlFreeRelease(r);
  EXPECT_EQ(KlCheckReleaseAs(reinterpret_cast<const kl_char*>(kSource), nullptr,
                             reinterpret_cast<const kl_char*>(query_.publicKey.c_str()),
                             reinterpret_cast<const kl_char*>(u"KelvoClient"),
                             reinterpret_cast<const kl_char*>(u"C:\\Kelvo"),
                             reinterpret_cast<const kl_char*>(u"1.0"), nullptr, &r, nullptr),
            KL_UP_TO_DATE);
  EXPECT_EQ(r, nullptr);
}

TEST_F(RolloutTest, AHaltStopsEveryInstallAndOnlyALaterManifestIsTaken) {
  SetBucket(50);
  const std::string open = PublishRollout("2.0", kWeek, kWeek.started);
  ASSERT_EQ(Check(), LaunchOk);
  // Halted an hour later: no install that lacks 2.0 is offered it, early or not.
  const std::string halted = PublishRollout("2.0", release::Halted(kWeek), kNow - 3600);
  for (bool early : {false, true}) {
    query_.early = early;
    ASSERT_EQ(Check(), UpToDate);
    EXPECT_EQ(checked_.rollout, RolloutState::Halted);
    EXPECT_EQ(checked_.turn, 0);
  }
  // One that has it keeps it.
  query_.installedVersion = u"2.0";
  EXPECT_EQ(Check(), UpToDate);
  EXPECT_EQ(checked_.rollout, RolloutState::Open);
  query_.installedVersion = u"1.0";
  // The open manifest replayed after the halt was seen: refused.
  SignWith(open, {key_}, 3);
  EXPECT_EQ(Check(), RefusedReplay);
  // Resumed later: taken; then the halt replayed is refused in turn.
  const release::Rollout resumed = release::Resumed(release::Halted(kWeek), kNow - 3600, kNow);
  PublishRollout("2.0", resumed, kNow);
  query_.early = false;
  EXPECT_EQ(Check(), LaunchOk);
  SignWith(halted, {key_}, 3);
  EXPECT_EQ(Check(), RefusedReplay);
  // A folder without format 3 is not read by an install that saw it; format 1's
  // signed bytes served under format 3's name are not taken for it.
  Remove(InSource(release::ManifestPath("stable", 3)));
  EXPECT_EQ(Check(), FailedReadSource);
  SignWith(release::WriteManifest([this] {
             release::Manifest m = manifest_;
             m.format = 1;
             m.published = kNow + 60;
             return m;
           }()),
           {key_}, 3);
  EXPECT_EQ(Check(), RefusedMalformed);
}

}  // namespace
