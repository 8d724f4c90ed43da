#include <algorithm>
#include <optional>
#include <vector>

#include "cmdline/cmdline.h"
#include "cmdline/locations.h"
#include "platform/platform.h"
#include "sysops/sysops.h"

namespace {

using platform::Handle;

// Big enough that a large file costs few calls, small enough to allocate per file.
constexpr std::uint32_t kCopyChunk = 256 * 1024;

constexpr std::uint32_t kShareAll =
    platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete;

// A partial copy stands beside its target under a name the launch library
// never accepts (no segment may begin with a blank), so it is never a shipped
// file, and a later run knows it for what it is.
constexpr char16_t kPartialPrefix[] = u" ~";
constexpr char16_t kPartialSuffix[] = u".partial";
// The target's name is cut so that the copy's stays within 255 units.
constexpr std::size_t kPartialStemMax = 200;
constexpr int kPartialNameTries = 8;

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

bool SameIgnoringCase(const WideString& a, const WideString& b) {
  return platform::CompareStringOrdinal(a.c_str(), static_cast<std::int32_t>(a.size()), b.c_str(),
                                        static_cast<std::int32_t>(b.size()),
                                        platform::kTrue) == platform::kCstrEqual;
}

// The user may have swapped any folder on the way for a link, so only the
// handle's own answer counts.
bool HasFinalPath(Handle h, const WideString& real) {
  WideString final;
  return FinalPath(h, final) && SameIgnoringCase(final, real);
}

// A file with this one name, no folder and no link of any kind; `size` is its length.
bool IsPlainFile(Handle h, std::int64_t& size) {
  platform::FileBasicInfo basic{};
  platform::FileStandardInfo standard{};
  if (!platform::GetFileInformationByHandleEx(h, platform::FileInfoClass::Basic, &basic,
                                              sizeof(basic)) ||
      !platform::GetFileInformationByHandleEx(h, platform::FileInfoClass::Standard, &standard,
                                              sizeof(standard))) {
    return false;
  }
  size = standard.EndOfFile;
  return !(basic.FileAttributes &
           (platform::kAttributeDirectory | platform::kAttributeReparsePoint)) &&
         !standard.Directory && standard.NumberOfLinks <= 1;
}

bool IsFolder(Handle h) {
  platform::FileStandardInfo standard{};
  return platform::GetFileInformationByHandleEx(h, platform::FileInfoClass::Standard, &standard,
                                                sizeof(standard)) &&
         standard.Directory;
}

// Where the last segment of `path` begins.
std::size_t LastSegmentStart(const WideString& path) {
  std::size_t k = path.size();
  while (k > 0 && !IsPathSeparator(path[k - 1])) --k;
  return k;
}

WideString LastSegment(const WideString& path) { return path.substr(LastSegmentStart(path)); }

WideString PartialName(const WideString& target, int attempt) {
  WideString name = kPartialPrefix + LastSegment(target).substr(0, kPartialStemMax);
  if (attempt > 0) name += {u'.', static_cast<char16_t>(u'0' + attempt)};
  return name + kPartialSuffix;
}

bool IsPartialName(const WideString& name) {
  const std::size_t prefix = std::char_traits<char16_t>::length(kPartialPrefix);
  const std::size_t suffix = std::char_traits<char16_t>::length(kPartialSuffix);
  return name.size() > prefix + suffix && name.compare(0, prefix, kPartialPrefix) == 0 &&
         name.compare(name.size() - suffix, suffix, kPartialSuffix) == 0;
}

// A new file beside the target, never one that stands there already. Below
// the folder's final path ("\\?\..."), no length limit applies.
Handle CreatePartial(const WideString& realFolder, const WideString& target, WideString& path) {
  for (int attempt = 0; attempt < kPartialNameTries; ++attempt) {
    path = realFolder + u"\\" + PartialName(target, attempt);
    const Handle h =
        platform::CreateFileW(path.c_str(), platform::kGenericWrite, 0, platform::kCreateNew,
                              platform::kAttributeNormal | platform::kFileFlagSequentialScan);
    if (h != platform::kInvalidHandle) return h;
  }
  return platform::kInvalidHandle;
}

// Exactly `size` bytes: a failed or short read fails, it is never taken for
// the end. With `expected`, they are hashed as they go to the copy.
bool CopyContent(Handle from, Handle to, std::int64_t size, const ExpectedContent* expected) {
  // One buffer for the run (it has one thread): a fresh one per file costs
  // its allocation and page faults, each time.
  static std::vector<char> buffer(kCopyChunk);
  char* const chunk = buffer.data();
  std::optional<release::Sha256> hash;
  if (expected) {
    if (static_cast<std::uint64_t>(size) != expected->size) return false;
    hash.emplace(*expected->provider);
    if (!hash->Ready()) return false;
  }
  std::int64_t copied = 0;
  for (;;) {
    std::uint32_t got = 0;
    if (!platform::ReadFile(from, chunk, kCopyChunk, &got)) return false;
    if (got == 0) break;
    if (copied + got > size) return false;  // it grew: not what was checked
    if (hash && !hash->Update(chunk, got)) return false;
    std::uint32_t written = 0;
    if (!platform::WriteFile(to, chunk, got, &written) || written != got) return false;
    copied += got;
  }
  if (copied != size) return false;
  release::Digest digest{};
  return !hash || (hash->Finish(digest) && digest == expected->sha256);
}

// `fill` writes the new content to a partial copy in the target's folder;
// flushed, it is renamed over the target. NTFS logs metadata in order, so
// once a staged copy's later deletion is on disk, so is the rename. A failure
// leaves the old file and removes the copy.
template <typename Fill>
bool ReplaceWhole(const WideString& target, const WideString& realFolder, Fill fill) {
  if (realFolder.empty()) return false;
  // Windows refuses to rename over a read-only file and Wine does not: both refuse here.
  const std::uint32_t old = platform::GetFileAttributesW(target.c_str());
  if (old != platform::kInvalidFileAttributes &&
      (old & (platform::kAttributeReadOnly | platform::kAttributeDirectory))) {
    return false;
  }
  WideString partial;
  const Handle to = CreatePartial(realFolder, target, partial);
  if (to == platform::kInvalidHandle) return false;
  const bool written = fill(to) && platform::FlushFileBuffers(to);
  platform::CloseHandle(to);
  if (written &&
      platform::MoveFileExW(partial.c_str(), target.c_str(),
                            platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough)) {
    return true;
  }
  platform::DeleteFileW(partial.c_str());
  return false;
}

// All of a file of `size` bytes, never more: one that grows meanwhile fails.
bool ReadExactly(Handle h, std::int64_t size, std::string& bytes) {
  std::string data(static_cast<std::size_t>(size) + 1, '\0');
  std::size_t total = 0;
  for (;;) {
    std::uint32_t got = 0;
    if (!platform::ReadFile(h, &data[total], static_cast<std::uint32_t>(data.size() - total),
                            &got)) {
      return false;
    }
    if (got == 0) break;
    total += got;
    if (total == data.size()) return false;
  }
  if (total != static_cast<std::size_t>(size)) return false;
  data.resize(total);
  bytes = std::move(data);
  return true;
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

// A read-only staged copy resists the first deletion; one reset, one retry.
void DeleteStaged(Handle h) {
  if (!MarkForDeletion(h)) {
    ClearAttributes(h);
    MarkForDeletion(h);
  }
}

}  // namespace

bool GetFinalFolderPath(const WideString& path, WideString& real) {
  if (path.empty()) return false;
  const Handle h = OpenFolder(path);
  if (h == platform::kInvalidHandle) return false;
  WideString final;
  const bool ok = IsFolder(h) && FinalPath(h, final);
  platform::CloseHandle(h);
  if (ok) real = final;
  return ok;
}

bool MoveStagedFile(const WideString& staged, const WideString& target, const WideString& real,
                    const WideString& realFolder, const ExpectedContent* expected) {
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
  std::int64_t size = 0;
  if (!IsPlainFile(h, size) || !HasFinalPath(h, real) ||
      !ReplaceWhole(target, realFolder,
                    [&](Handle to) { return CopyContent(h, to, size, expected); })) {
    platform::CloseHandle(h);
    return false;
  }
  DeleteStaged(h);
  platform::CloseHandle(h);
  return true;
}

bool ReadStagedFile(const WideString& staged, const WideString& real, std::size_t bound,
                    std::string& bytes) {
  const Handle h = OpenEntry(staged, platform::kGenericRead);
  if (h == platform::kInvalidHandle) return false;
  std::int64_t size = 0;
  const bool ok = IsPlainFile(h, size) && HasFinalPath(h, real) && size >= 0 &&
                  static_cast<std::uint64_t>(size) <= bound && ReadExactly(h, size, bytes);
  platform::CloseHandle(h);
  return ok;
}

void DeleteStagedFile(const WideString& staged, const WideString& real) {
  const Handle h = OpenEntry(staged, platform::kGenericRead | platform::kDelete |
                                         platform::kFileWriteAttributes);
  if (h == platform::kInvalidHandle) return;
  std::int64_t size = 0;
  if (IsPlainFile(h, size) && HasFinalPath(h, real)) DeleteStaged(h);
  platform::CloseHandle(h);
}

bool ReadInstalledFile(const WideString& path, std::size_t bound, std::string& bytes,
                       bool& missing) {
  missing = platform::GetFileAttributesW(path.c_str()) == platform::kInvalidFileAttributes;
  if (missing) return false;
  const Handle h = OpenEntry(path, platform::kGenericRead);
  if (h == platform::kInvalidHandle) return false;
  std::int64_t size = 0;
  const bool ok = IsPlainFile(h, size) && size >= 0 && static_cast<std::uint64_t>(size) <= bound &&
                  ReadExactly(h, size, bytes);
  platform::CloseHandle(h);
  return ok;
}

bool ReplaceFileWith(const std::string& bytes, const WideString& target,
                     const WideString& realFolder) {
  return ReplaceWhole(target, realFolder, [&](Handle to) {
    std::uint32_t written = 0;
    return platform::WriteFile(to, bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                               &written) &&
           written == bytes.size();
  });
}

WideString FolderOfTarget(const WideString& target) {
  std::size_t k = LastSegmentStart(target);
  // A run of separators reads as one, but a drive's own stays: "C:\".
  while (k > 1 && IsPathSeparator(target[k - 1]) && target[k - 2] != u':') --k;
  return target.substr(0, k);
}

void RemovePartialCopies(const WideString& real, const FileList& keep) {
  platform::FindData entry{};
  const Handle search = platform::FindFirstFileW((real + u"\\*").c_str(), &entry);
  if (search == platform::kInvalidHandle) return;
  do {
    const WideString name = entry.cFileName;
    if ((entry.dwFileAttributes & platform::kAttributeDirectory) || !IsPartialName(name)) continue;
    // A listed name is the client's own file, whatever it looks like.
    const bool listed = std::any_of(keep.begin(), keep.end(), [&](const WideString& k) {
      return SameIgnoringCase(LastSegment(k), name);
    });
    if (!listed) platform::DeleteFileW((real + u"\\" + name).c_str());
  } while (platform::FindNextFileW(search, &entry));
  platform::FindClose(search);
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
      std::int64_t size = 0;
      // No attribute reset: a read-only cache file stays.
      if (IsPlainFile(h, size)) MarkForDeletion(h);
      platform::CloseHandle(h);
    } while (platform::FindNextFileW(search, &entry));
    platform::FindClose(search);
  }
  platform::CloseHandle(dir);
}
