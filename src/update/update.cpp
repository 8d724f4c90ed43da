#include "update/update.h"

#include "cmdline/cmdline.h"
#include "cmdline/locations.h"
#include "sysops/sysops.h"

UpdateOutcome RunUpdate() {
  // The client goes first, whatever the command line turns out to ask.
  EnableDebugPrivilege();
  TerminateClientProcesses(kClientImageName);

  if (HasCleanCacheOption()) {
    DeleteFilesInDir(GetCacheDir());
    return OutcomeCacheCleared;
  }

  FileList names;
  if (!ParseFileList(names)) return OutcomeFailed;
  // In list order, stopping at the first failure; what was moved stays moved.
  for (const WideString& name : names) {
    const WideString target = TargetPath(name);
    const WideString staged = StagedPath(name);
    if (!MoveStagedFile(staged, target)) return OutcomeFailed;
  }
  return OutcomeUpdated;
}
