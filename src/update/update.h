// The run: end the client, then clear its cache or install the staged files.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"
#include "release/format.h"

enum UpdateOutcome {
  OutcomeFailed = 0,
  OutcomeUpdated = 1,
  OutcomeCacheCleared = 2,
};

// The client's image name: the process that is ended and the file that is started.
constexpr char16_t kClientImageName[] = u"KelvoClient.exe";

// The vendor's public keys and product, built into a keyed updater. It then
// installs only what a release signed by one of the keys vouches for: the
// manifest and signatures staged beside the files (kRecordManifestName,
// kRecordSignaturesName), for this product, not expired, newer than the
// release recorded in the install folder, listing every name, and each file
// exactly as listed. After a complete update it records that release there.
struct ReleaseTrust {
  std::vector<release::PublicKey> keys;
  std::string product;
};

// The trust of a build: `keys` as UPDATER_RELEASE_KEYS holds them (key texts
// apart by white space), none for an unkeyed build (false). A text that holds
// no valid key gives a trust no release meets.
bool TrustFrom(const char* keys, const char* product, ReleaseTrust& trust);

// Installs the staged files of `names` in list order, stopping at the first
// failure: OutcomeUpdated when every one was installed, else OutcomeFailed.
// With `trust`, nothing is installed unless the staged release holds.
UpdateOutcome InstallStagedFiles(const FileList& names, const ReleaseTrust* trust = nullptr);

// Reads the command line, does the one job, shows nothing.
UpdateOutcome RunUpdate(const ReleaseTrust* trust = nullptr);
