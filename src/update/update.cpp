#include "update/update.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "cmdline/cmdline.h"
#include "cmdline/locations.h"
#include "contract/limits.h"
#include "platform/platform.h"
#include "sysops/sysops.h"

namespace {

// Where the client root really is: the user may have moved it with a link,
// which is followed here, once per run, and nowhere below it.
bool GetRealClientRoot(WideString& real) {
  WideString root;
  return GetClientRoot(root) && GetFinalFolderPath(root, real);
}

// A target folder with its final path: the install folder is the
// administrators', so it is resolved once per run, and swept then.
using TargetFolder = std::pair<WideString, WideString>;

bool GetRealTargetFolder(std::vector<TargetFolder>& known, const WideString& folder,
                         const FileList& names, WideString& real) {
  for (const TargetFolder& f : known) {
    if (f.first == folder) {
      real = f.second;
      return true;
    }
  }
  if (!GetFinalFolderPath(folder, real)) return false;
  RemovePartialCopies(real, names);
  known.emplace_back(folder, real);
  return true;
}

// A release before any: what a fresh install without a record is.
constexpr char kNoRelease[] = "0";

// <0, 0, >0 as Windows compares names: letter case ignored, "/" as "\".
int CompareNames(const WideString& a, const WideString& b) {
  const WideString x = WithBackslashes(a), y = WithBackslashes(b);
  return platform::CompareStringOrdinal(x.c_str(), static_cast<std::int32_t>(x.size()), y.c_str(),
                                        static_cast<std::int32_t>(y.size()), platform::kTrue) -
         platform::kCstrEqual;
}

// The staged release, read once: what was verified is what is checked and kept.
struct StagedRelease {
  std::string manifestBytes;
  std::string signatureBytes;
  release::Manifest manifest;
};

// The version recorded in the install folder; kNoRelease when none is.
// False for a record that cannot be read: its version is unknown.
bool InstalledVersion(std::string& version) {
  std::string bytes;
  bool missing = false;
  release::Manifest recorded;
  if (ReadInstalledFile(TargetPath(kRecordManifestName), release::kMaxManifestBytes, bytes,
                        missing)) {
    if (release::ParseManifest(bytes, recorded) != LaunchOk) return false;
    version = recorded.version;
    return true;
  }
  if (!missing) return false;
  version = kNoRelease;
  return true;
}

// The manifest entry of each name, in list order: every name must be listed.
bool FindEntries(const release::Manifest& m, const FileList& names,
                 std::vector<const release::File*>& entries) {
  std::vector<const release::File*> sorted;
  for (const release::File& f : m.files) sorted.push_back(&f);
  std::sort(sorted.begin(), sorted.end(), [](const release::File* a, const release::File* b) {
    return CompareNames(a->name, b->name) < 0;
  });
  entries.clear();
  for (const WideString& name : names) {
    const auto at = std::lower_bound(
        sorted.begin(), sorted.end(), name,
        [](const release::File* f, const WideString& n) { return CompareNames(f->name, n) < 0; });
    if (at == sorted.end() || CompareNames((*at)->name, name) != 0) return false;
    entries.push_back(*at);
  }
  return true;
}

// Before anything is installed: the staged release is signed by a key of
// `trust`, well formed, for its product, not expired, newer than the
// installed one, and lists every name.
bool CheckStagedRelease(const ReleaseTrust& trust, const WideString& staging,
                        const WideString& realStaging, const FileList& names,
                        StagedRelease& staged, std::vector<const release::File*>& entries) {
  release::Signatures signatures;
  std::string installed;
  return ReadStagedFile(staging + u"\\" + kRecordManifestName,
                        ResolvedPath(realStaging, kRecordManifestName),
                        release::kMaxManifestBytes, staged.manifestBytes) &&
         ReadStagedFile(staging + u"\\" + kRecordSignaturesName,
                        ResolvedPath(realStaging, kRecordSignaturesName),
                        release::kMaxSignatures * sizeof(release::Signature),
                        staged.signatureBytes) &&
         release::ParseSignatures(staged.signatureBytes, signatures) &&
         release::VerifyAny(staged.manifestBytes, signatures, trust.keys) == LaunchOk &&
         release::ParseManifest(staged.manifestBytes, staged.manifest) == LaunchOk &&
         InstalledVersion(installed) &&
         release::CheckRules(staged.manifest, trust.product, staged.manifest.channel, installed,
                             release::NowSeconds()) == LaunchOk &&
         FindEntries(staged.manifest, names, entries);
}

// The installed release, kept where only administrators write; the
// manifest last, as the downgrade check reads it alone.
bool KeepRecord(const StagedRelease& staged, std::vector<TargetFolder>& folders,
                const FileList& names) {
  const WideString manifest = TargetPath(kRecordManifestName);
  const WideString signatures = TargetPath(kRecordSignaturesName);
  WideString realFolder;
  return GetRealTargetFolder(folders, FolderOfTarget(manifest), names, realFolder) &&
         ReplaceFileWith(staged.signatureBytes, signatures, realFolder) &&
         ReplaceFileWith(staged.manifestBytes, manifest, realFolder);
}

}  // namespace

