// Signed releases on the client's side: check a release folder that the
// publish command wrote, fetch the files that differ from the install, and
// apply them through the updater. Nothing is staged that the release's
// signature does not vouch for.
//   CheckedRelease r;
//   if (CheckRelease(query, r) == LaunchOk && FetchRelease(r, progress, ctx) == LaunchOk)
//     ApplyRelease(r);
#pragma once

#include "launch/launch.h"
#include "release/format.h"
#include "transport/source.h"

struct ReleaseQuery {
  WideString source;  // the release folder: a local path, a mounted volume, a UNC share
  WideString channel = WideString(std::begin(release::kDefaultChannel),
                                  std::end(release::kDefaultChannel) - 1);
  // The key texts keygen printed, embedded in the client; several (for a
  // rotation) apart by blanks, line breaks or commas. One suffices.
  WideString publicKey;
  WideString product;           // the product the release must be for
  WideString installFolder;     // where the client and the updater stand
  // Dotted numbers; empty: the version of the release a keyed updater
  // recorded in installFolder (RefusedVersionText when there is none).
  WideString installedVersion;
  WideString userAgent;         // over the web; empty: "KelvoClient-launch/1"
  TransferFloor floor;          // over the web: the slowest transfer taken
  // Asked by the user: a release still rolling out is taken before this
  // install's turn. A halted one is not.
  bool early = false;
};

// Where a release's rollout stands for this install.
enum class RolloutState { Open = 0, Waiting = 1, Halted = 2 };

// What is fetched for a changed file: its compressed whole, or a delta from
// the installed file (the index in the file's deltas).
constexpr int kWhole = -1;

struct CheckedRelease {
  release::Manifest manifest;
  std::string manifestBytes;       // as signed, staged for the updater to check again
  release::Signatures signatures;  // every one read, whichever key made it
  std::vector<std::size_t> changed;  // indexes into manifest.files: the files to fetch
  std::vector<int> via;              // for each changed file: kWhole or its delta
  std::uint64_t changedBytes = 0;    // to fetch: the objects chosen for the changed files
  std::uint64_t totalBytes = 0;      // to fetch for every file of the release, whole
  std::uint64_t changedFileBytes = 0;  // the changed files' own sizes, as installed
  std::uint64_t totalFileBytes = 0;    // every file's own size
  WideString source;
  WideString userAgent;
  TransferFloor floor;
  WideString installFolder;
  WideString updater;  // installFolder\updater.exe
  RolloutState rollout = RolloutState::Open;
  std::int64_t turn = 0;  // when it opens to this install, seconds since 1970; 0 halted
};

// LaunchOk and `out` filled when the release is newer, valid for this
// product and signed by the key, and some files differ from the installed
// ones (size, then SHA-256); UpToDate when none differ, the version is the
// installed one, or a rollout does not offer it to this install yet or is
// halted: `out` then holds the manifest and the rollout's standing, and
// nothing to fetch. A release folder's compressed format is read when it has
// one: each changed file is then fetched by its delta from the installed
// file, or else compressed whole. The newest manifest this install has seen
// of the channel is kept in the client root: an older one is RefusedReplay,
// and once one of format 3 was seen, a folder without it is not read. Else the refusal, and `file` (when given) the index in the
// manifest of the file it is about, or kNoName. The signature is checked on
// the manifest's raw bytes before any of them is parsed.
LaunchCode CheckRelease(const ReleaseQuery& query, CheckedRelease& out,
                        std::size_t* file = nullptr);

// The newest manifest of a channel an install has seen, as kept in its
// client root: "VERSION PUBLISHED FORMAT\n"; an empty version when none.
struct SeenRecord {
  std::string version;
  std::int64_t published = 0;
  int format = 1;
};
bool ParseSeenRecord(const std::string& text, SeenRecord& out);
std::string WriteSeenRecord(const SeenRecord& seen);

// The install's place in every rollout, 0 to release::kBuckets - 1: drawn
// once from the system's generator and kept in the client root, where the
// user may change it (it decides when a release is offered, never what).
std::uint32_t InstallBucket();
// The bucket as kept: its decimal and a line break.
bool ParseBucket(const std::string& text, std::uint32_t& bucket);

// Called as bytes arrive, once before the first, and four times a second
// while a web server keeps the fetch waiting; false asks to stop.
using FetchProgress = bool (*)(std::uint64_t done, std::uint64_t total, void* context);

// Copies each changed file from the release into the staging folder, hashing
// as it copies; a file is staged only when its size and SHA-256 are the
// manifest's. A compressed file or delta is verified whole before a byte of
// it is decoded; a delta that is refused, or does not make the file, gives
// way to the compressed whole in the same fetch. Progress counts the bytes
// fetched. A file already staged with them is not fetched again. On a
// failure the file's partial copy and any unverified copy under its name
// are removed, files verified before it stay, and `file` is the position in
// `changed` of the file that failed. Synchronous: run it on a worker thread.
// FailedBusy, nothing touched, while another fetch or apply works in the
// staging folder, in this process or another.
LaunchCode FetchRelease(const CheckedRelease& release, FetchProgress progress = nullptr,
                        void* context = nullptr, std::size_t* file = nullptr);

// Checks that every changed file stands staged as the manifest says, stages
// the manifest and its signatures (kRecordManifestName, kRecordSignaturesName)
// for an updater that checks them, then starts the updater for the changed
// files (StartUpdater). False when a file is not (its
// code and position in `refusal`), the line is refused, another fetch or
// apply works in the staging folder (FailedBusy), or the start fails or is
// declined (code LaunchOk). The folder stays held until the updater started.
bool ApplyRelease(const CheckedRelease& release, LaunchRefusal* refusal = nullptr);
