#include "cmdline/locations.h"
#include "platform/platform.h"
#include "sysops/sysops.h"

bool MoveStagedFile(const WideString& staged, const WideString& target) {
  const std::uint32_t attributes = platform::GetFileAttributesW(staged.c_str());
  if (attributes == platform::kInvalidFileAttributes) return false;
  if (attributes & platform::kAttributeDirectory) return false;

  if (!platform::CopyFileW(staged.c_str(), target.c_str(), platform::kFalse)) return false;

  // A read-only staged copy resists the first deletion; one reset, one retry.
  if (!platform::DeleteFileW(staged.c_str())) {
    platform::SetFileAttributesW(staged.c_str(), platform::kAttributeNormal);
    platform::DeleteFileW(staged.c_str());
  }
  return true;
}

void DeleteFilesInDir(const WideString& folder) {
  // "*" alone would search the current folder.
  if (folder.empty()) return;

  platform::FindData entry{};
  const platform::Handle search = platform::FindFirstFileW(JoinPath(folder, u"*").c_str(), &entry);
  if (search == platform::kInvalidHandle) return;
  do {
    // Whole-value comparisons: a folder or reparse point with any further
    // attribute is handed to DeleteFileW, which leaves a folder in place.
    if (entry.dwFileAttributes == platform::kAttributeDirectory ||
        entry.dwFileAttributes == platform::kAttributeReparsePoint) {
      continue;
    }
    platform::DeleteFileW(JoinPath(folder, entry.cFileName).c_str());
  } while (platform::FindNextFileW(search, &entry));
  platform::FindClose(search);
}
