// Where the client stages files and keeps its cache, as the updater looks
// for them. These ask Windows, through the platform seam, where the user's
// roaming folder is; the rest of the contract makes no Windows call.
#pragma once

#include "platform/types.h"

// The staging folder within the client root; the client stages files there.
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

// Creates the folder unless a folder of that name exists; failures go unnoticed.
void EnsureFolder(const WideString& path);
