// What each code means, for the client developer's log and the publish
// command's messages.
#include "contract/codes.h"

namespace {

struct Entry {
  LaunchCode code;
  const char16_t* text;
};

constexpr Entry kCodeTexts[] = {
    {LaunchOk, u"done"},
    {RefusedEmptyList, u"the list holds no names"},
    {RefusedEmptyName, u"a name is empty"},
    {RefusedDuplicateName,
     u"a name names the same file as an earlier one, letter case compared as Windows compares it"},
    {RefusedBar, u"a name holds \"|\", which separates the names"},
    {RefusedLeavesFolder,
     u"a name holds \":\" or a \"..\" segment and would leave its folder"},
    {RefusedCleanCacheOption,
     u"a name holds \"--cleanCache\", which would turn the update into cache clearing"},
    {RefusedMisplacedSeparator,
     u"a name has \"\\\" or \"/\" at either end, or an empty segment"},
    {RefusedForbiddenCharacter, u"a name holds < > \" * ? or a control character"},
    {RefusedBlankOrDot,
     u"a segment of a name begins or ends with a blank, or ends with a dot, which Windows drops"},
    {RefusedDeviceName,
     u"a segment of a name is a device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9...)"},
    {RefusedShortName,
     u"a segment of a name has the form of an 8.3 short name with a \"~\" and may name another "
     u"file"},
    {RefusedPathTooLong, u"the staged or installed path of a name reaches 260 code units"},
    {RefusedFolderTooLong, u"a folder of a name reaches 248 code units"},
    {RefusedMissingFolder, u"a folder of a name does not exist beside the updater"},
    {RefusedNameIsFolder,
     u"a name is a folder beside the updater, or a folder of another name in the list"},
    {RefusedUpdaterItself, u"a name is the updater's own file, which cannot be replaced"},
    {RefusedLineTooLong, u"the command line would reach 32,767 code units"},
    {RefusedUpdaterPath,
     u"the updater path is not a full path under 260 code units, begins \\\\?\\ or \\\\.\\, "
     u"ends with \"\\\", or holds \" / "
     u"a control character or an option"},
    {FailedNoClientRoot, u"the client's folder in the roaming profile cannot be formed"},
    {FailedSourceMissing, u"the source file is missing or a folder"},
    {FailedCopy, u"the copy into the staging folder failed"},
    {FailedRename, u"the staged copy could not take its name"},
    {UpToDate, u"the install already matches the release; nothing to fetch"},
    {RefusedSignature, u"the release's signature is missing, bad, or made by another key"},
    {RefusedProduct, u"the release is another product's or another channel's"},
    {RefusedRollback, u"the release is older than the installed version"},
    {RefusedExpired, u"the release is past its expiry; the publisher must publish again"},
    {RefusedMalformed, u"the signed manifest is not in the release format"},
    {RefusedManifestTooLarge, u"the manifest is over its size bound"},
    {RefusedPublicKey, u"the public key given is not a P-256 key as keygen prints it"},
    {RefusedVersionText, u"the installed version given is not dotted numbers"},
    {FailedReadSource, u"the manifest or a file could not be read from the release source"},
    {RefusedFileSize, u"a file is longer or shorter than the manifest says"},
    {RefusedFileHash, u"a file's SHA-256 is not the one the manifest gives"},
    {FailedStageWrite, u"a fetched file could not be written to the staging folder"},
    {Stopped, u"the progress callback asked to stop; what was verified stays staged"},
    {FailedCrypto, u"Windows' SHA-256 or ECDSA (CNG) is not available"},
    {FailedHttpStatus, u"the web server answered with another status than 200 OK"},
    {FailedConnect, u"the server's name did not resolve, or no connection could be made"},
    {FailedTimeout, u"the server did not answer in time"},
    {FailedTls, u"the TLS handshake failed, or Windows does not trust the certificate"},
    {RefusedAddress,
     u"the release source is neither a folder nor an http:// or https:// address"},
    {RefusedRedirect, u"the server redirected from https to http, or the redirect failed"},
    {FailedSlow, u"the transfer stayed under its minimum rate for a whole window"},
    {FailedBusy,
     u"another staging, fetch or apply, in this process or another instance, works in the "
     u"staging folder; try again when it is done"},
    {RefusedWindow,
     u"a compressed file or delta asks its decoder for a window past 128 MiB; nothing of it is "
     u"staged"},
    {RefusedReplay,
     u"the release folder serves an older manifest than one this install already saw, as a "
     u"replayed one would be"},
};

// One text for every code, in the order of the values.
constexpr bool CoversEveryCode() {
  std::size_t i = 0;
  for (const Entry& entry : kCodeTexts) {
    if (entry.code != static_cast<std::int32_t>(i++)) return false;
  }
  return i == kLastLaunchCode + 1u;
}
static_assert(CoversEveryCode(), "a code without its text");

}  // namespace

const char16_t* CodeText(std::int32_t code) {
  if (code < 0 || code > kLastLaunchCode) return nullptr;
  return kCodeTexts[code].text;
}
