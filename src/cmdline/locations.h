// Every folder and file path the run touches. Paths are plain concatenations;
// nothing is normalised or remembered, every call asks the system again.
#pragma once

#include "platform/types.h"

// The staging folder within the client root; the client's launch library
// stages files there.
constexpr char16_t kStagingFolder[] = u"\\UPDATE_TEMP";

// Roaming application data + "\KelvoClient", or "D:\KelvoClient" when that
// folder cannot be obtained. False, `root` untouched, when the join overflows.
bool GetClientRoot(WideString& root);

// The staging folder, after creating the client root and it when missing.
// False, `dir` untouched and nothing created, when there is no client root.
bool GetStagingDir(WideString& dir);

// Client root + "\AppCache\Cache\"; empty when there is no client root.
// Creates nothing.
WideString GetCacheDir();

// The staging and cache folders below a given client root, as above.
WideString StagingDirOf(const WideString& root);
WideString CacheDirOf(const WideString& root);

// `folder` + "\" + `name` as Windows resolves the name: "/" and runs of
// separators read as one "\", "." segments dropped.
WideString ResolvedPath(const WideString& folder, const WideString& name);

// The folder of the program's own path on the command line, ending in "\".
bool GetProgramDir(WideString& dir);

WideString JoinPath(const WideString& folder, const char16_t* name);

// Staging folder + "\" + name; empty (naming no file) when there is no staging
// folder. Creates the client root and the staging folder when missing.
WideString StagedPath(const WideString& name);

// Program folder + "\" + name.
WideString TargetPath(const WideString& name);

// Creates the folder unless a folder of that name exists; failures go unnoticed.
void EnsureFolder(const WideString& path);
