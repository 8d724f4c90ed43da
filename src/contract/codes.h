// The codes the client library reports and the publish command prints, and
// their English texts. The values are fixed: clients log and compare them,
// and the C interface gives the same values under KL_ names.
#pragma once

#include "platform/types.h"

// Why a name or a list was refused, or staging failed. The values are fixed:
// clients log and compare them.
enum LaunchCode : std::int32_t {
  LaunchOk = 0,
  RefusedEmptyList = 1,           // no names at all
  RefusedEmptyName = 2,           // an empty name
  RefusedDuplicateName = 3,       // one file with an earlier name, as Windows compares
  RefusedBar = 4,                 // "|" separates the names
  RefusedLeavesFolder = 5,        // ":" or a ".." segment
  RefusedCleanCacheOption = 6,    // "--cleanCache": the update would clear the cache
  RefusedMisplacedSeparator = 7,  // "\" or "/" at either end, or an empty segment
  RefusedForbiddenCharacter = 8,  // < > " * ? or a control character
  RefusedBlankOrDot = 9,          // a segment's blank at either end, or dot at its end
  RefusedDeviceName = 10,         // CON, PRN, AUX, NUL, COM0-9, LPT0-9, COM/LPT ¹ ² ³
  RefusedShortName = 11,          // the form of an 8.3 alias, with a "~"
  RefusedPathTooLong = 12,        // the staged or installed path reaches MAX_PATH
  RefusedFolderTooLong = 13,      // a folder path reaches 248 code units
  RefusedMissingFolder = 14,      // the name's folder is missing beside the updater
  RefusedNameIsFolder = 15,       // a folder beside the updater or of another name
  RefusedUpdaterItself = 16,      // a running exe cannot be replaced
  RefusedLineTooLong = 17,        // the line would exceed 32,766 code units
  RefusedUpdaterPath = 18,        // not a full path under MAX_PATH, \\?\ or \\.\, ends with "\",
                                  // or holds " / a control character or an option
  FailedNoClientRoot = 19,        // the client root cannot be formed
  FailedSourceMissing = 20,       // StageFile: the source is missing or a folder
  FailedCopy = 21,                // StageFile: the copy failed
  FailedRename = 22,              // StageFile: the copy could not take the name
  // Releases (release.h). Nothing is staged after any of these.
  UpToDate = 23,                 // not an error: the install already matches the release
  RefusedSignature = 24,         // the signature is missing, bad, or by another key
  RefusedProduct = 25,           // another product's or another channel's release
  RefusedRollback = 26,          // older than the installed version
  RefusedExpired = 27,           // the release is past its expiry
  RefusedMalformed = 28,         // the signed manifest is not in the exact format
  RefusedManifestTooLarge = 29,  // the manifest is over its bound
  RefusedPublicKey = 30,         // the client's embedded key is not a P-256 public key
  RefusedVersionText = 31,       // the installed version given is not dotted numbers
  FailedReadSource = 32,         // the manifest or a file cannot be read from the source
  RefusedFileSize = 33,          // a file is longer or shorter than the manifest says
  RefusedFileHash = 34,          // a file's SHA-256 is not the manifest's
  FailedStageWrite = 35,         // the staged copy could not be written or named
  Stopped = 36,                  // the progress callback asked to stop
  FailedCrypto = 37,             // Windows' SHA-256 or ECDSA is not available
  // Releases over the web.
  FailedHttpStatus = 38,  // the server answered with another status than 200
  FailedConnect = 39,     // the name did not resolve, or no connection could be made
  FailedTimeout = 40,     // the server did not answer in time
  FailedTls = 41,         // the TLS handshake failed or the certificate is not trusted
  RefusedAddress = 42,    // the source is neither a folder nor an http(s) address of one
  RefusedRedirect = 43,   // redirected from https to http, or a redirect not followed
  FailedSlow = 44,        // the transfer stayed under its minimum rate over a window
  FailedBusy = 45,        // another staging, fetch or apply works in the staging folder
  RefusedWindow = 46,     // a compressed file asks more memory of its decoder than allowed
  RefusedReplay = 47,     // an older manifest than one this install already saw
};
constexpr LaunchCode kLastLaunchCode = RefusedReplay;

// What `code` means, in English; null for no such LaunchCode.
const char16_t* CodeText(std::int32_t code);

// The index in the list of the name that a refusal is about.
constexpr std::size_t kNoName = static_cast<std::size_t>(-1);

struct LaunchRefusal {
  LaunchCode code = LaunchOk;
  std::size_t name = kNoName;  // kNoName when it is about the list or the updater path
};
