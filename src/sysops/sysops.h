// The work done on the operating system: ending the client's processes,
// installing staged files and clearing the cache. All of it is silent.
#pragma once

#include <vector>

#include "platform/types.h"

// One entry per matching process, in snapshot order: an open handle, or
// kNullHandle for a process that refused to be opened. The caller closes
// every non-null handle exactly once.
using ProcessHandleList = std::vector<platform::Handle>;

// Switches on SeDebugPrivilege in the updater's own token; reports nothing.
void EnableDebugPrivilege();

// Opens every process whose image name equals `name` exactly (case-sensitive).
ProcessHandleList FindProcessesByName(const char16_t* name);

// Terminates every process named `name`, waiting up to 5 s after each
// successful termination, and closes every handle it got.
void TerminateClientProcesses(const char16_t* name);

// Copies `staged` over `target`, then removes the staged copy. True when the
// staged content now stands at `target`, whether or not the staged copy went.
bool MoveStagedFile(const WideString& staged, const WideString& target);

// Deletes the files directly in `folder` (which ends in "\"); keeps folders.
// An empty `folder` names no folder and deletes nothing.
void DeleteFilesInDir(const WideString& folder);
