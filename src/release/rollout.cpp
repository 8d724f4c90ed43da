#include "release/rollout.h"

#include <cmath>

namespace release {

std::int64_t RolloutTurn(const Rollout& rollout, std::uint32_t bucket) {
  if (rollout.days <= 0 || bucket < kFirstGroup) return rollout.started;
  if (bucket >= kBuckets) bucket = kBuckets - 1;
  const double span = static_cast<double>(rollout.days) * 86400.0;
  // Open when 1% x 100^(t / span) passes the bucket: t = span x log100((b + 1) / 1%).
  const double t = span * std::log((bucket + 1.0) / kFirstGroup) / std::log(100.0);
  const auto seconds = static_cast<std::int64_t>(std::ceil(t));
  return rollout.started + (seconds < 0 ? 0 : seconds);
}

std::uint32_t RolloutOpen(const Rollout& rollout, std::int64_t now) {
  if (rollout.halted || now < rollout.started) return 0;
  // The turns rise with the bucket: the first bucket whose turn is still to come.
  std::uint32_t low = 0, high = kBuckets;
  while (low < high) {
    const std::uint32_t mid = low + (high - low) / 2;
    if (RolloutTurn(rollout, mid) <= now) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

Rollout Halted(Rollout rollout) {
  rollout.halted = true;
  return rollout;
}

Rollout Resumed(Rollout rollout, std::int64_t halted, std::int64_t now) {
  if (rollout.halted && now > halted) rollout.started += now - halted;
  rollout.halted = false;
  return rollout;
}

}  // namespace release
