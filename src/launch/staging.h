// The staging folder as the launch library writes it: one lock, one
// partial-copy name and one rename into place, for StageFile and for
// fetching alike.
#pragma once

#include <string>

#include "contract/codes.h"

// Held while StageFile, a fetch or an apply works in the staging folder, so
// that another one (on another thread, or in another instance of the
// client) is told so instead of replacing or removing what this one wrote or
// verified. Windows removes the file with its last handle, also a crashed
// process's.
class StagingLock {
 public:
  explicit StagingLock(const WideString& staging);
  ~StagingLock();
  StagingLock(const StagingLock&) = delete;
  StagingLock& operator=(const StagingLock&) = delete;
  // LaunchOk while held; FailedBusy when another holds it; FailedStageWrite.
  LaunchCode Code() const { return code_; }

 private:
  platform::Handle h_;
  LaunchCode code_ = LaunchOk;
};

// The name a staged file is written under before it takes its own: a blank
// and "~" before its last segment. No stageable name begins with a blank.
WideString PartialPathOf(const WideString& staged);

// Renames the partial copy over `staged`, a read-only file there too.
bool TakeName(const WideString& partial, const WideString& staged);

// Gone whatever its attributes; the result does not matter.
void Discard(const WideString& path);

// A partial copy is continued only toward the content it was started for:
// `what` (the content's hash, the copy's length and the name) is kept in the
// staging folder for the one copy a later fetch may continue.
bool MarkPartial(const WideString& staging, const std::string& what);
bool IsPartialFor(const WideString& staging, const std::string& what);
// Once no partial copy is kept.
void ForgetPartial(const WideString& staging);

// Creates the folders that `name` holds below the staging folder.
void MakeSubfolders(const WideString& staging, const WideString& name);
