// Every folder and file path the run touches. Paths are plain concatenations;
// nothing is normalised or remembered, every call asks the system again.
#pragma once

#include "contract/folders.h"

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
