// Where a phased rollout stands, decided alike by the publish command and by
// each client from the signed manifest. An install draws one of kBuckets
// once; bucket b is offered the release from its turn on. The first group,
// kFirstGroup buckets (1%), at the start; then the share grows by the same
// factor each equal step of time, to every install after the rollout's days:
// 1% x 100^(t / days), so a 7-day rollout doubles about daily.
#pragma once

#include <cstdint>

#include "release/format.h"

namespace release {

constexpr std::uint32_t kBuckets = 10000;
constexpr std::uint32_t kFirstGroup = 100;

// Seconds since 1970 from which `bucket` is offered the rollout's release
// (its start for the first group), halted or not.
std::int64_t RolloutTurn(const Rollout& rollout, std::uint32_t bucket);

// How many buckets are offered the release at `now`: none while halted.
std::uint32_t RolloutOpen(const Rollout& rollout, std::int64_t now);

// The rollout after a halt or resume at `now` (the new publication time): a
// resumed one goes on from the share it had at `halted`, its halt's time.
Rollout Halted(Rollout rollout);
Rollout Resumed(Rollout rollout, std::int64_t halted, std::int64_t now);

}  // namespace release
