#include "update/update.h"

#include "cmdline/cmdline.h"
#include "cmdline/locations.h"
#include "sysops/sysops.h"

namespace {

// Where the client root really is: the user may have moved it with a link,
// which is followed here, once per run, and nowhere below it.
bool GetRealClientRoot(WideString& real) {
  WideString root;
  return GetClientRoot(root) && GetFinalFolderPath(root, real);
}

}  // namespace

UpdateOutcome RunUpdate() {
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
  // In list order, stopping at the first failure; what was moved stays moved.
  WideString realStaging;
  for (const WideString& name : names) {
    const WideString target = TargetPath(name);
    const WideString staged = StagedPath(name);
    // After the first StagedPath, which creates the folders.
    if (realStaging.empty()) {
      WideString realRoot;
      if (!GetRealClientRoot(realRoot)) return OutcomeFailed;
      realStaging = StagingDirOf(realRoot);
    }
    if (!MoveStagedFile(staged, target, ResolvedPath(realStaging, name))) return OutcomeFailed;
  }
  return OutcomeUpdated;
}
