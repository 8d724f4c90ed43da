#include "update/update.h"

#include <utility>
#include <vector>

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

}  // namespace

UpdateOutcome InstallStagedFiles(const FileList& names) {
  // The staging folder is made and resolved once: the user's folders are
  // asked where they are once per run.
  WideString staging, realRoot;
  if (!GetStagingDir(staging) || !GetRealClientRoot(realRoot)) return OutcomeFailed;
  const WideString realStaging = StagingDirOf(realRoot);
  std::vector<TargetFolder> folders;
  // In list order, stopping at the first failure; what was moved stays moved.
  for (const WideString& name : names) {
    const WideString target = TargetPath(name);
    WideString realFolder;
    if (!GetRealTargetFolder(folders, FolderOfTarget(target), names, realFolder) ||
        !MoveStagedFile(staging + u"\\" + name, target, ResolvedPath(realStaging, name),
                        realFolder)) {
      return OutcomeFailed;
    }
  }
  return OutcomeUpdated;
}

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
  return InstallStagedFiles(names);
}