bool TrustFrom(const char* keys, const char* product, ReleaseTrust& trust) {
  if (!keys || !*keys) return false;
  trust = {};
  if (!release::ParsePublicKeys(keys, trust.keys)) trust.keys.clear();
  trust.product = product ? product : "";
  return true;
}

UpdateOutcome InstallStagedFiles(const FileList& names, const ReleaseTrust* trust) {
  // The staging folder is made and resolved once: the user's folders are
  // asked where they are once per run.
  WideString staging, realRoot;
  if (!GetStagingDir(staging) || !GetRealClientRoot(realRoot)) return OutcomeFailed;
  const WideString realStaging = StagingDirOf(realRoot);
  StagedRelease staged;
  std::vector<const release::File*> entries;
  if (trust && !CheckStagedRelease(*trust, staging, realStaging, names, staged, entries)) {
    return OutcomeFailed;
  }
  const release::HashProvider* provider = nullptr;
  std::optional<release::HashProvider> cng;
  if (trust) provider = &cng.emplace();
  std::vector<TargetFolder> folders;
  // In list order, stopping at the first failure; what was moved stays moved.
  for (std::size_t i = 0; i < names.size(); ++i) {
    const WideString& name = names[i];
    const WideString target = TargetPath(name);
    WideString realFolder;
    ExpectedContent expected;
    if (trust) expected = {entries[i]->size, entries[i]->sha256, provider};
    if (!GetRealTargetFolder(folders, FolderOfTarget(target), names, realFolder) ||
        !MoveStagedFile(staging + u"\\" + name, target, ResolvedPath(realStaging, name),
                        realFolder, trust ? &expected : nullptr)) {
      return OutcomeFailed;
    }
  }
  if (trust) {
    // A failed record fails the update: the check would trust an older one.
    if (!KeepRecord(staged, folders, names)) return OutcomeFailed;
    for (const char16_t* name : {kRecordManifestName, kRecordSignaturesName}) {
      DeleteStagedFile(staging + u"\\" + name, ResolvedPath(realStaging, name));
    }
  }
  return OutcomeUpdated;
}

UpdateOutcome RunUpdate(const ReleaseTrust* trust) {
  // The client goes first, whatever the command line turns out to ask.
  EnableDebugPrivilege();
  TerminateClientProcesses(kClientImageName);

  if (HasCleanCacheOption()) {
    WideString realRoot;
    if (GetRealClientRoot(realRoot)) DeleteFilesInDir(GetCacheDir(), CacheDirOf(realRoot));
    return OutcomeCacheCleared;
  }

  FileList names;
  if (!ParseFileList(names)) return OutcomeFailed;
  return InstallStagedFiles(names, trust);
}
