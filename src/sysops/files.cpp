#include <vector>

#include "cmdline/locations.h"
#include "platform/platform.h"
#include "sysops/sysops.h"

namespace {

using platform::Handle;

// Big enough that a large file costs few calls, small enough to allocate per file.
constexpr std::uint32_t kCopyChunk = 256 * 1024;

constexpr std::uint32_t kShareAll =
    platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete;

// Links on the way are followed: the final path tells where it really is.
Handle OpenFolder(const WideString& path) {
  return platform::CreateFileW(path.c_str(),
                               platform::kFileListDirectory | platform::kFileTraverse |
                                   platform::kFileReadAttributes | platform::kSynchronize,
                               kShareAll, platform::kOpenExisting,
                               platform::kFileFlagBackupSemantics);
}

// The entry itself, never what it links to; a folder does not open.
Handle OpenEntry(const WideString& path, std::uint32_t access) {
  return platform::CreateFileW(
      path.c_str(), access, platform::kFileShareRead | platform::kFileShareDelete,
      platform::kOpenExisting,
      platform::kFileFlagOpenReparsePoint | platform::kFileFlagSequentialScan);
}

// The same, for an entry directly below the folder that `folder` is a handle to.
Handle OpenEntryBelow(Handle folder, const char16_t* name, std::uint32_t access) {
  Handle h = platform::kInvalidHandle;
  const std::int32_t status = platform::NtCreateFile(
      &h, access | platform::kSynchronize, folder, name, kShareAll, platform::kFileOpen,
      platform::kFileOpenReparsePoint | platform::kFileNonDirectoryFile |
          platform::kFileSynchronousIoNonalert);
  return status < 0 ? platform::kInvalidHandle : h;
}

bool FinalPath(Handle h, WideString& path) {
  WideString buffer(platform::kMaxPath, u'\0');
  for (;;) {
    const std::uint32_t n = platform::GetFinalPathNameByHandleW(
        h, buffer.data(), static_cast<std::uint32_t>(buffer.size()), platform::kFileNameNormalized);
    if (n == 0) return false;
    if (n < buffer.size()) {
      buffer.resize(n);
      path = std::move(buffer);
      return true;
    }
    buffer.assign(n, u'\0');  // too small: n is the size needed
  }
}

// The user may have swapped any folder on the way for a link, so only the
// handle's own answer counts.
bool HasFinalPath(Handle h, const WideString& real) {
  WideString final;
  return FinalPath(h, final) &&
         platform::CompareStringOrdinal(final.c_str(), static_cast<std::int32_t>(final.size()),
                                        real.c_str(), static_cast<std::int32_t>(real.size()),
                                        platform::kTrue) == platform::kCstrEqual;
}

// A file with this one name: no folder and no link of any kind.
bool IsPlainFile(Handle h) {
  platform::FileBasicInfo basic{};
  platform::FileStandardInfo standard{};
  return platform::GetFileInformationByHandleEx(h, platform::FileInfoClass::Basic, &basic,
                                                sizeof(basic)) &&
         platform::GetFileInformationByHandleEx(h, platform::FileInfoClass::Standard, &standard,
                                                sizeof(standard)) &&
         !(basic.FileAttributes &
           (platform::kAttributeDirectory | platform::kAttributeReparsePoint)) &&
         !standard.Directory && standard.NumberOfLinks <= 1;
}

bool IsFolder(Handle h) {
  platform::FileStandardInfo standard{};
  return platform::GetFileInformationByHandleEx(h, platform::FileInfoClass::Standard, &standard,
                                                sizeof(standard)) &&
         standard.Directory;
}

// A plain new file: the staged copy's read-only bit and streams stay behind.
bool CopyFromHandle(Handle from, const WideString& target) {
  const Handle to =
      platform::CreateFileW(target.c_str(), platform::kGenericWrite, 0, platform::kCreateAlways,
                            platform::kAttributeNormal | platform::kFileFlagSequentialScan);
  if (to == platform::kInvalidHandle) return false;
  std::vector<char> chunk(kCopyChunk);
  bool ok = true;
  for (;;) {
    std::uint32_t got = 0;
    if (!platform::ReadFile(from, chunk.data(), kCopyChunk, &got)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    std::uint32_t written = 0;
    if (!platform::WriteFile(to, chunk.data(), got, &written) || written != got) {
      ok = false;
      break;
    }
  }
  platform::CloseHandle(to);
  return ok;
}

bool MarkForDeletion(Handle h) {
  const platform::FileDispositionInfo dispose{true};
  return platform::SetFileInformationByHandle(h, platform::FileInfoClass::Disposition, &dispose,
                                              sizeof(dispose)) != platform::kFalse;
}

void ClearAttributes(Handle h) {
  const platform::FileBasicInfo basic{0, 0, 0, 0, platform::kAttributeNormal};
  platform::SetFileInformationByHandle(h, platform::FileInfoClass::Basic, &basic, sizeof(basic));
}

}  // namespace

bool GetFinalFolderPath(const WideString& path, WideString& real) {
  const Handle h = OpenFolder(path);
  if (h == platform::kInvalidHandle) return false;
  WideString final;
  const bool ok = IsFolder(h) && FinalPath(h, final);
  platform::CloseHandle(h);
  if (ok) real = final;
  return ok;
}

bool MoveStagedFile(const WideString& staged, const WideString& target, const WideString& real) {
  // Widest access first. Windows resets a read-only file's attributes only
  // through a handle opened to write them; Wine refuses such a handle on a
  // read-only file, but resets through one without. Held open elsewhere
  // without delete sharing, the file can still be installed, and stays.
  constexpr std::uint32_t kAccessTries[] = {
      platform::kGenericRead | platform::kDelete | platform::kFileWriteAttributes,
      platform::kGenericRead | platform::kDelete, platform::kGenericRead};
  Handle h = platform::kInvalidHandle;
  for (const std::uint32_t access : kAccessTries) {
    h = OpenEntry(staged, access);
    if (h != platform::kInvalidHandle) break;
  }
  if (h == platform::kInvalidHandle) return false;
  if (!IsPlainFile(h) || !HasFinalPath(h, real) || !CopyFromHandle(h, target)) {
    platform::CloseHandle(h);
    return false;
  }
  // A read-only staged copy resists the first deletion; one reset, one retry.
  if (!MarkForDeletion(h)) {
    ClearAttributes(h);
    MarkForDeletion(h);
  }
  platform::CloseHandle(h);
  return true;
}

void DeleteFilesInDir(const WideString& folder, const WideString& realFolder) {
  // "*" alone would search the current folder.
  if (folder.empty()) return;
  // The folder is checked once; each entry is then opened below that very
  // folder, whatever its path leads to by then.
  const Handle dir = OpenFolder(folder);
  if (dir == platform::kInvalidHandle) return;
  const bool real = !realFolder.empty() &&
                    HasFinalPath(dir, realFolder.substr(0, realFolder.size() - 1)) && IsFolder(dir);
  platform::FindData entry{};
  const Handle search = real ? platform::FindFirstFileW(JoinPath(folder, u"*").c_str(), &entry)
                             : platform::kInvalidHandle;
  if (search != platform::kInvalidHandle) {
    do {
      // Whole-value comparisons: a folder or reparse point with any further
      // attribute goes on to the check below, which leaves it in place.
      if (entry.dwFileAttributes == platform::kAttributeDirectory ||
          entry.dwFileAttributes == platform::kAttributeReparsePoint) {
        continue;
      }
      const Handle h =
          OpenEntryBelow(dir, entry.cFileName, platform::kDelete | platform::kFileReadAttributes);
      if (h == platform::kInvalidHandle) continue;
      // No attribute reset: a read-only cache file stays.
      if (IsPlainFile(h)) MarkForDeletion(h);
      platform::CloseHandle(h);
    } while (platform::FindNextFileW(search, &entry));
    platform::FindClose(search);
  }
  platform::CloseHandle(dir);
}
