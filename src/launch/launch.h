// The client's side of the updater's contract, for the client to link (never
// the updater). The updater installs each staged file from
// %APPDATA%\KelvoClient\UPDATE_TEMP\NAME over NAME in its own folder, reads its
// whole job from the raw command line, and starts the client from its working
// directory. These functions stage files there, build a line that the updater
// reads exactly as meant, and start it with the right working directory.
#pragma once

#include "contract/codes.h"
#include "contract/names.h"

// Copies `source` to the staging folder as `name`, creating the client root,
// the staging folder and the name's subfolders. The name never holds a partial
// file: false on any failure, and then nothing stands under the name. `why`,
// when given, receives LaunchOk or the reason; FailedBusy while a fetch or an
// apply works in the staging folder.
bool StageFile(const WideString& source, const WideString& name, LaunchCode* why = nullptr);

// `line` = "\"UPDATER\" --files " + names joined by "|". False, `line`
// untouched, when the updater would misread or fail on the list; `refusal`,
// when given, then says why and which name (the first refused, in list
// order). Besides the name rules above: an empty list; a name that names the
// same file as an earlier one (letter case compared as Windows does), a folder
// of another name, a folder beside the updater or the updater itself; a staged
// or installed path that reaches MAX_PATH, or a folder path 248 code units; a
// folder missing beside the updater; an updater path that is not a full path
// or holds an option; a line over the Windows limit of 32,767 code units with
// its terminator.
bool BuildUpdateCommandLine(const WideString& updater, const FileList& names, WideString& line,
                            LaunchRefusal* refusal = nullptr);

// `line` = "\"UPDATER\" --cleanCache"; false, `line` untouched, as above.
bool BuildCleanCacheCommandLine(const WideString& updater, WideString& line,
                                LaunchRefusal* refusal = nullptr);

// Starts the updater with a line built above, its folder as working directory
// (the updater starts the client from there). The user is asked for consent to
// elevate. False when the user declines or the start fails; nothing changed.
bool StartUpdater(const WideString& line);
