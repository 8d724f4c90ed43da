// The client's side of the updater's contract, for the client to link (never
// the updater). The updater installs each staged file from
// %APPDATA%\KelvoClient\UPDATE_TEMP\NAME over NAME in its own folder, reads its
// whole job from the raw command line, and starts the client from its working
// directory. These functions stage files there, build a line that the updater
// reads exactly as meant, and start it with the right working directory.
#pragma once

#include "platform/types.h"

// True when `name` can be staged and installed as it stands: non-empty; no
// "|", ":", "..", "--files" or "--cleanCache"; none of < > " * ? or control
// characters; "\" or "/" only between segments; no segment empty, beginning or
// ending with a blank, ending with a dot, or a device name (CON, NUL, COM1...).
bool IsStageableName(const WideString& name);

// Copies `source` to the staging folder as `name`, creating the client root,
// the staging folder and the name's subfolders. The name never holds a partial
// file: false on any failure, and then nothing stands under the name.
bool StageFile(const WideString& source, const WideString& name);

// `line` = "\"UPDATER\" --files " + names joined by "|". False, `line`
// untouched, when the updater would misread or refuse the list: an empty list,
// a name that is not stageable or occurs twice, a name whose staged or
// installed path is too long or whose folder is missing beside the updater,
// an updater path that is not a full path or holds an option, or a line over
// the Windows limit of 32,767 code units with its terminator.
bool BuildUpdateCommandLine(const WideString& updater, const FileList& names, WideString& line);

// `line` = "\"UPDATER\" --cleanCache"; false, `line` untouched, as above.
bool BuildCleanCacheCommandLine(const WideString& updater, WideString& line);

// Starts the updater with a line built above, its folder as working directory
// (the updater starts the client from there). The user is asked for consent to
// elevate. False when the user declines or the start fails; nothing changed.
bool StartUpdater(const WideString& line);
