#include "capi/client_launch.h"

#include <memory>

#include "launch/launch.h"
#include "launch/release.h"

// The C codes are the C++ ones, every one of them.
static_assert(KL_OK == LaunchOk, "KL_OK");
static_assert(KL_REFUSED_EMPTY_LIST == RefusedEmptyList, "KL_REFUSED_EMPTY_LIST");
static_assert(KL_REFUSED_EMPTY_NAME == RefusedEmptyName, "KL_REFUSED_EMPTY_NAME");
static_assert(KL_REFUSED_DUPLICATE_NAME == RefusedDuplicateName, "KL_REFUSED_DUPLICATE_NAME");
static_assert(KL_REFUSED_BAR == RefusedBar, "KL_REFUSED_BAR");
static_assert(KL_REFUSED_LEAVES_FOLDER == RefusedLeavesFolder, "KL_REFUSED_LEAVES_FOLDER");
static_assert(KL_REFUSED_CLEAN_CACHE_OPTION == RefusedCleanCacheOption, "KL_REFUSED_CLEAN_CACHE_OPTION");
static_assert(KL_REFUSED_MISPLACED_SEPARATOR == RefusedMisplacedSeparator, "KL_REFUSED_MISPLACED_SEPARATOR");
static_assert(KL_REFUSED_FORBIDDEN_CHARACTER == RefusedForbiddenCharacter, "KL_REFUSED_FORBIDDEN_CHARACTER");
static_assert(KL_REFUSED_BLANK_OR_DOT == RefusedBlankOrDot, "KL_REFUSED_BLANK_OR_DOT");
static_assert(KL_REFUSED_DEVICE_NAME == RefusedDeviceName, "KL_REFUSED_DEVICE_NAME");
static_assert(KL_REFUSED_SHORT_NAME == RefusedShortName, "KL_REFUSED_SHORT_NAME");
static_assert(KL_REFUSED_PATH_TOO_LONG == RefusedPathTooLong, "KL_REFUSED_PATH_TOO_LONG");
static_assert(KL_REFUSED_FOLDER_TOO_LONG == RefusedFolderTooLong, "KL_REFUSED_FOLDER_TOO_LONG");
static_assert(KL_REFUSED_MISSING_FOLDER == RefusedMissingFolder, "KL_REFUSED_MISSING_FOLDER");
static_assert(KL_REFUSED_NAME_IS_FOLDER == RefusedNameIsFolder, "KL_REFUSED_NAME_IS_FOLDER");
static_assert(KL_REFUSED_UPDATER_ITSELF == RefusedUpdaterItself, "KL_REFUSED_UPDATER_ITSELF");
static_assert(KL_REFUSED_LINE_TOO_LONG == RefusedLineTooLong, "KL_REFUSED_LINE_TOO_LONG");
static_assert(KL_REFUSED_UPDATER_PATH == RefusedUpdaterPath, "KL_REFUSED_UPDATER_PATH");
static_assert(KL_FAILED_NO_CLIENT_ROOT == FailedNoClientRoot, "KL_FAILED_NO_CLIENT_ROOT");
static_assert(KL_FAILED_SOURCE_MISSING == FailedSourceMissing, "KL_FAILED_SOURCE_MISSING");
static_assert(KL_FAILED_COPY == FailedCopy, "KL_FAILED_COPY");
static_assert(KL_FAILED_RENAME == FailedRename, "KL_FAILED_RENAME");
static_assert(KL_UP_TO_DATE == UpToDate, "KL_UP_TO_DATE");
static_assert(KL_REFUSED_SIGNATURE == RefusedSignature, "KL_REFUSED_SIGNATURE");
static_assert(KL_REFUSED_PRODUCT == RefusedProduct, "KL_REFUSED_PRODUCT");
static_assert(KL_REFUSED_ROLLBACK == RefusedRollback, "KL_REFUSED_ROLLBACK");
static_assert(KL_REFUSED_EXPIRED == RefusedExpired, "KL_REFUSED_EXPIRED");
static_assert(KL_REFUSED_MALFORMED == RefusedMalformed, "KL_REFUSED_MALFORMED");
static_assert(KL_REFUSED_MANIFEST_TOO_LARGE == RefusedManifestTooLarge, "KL_REFUSED_MANIFEST_TOO_LARGE");
static_assert(KL_REFUSED_PUBLIC_KEY == RefusedPublicKey, "KL_REFUSED_PUBLIC_KEY");
static_assert(KL_REFUSED_VERSION_TEXT == RefusedVersionText, "KL_REFUSED_VERSION_TEXT");
static_assert(KL_FAILED_READ_SOURCE == FailedReadSource, "KL_FAILED_READ_SOURCE");
static_assert(KL_REFUSED_FILE_SIZE == RefusedFileSize, "KL_REFUSED_FILE_SIZE");
static_assert(KL_REFUSED_FILE_HASH == RefusedFileHash, "KL_REFUSED_FILE_HASH");
static_assert(KL_FAILED_STAGE_WRITE == FailedStageWrite, "KL_FAILED_STAGE_WRITE");
static_assert(KL_STOPPED == Stopped, "KL_STOPPED");
static_assert(KL_FAILED_CRYPTO == FailedCrypto, "KL_FAILED_CRYPTO");
static_assert(KL_FAILED_HTTP_STATUS == FailedHttpStatus, "KL_FAILED_HTTP_STATUS");
static_assert(KL_FAILED_CONNECT == FailedConnect, "KL_FAILED_CONNECT");
static_assert(KL_FAILED_TIMEOUT == FailedTimeout, "KL_FAILED_TIMEOUT");
static_assert(KL_FAILED_TLS == FailedTls, "KL_FAILED_TLS");
static_assert(KL_REFUSED_ADDRESS == RefusedAddress, "KL_REFUSED_ADDRESS");
static_assert(KL_REFUSED_REDIRECT == RefusedRedirect, "KL_REFUSED_REDIRECT");
static_assert(KL_FAILED_SLOW == FailedSlow, "KL_FAILED_SLOW");
static_assert(KL_FAILED_BUSY == FailedBusy, "KL_FAILED_BUSY");
static_assert(KL_REFUSED_WINDOW == RefusedWindow, "KL_REFUSED_WINDOW");
static_assert(KL_REFUSED_REPLAY == kLastLaunchCode, "a C++ code without its C one");
static_assert(KL_ROLLOUT_OPEN == static_cast<int>(RolloutState::Open), "KL_ROLLOUT_OPEN");
static_assert(KL_ROLLOUT_WAITING == static_cast<int>(RolloutState::Waiting), "KL_ROLLOUT_WAITING");
static_assert(KL_ROLLOUT_HALTED == static_cast<int>(RolloutState::Halted), "KL_ROLLOUT_HALTED");
static_assert(sizeof(kl_char) == sizeof(char16_t), "UTF-16 code units");

