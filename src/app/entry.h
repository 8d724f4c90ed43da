// The program's one pass: COM around the run, then the outcome shown to the user.
#pragma once

#include "update/update.h"

// Starts the client from the working directory; true when the shell accepted.
bool LaunchClient();

// Opens the product's download page in the user's browser.
void OpenDownloadPage();

// At most one message box for `outcome`, then the client or the download page.
void ShowOutcome(UpdateOutcome outcome);

// Everything wWinMain does, with the keys and product the build embedded
// (empty keys: unkeyed); returns the process exit code, always 0.
int RunProgram(const char* releaseKeys = "", const char* product = "");
