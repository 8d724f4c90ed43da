// Which names the updater takes, as the client stages them and the publish
// command lists them. No Windows call: the publisher on Linux applies the
// very same rules.
#pragma once

#include "contract/codes.h"

// "\" or "/": Windows takes either between the segments of a path.
bool IsPathSeparator(char16_t c);

// Either separator read as "\", as Windows reads it.
WideString WithBackslashes(WideString text);

// A name may not climb out of its folder: no ".." segment and no ":". The
// updater refuses a whole list that holds one.
bool IsSafeFileName(const WideString& name);

// LaunchOk when `name` can be staged and installed as it stands, else the
// first of its refusals in the order of the codes: non-empty; no "|", ":",
// ".." or "--cleanCache"; none of < > " * ? or control characters; "\" or "/"
// only between segments; no segment empty, beginning or ending with a blank,
// ending with a dot, a device name (CON, NUL, COM1, LPT0...) or of the form of
// an 8.3 alias with a "~" (KELVOC~1.EXE).
LaunchCode CheckStageableName(const WideString& name);
bool IsStageableName(const WideString& name);