namespace {

constexpr kl_code kFirstOwnCode = KL_NULL_ARGUMENT;

// The codes of the C interface alone.
const char16_t* OwnCodeText(kl_code code) {
  struct Entry {
    kl_code code;
    const char16_t* text;
  };
  static constexpr Entry kTexts[] = {
    {KL_NULL_ARGUMENT, u"a pointer that must be given is null"},
    {KL_BUFFER_TOO_SMALL, u"the buffer is too small; nothing was written"},
    {KL_START_FAILED, u"the user declined elevation, or the updater could not be started"},
    {KL_UNKNOWN_CODE, u"no such code"},
    {KL_NO_SUCH_FILE, u"the index is past the release's last changed file"},
  };
  for (const Entry& entry : kTexts) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

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

std::uint32_t Index(std::size_t i) {
  return i == kNoName ? KL_NO_NAME : static_cast<std::uint32_t>(i);
}

}  // namespace

struct kl_release {
  CheckedRelease checked;
};

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

kl_code KL_CALL KlCheckRelease(const kl_char* source, const kl_char* channel,
                               const kl_char* public_key, const kl_char* product,
                               const kl_char* install_folder, const kl_char* installed_version,
                               kl_release** release, std::uint32_t* refused_file) {
  return KlCheckReleaseAs(source, channel, public_key, product, install_folder, installed_version,
                          nullptr, release, refused_file);
}

kl_code KL_CALL KlCheckReleaseAs(const kl_char* source, const kl_char* channel,
                                 const kl_char* public_key, const kl_char* product,
                                 const kl_char* install_folder, const kl_char* installed_version,
                                 const kl_char* user_agent, kl_release** release,
                                 std::uint32_t* refused_file) {
  const kl_code code = KlCheckReleaseWith(source, channel, public_key, product, install_folder,
                                          installed_version, user_agent, 0, release, refused_file);
  // These calls give a handle for a release to fetch alone.
  if (code == KL_UP_TO_DATE) {
    KlFreeRelease(*release);
    *release = nullptr;
  }
  return code;
}

kl_code KL_CALL KlCheckReleaseWith(const kl_char* source, const kl_char* channel,
                                   const kl_char* public_key, const kl_char* product,
                                   const kl_char* install_folder,
                                   const kl_char* installed_version, const kl_char* user_agent,
                                   std::uint32_t flags, kl_release** release,
                                   std::uint32_t* refused_file) {
  if (refused_file) *refused_file = KL_NO_NAME;
  if (release) *release = nullptr;
  if (!source || !public_key || !product || !install_folder || !installed_version || !release) {
    return KL_NULL_ARGUMENT;
  }
  ReleaseQuery q{In(source),
                 channel ? In(channel) : ReleaseQuery().channel,
                 In(public_key),
                 In(product),
                 In(install_folder),
                 In(installed_version),
                 user_agent ? In(user_agent) : WideString(),
                 TransferFloor(),
                 (flags & KL_CHECK_EARLY) != 0};
  auto found = std::make_unique<kl_release>();
  std::size_t file = kNoName;
  const LaunchCode code = CheckRelease(q, found->checked, &file);
  if (refused_file) *refused_file = Index(file);
  if (code == LaunchOk || code == UpToDate) *release = found.release();
  return code;
}

kl_code KL_CALL KlReleaseRollout(const kl_release* release, std::int32_t* state,
                                 std::int64_t* turn) {
  if (!release) return KL_NULL_ARGUMENT;
  if (state) *state = static_cast<std::int32_t>(release->checked.rollout);
  if (turn) *turn = release->checked.turn;
  return KL_OK;
}

kl_code KL_CALL KlReleaseVersion(const kl_release* release, kl_char* text, std::uint32_t size,
                                 std::uint32_t* needed) {
  if (!release) return KL_NULL_ARGUMENT;
  const std::string& v = release->checked.manifest.version;
  return Out(WideString(v.begin(), v.end()), text, size, needed);
}

kl_code KL_CALL KlReleaseSizes(const kl_release* release, std::uint32_t* changed_files,
                               std::uint64_t* changed_bytes, std::uint64_t* total_bytes) {
  if (!release) return KL_NULL_ARGUMENT;
  if (changed_files) *changed_files = static_cast<std::uint32_t>(release->checked.changed.size());
  if (changed_bytes) *changed_bytes = release->checked.changedBytes;
  if (total_bytes) *total_bytes = release->checked.totalBytes;
  return KL_OK;
}

kl_code KL_CALL KlReleaseFileSizes(const kl_release* release, std::uint64_t* changed_bytes,
                                   std::uint64_t* total_bytes) {
  if (!release) return KL_NULL_ARGUMENT;
  if (changed_bytes) *changed_bytes = release->checked.changedFileBytes;
  if (total_bytes) *total_bytes = release->checked.totalFileBytes;
  return KL_OK;
}

kl_code KL_CALL KlReleaseChangedFile(const kl_release* release, std::uint32_t index, kl_char* name,
                                     std::uint32_t size, std::uint32_t* needed,
                                     std::uint64_t* file_size) {
  if (!release) return KL_NULL_ARGUMENT;
  const CheckedRelease& r = release->checked;
  if (index >= r.changed.size()) return KL_NO_SUCH_FILE;
  const release::File& f = r.manifest.files[r.changed[index]];
  if (file_size) *file_size = f.size;
  return Out(f.name, name, size, needed);
}

kl_code KL_CALL KlFetchRelease(const kl_release* release, kl_progress progress, void* context,
                               std::uint32_t* failed_file) {
  if (failed_file) *failed_file = KL_NO_NAME;
  if (!release) return KL_NULL_ARGUMENT;
  struct Callback {
    kl_progress progress;
    void* context;
  } callback{progress, context};
  const auto relay = [](std::uint64_t done, std::uint64_t total, void* c) {
    const Callback* cb = static_cast<const Callback*>(c);
    return cb->progress(done, total, cb->context) != 0;
  };
  std::size_t file = kNoName;
  const LaunchCode code =
      FetchRelease(release->checked, progress ? +relay : nullptr, &callback, &file);
  if (failed_file) *failed_file = Index(file);
  return code;
}

kl_code KL_CALL KlApplyRelease(const kl_release* release, std::uint32_t* refused_file) {
  if (refused_file) *refused_file = KL_NO_NAME;
  if (!release) return KL_NULL_ARGUMENT;
  LaunchRefusal refusal;
  if (ApplyRelease(release->checked, &refusal)) return KL_OK;
  if (refused_file) *refused_file = Index(refusal.name);
  return refusal.code == LaunchOk ? KL_START_FAILED : refusal.code;
}

kl_code KL_CALL KlFreeRelease(kl_release* release) {
  delete release;
  return KL_OK;
}

kl_code KL_CALL KlCodeText(kl_code code, kl_char* text, std::uint32_t size, std::uint32_t* needed) {
  const char16_t* found = code < kFirstOwnCode ? CodeText(code) : OwnCodeText(code);
  return found ? Out(found, text, size, needed) : KL_UNKNOWN_CODE;
}

}  // extern "C"
