// The run: end the client, then clear its cache or install the staged files.
#pragma once

#include "platform/types.h"

enum UpdateOutcome {
  OutcomeFailed = 0,
  OutcomeUpdated = 1,
  OutcomeCacheCleared = 2,
};

// The client's image name: the process that is ended and the file that is started.
constexpr char16_t kClientImageName[] = u"KelvoClient.exe";

// Installs the staged files of `names` in list order, stopping at the first
// failure: OutcomeUpdated when every one was installed, else OutcomeFailed.
UpdateOutcome InstallStagedFiles(const FileList& names);

// Reads the command line, does the one job, shows nothing.
UpdateOutcome RunUpdate();
