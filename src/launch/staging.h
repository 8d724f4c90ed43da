// What staging a file and fetching one share inside the launch library.
#pragma once

#include "platform/types.h"

// The name a staged file is written under before it takes its own: a blank
// and "~" before its last segment. No stageable name begins with a blank.
WideString PartialPathOf(const WideString& staged);

// Gone whatever its attributes; the result does not matter.
void Discard(const WideString& path);
