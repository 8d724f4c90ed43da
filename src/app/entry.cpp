#include "app/entry.h"

#include "app/download_url.h"
#include "platform/platform.h"

namespace {

constexpr char16_t kCaption[] = u"Kelvo提示您";
constexpr char16_t kUpdatedText[] = u"已成功更新客户端！";
constexpr char16_t kCacheClearedText[] = u"已成功清空客户端缓存！";
constexpr char16_t kFailedText[] = u"更新客户端失败，请下载完整客户端安装！";
constexpr char16_t kVerbOpen[] = u"open";
constexpr char16_t kClientWorkingDirectory[] = u".";

constexpr std::uint32_t kLoadLibrarySearchSystem32 = 0x800;
constexpr std::uint32_t kWmNull = 0;
constexpr std::uint32_t kMbOk = 0;
constexpr std::int32_t kIdOk = 1;
constexpr std::uint32_t kSeeMaskNoCloseProcess = 0x40;
constexpr std::int32_t kSwShowNormal = 1;
constexpr std::int32_t kSwShowDefault = 10;

std::int32_t ShowMessage(const char16_t* text) {
  return platform::MessageBoxW(platform::kNullHandle, text, kCaption, kMbOk);
}

// The client by its full path in the working folder. Given a bare name the
// shell would search on where it is missing (the Windows folders, PATH, App
// Paths), and the user's PATH holds folders the user can write.
bool GetClientPath(WideString& path) {
  WideString folder(platform::kMaxPath, u'\0');
  for (;;) {
    const std::uint32_t n =
        platform::GetCurrentDirectoryW(static_cast<std::uint32_t>(folder.size()), folder.data());
    if (n == 0) return false;
    if (n < folder.size()) {
      folder.resize(n);
      break;
    }
    folder.assign(n, u'\0');  // too small: n is the size needed
  }
  if (folder.back() != u'\\') folder += u'\\';  // a drive's root ends in one already
  path = folder + kClientImageName;
  return true;
}

}  // namespace

bool LaunchClient() {
  WideString client;
  if (!GetClientPath(client)) return false;
  platform::ShellExecuteInfo info{};
  info.cbSize = sizeof(info);
  // The shell's own error box is wanted: no SEE_MASK_FLAG_NO_UI.
  info.fMask = kSeeMaskNoCloseProcess;
  info.hwnd = platform::kNullHandle;
  info.lpVerb = kVerbOpen;
  info.lpFile = client.c_str();
  info.lpParameters = nullptr;
  info.lpDirectory = kClientWorkingDirectory;
  info.nShow = kSwShowDefault;
  return platform::ShellExecuteExW(&info) != platform::kFalse;
}

void OpenDownloadPage() {
  platform::ShellExecuteW(platform::kNullHandle, kVerbOpen, kDownloadPageUrl, nullptr, nullptr,
                          kSwShowNormal);
}

void ShowOutcome(UpdateOutcome outcome) {
  switch (outcome) {
    case OutcomeUpdated:
      if (!LaunchClient()) ShowMessage(kUpdatedText);
      break;
    case OutcomeCacheCleared:
      if (ShowMessage(kCacheClearedText) == kIdOk) LaunchClient();
      break;
    default:
      if (ShowMessage(kFailedText) == kIdOk) OpenDownloadPage();
      break;
  }
}

int RunProgram(const char* releaseKeys, const char* product) {
  // Elevated: no DLL may come from beside the exe or the working folder.
  // Before COM or the shell load anything.
  // Where that call is missing (Windows 7 without its loader update), at least
  // the working folder leaves the search.
  if (!platform::SetDefaultDllDirectories(kLoadLibrarySearchSystem32)) {
    platform::SetDllDirectoryW(u"");
  }
  platform::CoInitialize(nullptr);
  platform::DefWindowProcW(platform::kNullHandle, kWmNull, 0, 0);
  ReleaseTrust trust;
  const bool keyed = TrustFrom(releaseKeys, product, trust);
  ShowOutcome(RunUpdate(keyed ? &trust : nullptr));
  platform::CoUninitialize();
  return 0;
}
