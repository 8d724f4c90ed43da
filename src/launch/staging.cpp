#include "launch/staging.h"

#include "contract/folders.h"
#include "contract/limits.h"
#include "platform/platform.h"

namespace {

// In the staging folder, where no staged name begins with a blank and no
// partial one with a blank and anything but "~".
constexpr char16_t kLockName[] = u"\\ lock";
constexpr char16_t kPartialMark[] = u"\\ partial";
constexpr std::size_t kMaxMark = 4096;

}  // namespace

StagingLock::StagingLock(const WideString& staging)
    : h_(platform::CreateFileW((staging + kLockName).c_str(),
                               platform::kGenericWrite | platform::kDelete, 0,
                               platform::kOpenAlways,
                               platform::kAttributeNormal | platform::kFileFlagDeleteOnClose |
                                   platform::kFileFlagOpenReparsePoint)) {
  if (h_ == platform::kInvalidHandle) {
    code_ = platform::GetLastError() == platform::kErrorSharingViolation ? FailedBusy
                                                                         : FailedStageWrite;
  }
}

StagingLock::~StagingLock() {
  if (code_ == LaunchOk) platform::CloseHandle(h_);
}

WideString PartialPathOf(const WideString& staged) {
  const std::size_t k = staged.find_last_of(u"\\/") + 1;
  return staged.substr(0, k) + kPartialPrefix + staged.substr(k);
}

bool TakeName(const WideString& partial, const WideString& staged) {
  const auto move = [&] {
    return platform::MoveFileExW(partial.c_str(), staged.c_str(),
                                 platform::kMoveFileReplaceExisting) != platform::kFalse;
  };
  // A read-only copy under the name refuses the rename: then it goes first.
  return move() ||
         (platform::SetFileAttributesW(staged.c_str(), platform::kAttributeNormal) && move());
}

void Discard(const WideString& path) {
  platform::SetFileAttributesW(path.c_str(), platform::kAttributeNormal);
  platform::DeleteFileW(path.c_str());
}

bool MarkPartial(const WideString& staging, const std::string& what) {
  const WideString path = staging + kPartialMark;
  const platform::Handle h =
      platform::CreateFileW(path.c_str(), platform::kGenericWrite, 0, platform::kCreateAlways,
                            platform::kAttributeNormal);
  if (h == platform::kInvalidHandle) return false;
  std::uint32_t n = 0;
  const bool ok =
      platform::WriteFile(h, what.data(), static_cast<std::uint32_t>(what.size()), &n) &&
      n == what.size();
  platform::CloseHandle(h);
  if (!ok) Discard(path);
  return ok;
}

bool IsPartialFor(const WideString& staging, const std::string& what) {
  const platform::Handle h =
      platform::CreateFileW((staging + kPartialMark).c_str(), platform::kGenericRead,
                            platform::kFileShareRead, platform::kOpenExisting,
                            platform::kAttributeNormal);
  if (h == platform::kInvalidHandle) return false;
  std::string mark(kMaxMark, '\0');
  std::uint32_t n = 0;
  const bool ok = platform::ReadFile(h, &mark[0], static_cast<std::uint32_t>(mark.size()), &n);
  platform::CloseHandle(h);
  return ok && mark.compare(0, n, what) == 0 && n == what.size();
}

void ForgetPartial(const WideString& staging) { Discard(staging + kPartialMark); }

void MakeSubfolders(const WideString& staging, const WideString& name) {
  for (std::size_t k = name.find_first_of(u"\\/"); k != WideString::npos;
       k = name.find_first_of(u"\\/", k + 1)) {
    EnsureFolder(staging + u"\\" + name.substr(0, k));
  }
}
