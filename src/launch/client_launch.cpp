#include "launch/client_launch.h"

#include "launch/launch.h"

// The C codes are the C++ ones.
static_assert(KL_OK == LaunchOk && KL_REFUSED_EMPTY_LIST == RefusedEmptyList &&
              KL_REFUSED_EMPTY_NAME == RefusedEmptyName &&
              KL_REFUSED_DUPLICATE_NAME == RefusedDuplicateName && KL_REFUSED_BAR == RefusedBar &&
              KL_REFUSED_LEAVES_FOLDER == RefusedLeavesFolder &&
              KL_REFUSED_CLEAN_CACHE_OPTION == RefusedCleanCacheOption &&
              KL_REFUSED_MISPLACED_SEPARATOR == RefusedMisplacedSeparator &&
              KL_REFUSED_FORBIDDEN_CHARACTER == RefusedForbiddenCharacter &&
              KL_REFUSED_BLANK_OR_DOT == RefusedBlankOrDot &&
              KL_REFUSED_DEVICE_NAME == RefusedDeviceName &&
              KL_REFUSED_SHORT_NAME == RefusedShortName &&
              KL_REFUSED_PATH_TOO_LONG == RefusedPathTooLong &&
              KL_REFUSED_FOLDER_TOO_LONG == RefusedFolderTooLong &&
              KL_REFUSED_MISSING_FOLDER == RefusedMissingFolder &&
              KL_REFUSED_NAME_IS_FOLDER == RefusedNameIsFolder &&
              KL_REFUSED_UPDATER_ITSELF == RefusedUpdaterItself &&
              KL_REFUSED_LINE_TOO_LONG == RefusedLineTooLong &&
              KL_REFUSED_UPDATER_PATH == RefusedUpdaterPath &&
              KL_FAILED_NO_CLIENT_ROOT == FailedNoClientRoot &&
              KL_FAILED_SOURCE_MISSING == FailedSourceMissing && KL_FAILED_COPY == FailedCopy &&
              KL_FAILED_RENAME == FailedRename);
static_assert(sizeof(kl_char) == sizeof(char16_t), "UTF-16 code units");

namespace {

struct CodeText {
  kl_code code;
  const char16_t* text;
};

constexpr CodeText kCodeTexts[] = {
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
    {KL_NULL_ARGUMENT, u"a pointer that must be given is null"},
    {KL_BUFFER_TOO_SMALL, u"the buffer is too small; nothing was written"},
    {KL_START_FAILED, u"the user declined elevation, or the updater could not be started"},
    {KL_UNKNOWN_CODE, u"no such code"},
};

WideString In(const kl_char* s) {
  WideString out;
  for (; *s; ++s) out += static_cast<char16_t>(*s);
  return out;
}

// The usual Windows pattern: the whole string and its terminator, or nothing
// and the size needed.
kl_code Out(const WideString& s, kl_char* buffer, std::uint32_t size, std::uint32_t* needed) {
  const std::size_t want = s.size() + 1;
  if (needed) *needed = static_cast<std::uint32_t>(want);
  if (!buffer && size != 0) return KL_NULL_ARGUMENT;
  if (size < want) return KL_BUFFER_TOO_SMALL;
  for (std::size_t i = 0; i < s.size(); ++i) buffer[i] = static_cast<kl_char>(s[i]);
  buffer[s.size()] = 0;
  return KL_OK;
}

}  // namespace

extern "C" {

kl_code KL_CALL KlStageFile(const kl_char* source, const kl_char* name) {
  if (!source || !name) return KL_NULL_ARGUMENT;
  LaunchCode why = LaunchOk;
  StageFile(In(source), In(name), &why);
  return why;
}

kl_code KL_CALL KlBuildUpdateLine(const kl_char* updater, const kl_char* const* names,
                                  std::uint32_t count, kl_char* line, std::uint32_t size,
                                  std::uint32_t* needed, std::uint32_t* refused_name) {
  if (refused_name) *refused_name = KL_NO_NAME;
  if (!updater || (!names && count != 0)) return KL_NULL_ARGUMENT;
  FileList list;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!names[i]) {
      if (refused_name) *refused_name = i;
      return KL_NULL_ARGUMENT;
    }
    list.push_back(In(names[i]));
  }
  WideString built;
  LaunchRefusal refusal;
  if (!BuildUpdateCommandLine(In(updater), list, built, &refusal)) {
    if (refused_name && refusal.name != kNoName) {
      *refused_name = static_cast<std::uint32_t>(refusal.name);
    }
    return refusal.code;
  }
  return Out(built, line, size, needed);
}

kl_code KL_CALL KlBuildCleanCacheLine(const kl_char* updater, kl_char* line, std::uint32_t size,
                                      std::uint32_t* needed) {
  if (!updater) return KL_NULL_ARGUMENT;
  WideString built;
  LaunchRefusal refusal;
  if (!BuildCleanCacheCommandLine(In(updater), built, &refusal)) return refusal.code;
  return Out(built, line, size, needed);
}

kl_code KL_CALL KlStartUpdater(const kl_char* line) {
  if (!line) return KL_NULL_ARGUMENT;
  return StartUpdater(In(line)) ? KL_OK : KL_START_FAILED;
}

kl_code KL_CALL KlCodeText(kl_code code, kl_char* text, std::uint32_t size, std::uint32_t* needed) {
  for (const CodeText& entry : kCodeTexts) {
    if (entry.code == code) return Out(entry.text, text, size, needed);
  }
  return KL_UNKNOWN_CODE;
}

}  // extern "C"
