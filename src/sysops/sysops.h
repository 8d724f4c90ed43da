// The work done on the operating system: ending the client's processes,
// installing staged files and clearing the cache. All of it is silent.
#pragma once

#include <vector>

#include "platform/types.h"
#include "release/verify.h"

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

// Where the folder `path` really is, links followed: the final path of a
// handle to it ("\\?\C:\..."). False, `real` untouched, when it cannot be opened.
bool GetFinalFolderPath(const WideString& path, WideString& real);

// Installs `staged` at `target` through one handle to the staged file, then
// removes the staged copy. That file must really be `real` (its final path,
// letter case ignored), and be neither a folder nor a link nor a file with a
// second name; otherwise false and nothing is touched. The content goes to a
// partial copy beside the target, in `realFolder` (the final path of the
// target's folder, from GetFinalFolderPath), is flushed, and is renamed over
// the target in one step, so the target holds its old content or the new,
// never part; a read-only target is refused. True when the staged content now stands at
// `target`, whether or not the staged copy went; on false the target and the
// staged copy are as they were, and the partial copy is gone.
// With `expected`, the bytes written to the partial copy are hashed as they
// are written, and it is renamed into place only when they are exactly that
// size and SHA-256: nothing that changes the staged file meanwhile reaches the
// target.
struct ExpectedContent {
  std::uint64_t size = 0;
  release::Digest sha256{};
  const release::HashProvider* provider = nullptr;
};
bool MoveStagedFile(const WideString& staged, const WideString& target, const WideString& real,
                    const WideString& realFolder, const ExpectedContent* expected = nullptr);

// The whole of the staged file `staged`, at most `bound` bytes, read through
// one handle that passes MoveStagedFile's checks (`real` its final path).
bool ReadStagedFile(const WideString& staged, const WideString& real, std::size_t bound,
                    std::string& bytes);

// Deletes the staged file through one handle that passes the same checks.
void DeleteStagedFile(const WideString& staged, const WideString& real);

// The whole of the installed file at `path`, at most `bound` bytes; a link
// there is not followed. False with `missing` when there is no such entry.
bool ReadInstalledFile(const WideString& path, std::size_t bound, std::string& bytes,
                       bool& missing);

// `bytes` become the file at `target` by the same whole-file replace as
// MoveStagedFile: the old content or the new, never part.
bool ReplaceFileWith(const std::string& bytes, const WideString& target,
                     const WideString& realFolder);

// The folder a target's file stands in: `target` up to its last separator.
WideString FolderOfTarget(const WideString& target);

// Deletes the partial copies a stopped run left directly in the folder whose
// final path is `realFolder`, except any whose name is the last segment of a
// name in `keep`.
void RemovePartialCopies(const WideString& realFolder, const FileList& keep);

// Deletes the files directly in `folder` (which ends in "\"), provided the
// folder really is `realFolder` (a final path ending in "\"). Each entry is
// opened below the folder's handle and deleted through its own, unless it is
// a folder, a link, a file with a second name or read-only. An empty
// `folder` names no folder and deletes nothing.
void DeleteFilesInDir(const WideString& folder, const WideString& realFolder);
