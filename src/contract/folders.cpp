#include "contract/folders.h"

#include "platform/platform.h"

namespace {

constexpr std::int32_t kCsidlAppData = 26;
constexpr std::uint32_t kShgfpTypeCurrent = 0;
constexpr char16_t kClientFolder[] = u"\\KelvoClient";
constexpr char16_t kFallbackClientRoot[] = u"D:\\KelvoClient";
constexpr char16_t kCacheFolder[] = u"\\AppCache\\Cache\\";

}  // namespace

bool GetClientRoot(WideString& root) {
  char16_t buffer[platform::kMaxPath] = {};
  if (platform::SHGetFolderPathW(platform::kNullHandle, kCsidlAppData, platform::kNullHandle,
                                 kShgfpTypeCurrent, buffer) < 0) {
    root = kFallbackClientRoot;
    return true;
  }
  if (!platform::PathAppendW(buffer, kClientFolder)) return false;
  root = buffer;
  return true;
}

void EnsureFolder(const WideString& path) {
  const std::uint32_t a = platform::GetFileAttributesW(path.c_str());
  if (a == platform::kInvalidFileAttributes || !(a & platform::kAttributeDirectory)) {
    platform::CreateDirectoryW(path.c_str());
  }
}

bool GetStagingDir(WideString& dir) {
  WideString r;
  if (!GetClientRoot(r)) return false;
  EnsureFolder(r);
  r = StagingDirOf(r);
  EnsureFolder(r);
  dir = r;
  return true;
}

WideString GetCacheDir() {
  WideString r;
  if (!GetClientRoot(r)) return WideString();
  return CacheDirOf(r);
}

WideString StagingDirOf(const WideString& root) { return root + kStagingFolder; }
WideString CacheDirOf(const WideString& root) { return root + kCacheFolder; }

