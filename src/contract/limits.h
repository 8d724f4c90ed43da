// The bounds and fixed names that the client, the updater and the publish
// command must agree on.
#pragma once

#include <cstddef>

// A path, terminator included (MAX_PATH).
constexpr std::size_t kMaxPath = 260;
// A folder: CreateDirectoryW keeps room for an 8.3 name within MAX_PATH.
constexpr std::size_t kMaxFolderPath = kMaxPath - 12;
// A command line, terminator included (CreateProcess's limit).
constexpr std::size_t kMaxCommandLine = 32767;

// The updater's own file, in the install folder beside the client.
constexpr char16_t kUpdaterFileName[] = u"updater.exe";

// A staged file is written under its name with this prefix first, then
// renamed. No stageable name begins with a blank, so none is clobbered.
constexpr char16_t kPartialPrefix[] = u" ~";
constexpr std::size_t kPartialPrefixLength = sizeof kPartialPrefix / sizeof(char16_t) - 1;

// The release that vouches for the staged files, as the client stages it and
// the updater keeps it in the install folder once installed: the manifest's
// exact bytes and its signatures. Names no release file can have.
constexpr char16_t kRecordManifestName[] = u" release.manifest";
constexpr char16_t kRecordSignaturesName[] = u" release.sigs";
