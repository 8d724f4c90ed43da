// What each code means, for the client developer's log and the publish
// command's messages.
#include "launch/client_launch.h"
#include "launch/launch.h"

namespace {

struct Entry {
  kl_code code;
  const char16_t* text;
};

constexpr Entry kCodeTexts[] = {
    {KL_OK, u"done"},
    {KL_REFUSED_EMPTY_LIST, u"the list holds no names"},
    {KL_REFUSED_EMPTY_NAME, u"a name is empty"},
    {KL_REFUSED_DUPLICATE_NAME,
     u"a name names the same file as an earlier one, letter case compared as Windows compares it"},
    {KL_REFUSED_BAR, u"a name holds \"|\", which separates the names"},
    {KL_REFUSED_LEAVES_FOLDER,
     u"a name holds \":\" or a \"..\" segment and would leave its folder"},
    {KL_REFUSED_CLEAN_CACHE_OPTION,
     u"a name holds \"--cleanCache\", which would turn the update into cache clearing"},
    {KL_REFUSED_MISPLACED_SEPARATOR,
     u"a name has \"\\\" or \"/\" at either end, or an empty segment"},
    {KL_REFUSED_FORBIDDEN_CHARACTER, u"a name holds < > \" * ? or a control character"},
    {KL_REFUSED_BLANK_OR_DOT,
     u"a segment of a name begins or ends with a blank, or ends with a dot, which Windows drops"},
    {KL_REFUSED_DEVICE_NAME,
     u"a segment of a name is a device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9...)"},
    {KL_REFUSED_SHORT_NAME,
     u"a segment of a name has the form of an 8.3 short name with a \"~\" and may name another "
     u"file"},
    {KL_REFUSED_PATH_TOO_LONG, u"the staged or installed path of a name reaches 260 code units"},
    {KL_REFUSED_FOLDER_TOO_LONG, u"a folder of a name reaches 248 code units"},
    {KL_REFUSED_MISSING_FOLDER, u"a folder of a name does not exist beside the updater"},
    {KL_REFUSED_NAME_IS_FOLDER,
     u"a name is a folder beside the updater, or a folder of another name in the list"},
    {KL_REFUSED_UPDATER_ITSELF, u"a name is the updater's own file, which cannot be replaced"},
    {KL_REFUSED_LINE_TOO_LONG, u"the command line would reach 32,767 code units"},
    {KL_REFUSED_UPDATER_PATH,
     u"the updater path is not a full path under 260 code units, begins \\\\?\\ or \\\\.\\, "
     u"ends with \"\\\", or holds \" / "
     u"a control character or an option"},
    {KL_FAILED_NO_CLIENT_ROOT, u"the client's folder in the roaming profile cannot be formed"},
    {KL_FAILED_SOURCE_MISSING, u"the source file is missing or a folder"},
    {KL_FAILED_COPY, u"the copy into the staging folder failed"},
    {KL_FAILED_RENAME, u"the staged copy could not take its name"},
    {KL_UP_TO_DATE, u"the install already matches the release; nothing to fetch"},
    {KL_REFUSED_SIGNATURE, u"the release's signature is missing, bad, or made by another key"},
    {KL_REFUSED_PRODUCT, u"the release is another product's or another channel's"},
    {KL_REFUSED_ROLLBACK, u"the release is older than the installed version"},
    {KL_REFUSED_EXPIRED, u"the release is past its expiry; the publisher must publish again"},
    {KL_REFUSED_MALFORMED, u"the signed manifest is not in the release format"},
    {KL_REFUSED_MANIFEST_TOO_LARGE, u"the manifest is over its size bound"},
    {KL_REFUSED_PUBLIC_KEY, u"the public key given is not a P-256 key as keygen prints it"},
    {KL_REFUSED_VERSION_TEXT, u"the installed version given is not dotted numbers"},
    {KL_FAILED_READ_SOURCE, u"the manifest or a file could not be read from the release source"},
    {KL_REFUSED_FILE_SIZE, u"a file is longer or shorter than the manifest says"},
    {KL_REFUSED_FILE_HASH, u"a file's SHA-256 is not the one the manifest gives"},
    {KL_FAILED_STAGE_WRITE, u"a fetched file could not be written to the staging folder"},
    {KL_STOPPED, u"the progress callback asked to stop; what was verified stays staged"},
    {KL_FAILED_CRYPTO, u"Windows' SHA-256 or ECDSA (CNG) is not available"},
    {KL_FAILED_HTTP_STATUS, u"the web server answered with another status than 200 OK"},
    {KL_FAILED_CONNECT, u"the server's name did not resolve, or no connection could be made"},
    {KL_FAILED_TIMEOUT, u"the server did not answer in time"},
    {KL_FAILED_TLS, u"the TLS handshake failed, or Windows does not trust the certificate"},
    {KL_REFUSED_ADDRESS,
     u"the release source is neither a folder nor an http:// or https:// address"},
    {KL_REFUSED_REDIRECT, u"the server redirected from https to http, or the redirect failed"},
    {KL_FAILED_SLOW, u"the transfer stayed under its minimum rate for a whole window"},
    {KL_FAILED_BUSY,
     u"another fetch or apply, in this process or another instance, works in the staging "
     u"folder; try again when it is done"},
    {KL_NULL_ARGUMENT, u"a pointer that must be given is null"},
    {KL_BUFFER_TOO_SMALL, u"the buffer is too small; nothing was written"},
    {KL_START_FAILED, u"the user declined elevation, or the updater could not be started"},
    {KL_UNKNOWN_CODE, u"no such code"},
    {KL_NO_SUCH_FILE, u"the index is past the release's last changed file"},
};

}  // namespace

const char16_t* CodeText(std::int32_t code) {
  for (const Entry& entry : kCodeTexts) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}
