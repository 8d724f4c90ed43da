// Portable types shared by the logic and the platform seam.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using WideString = std::u16string;
using FileList = std::vector<WideString>;

namespace platform {

// A Windows BOOL: some callers rely on "exactly TRUE", so it is not a bool.
using Bool = std::int32_t;
constexpr Bool kFalse = 0;
constexpr Bool kTrue = 1;

// Opaque kernel handle: only compared, stored and passed back.
enum class Handle : std::uintptr_t {};
constexpr Handle kNullHandle = Handle{0};
constexpr Handle kInvalidHandle = Handle{~std::uintptr_t{0}};

constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
constexpr std::uint32_t kAttributeReadOnly = 0x1;
constexpr std::uint32_t kAttributeHidden = 0x2;
constexpr std::uint32_t kAttributeSystem = 0x4;
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::uint32_t kAttributeArchive = 0x20;
constexpr std::uint32_t kAttributeNormal = 0x80;
constexpr std::uint32_t kAttributeReparsePoint = 0x400;

constexpr std::size_t kMaxPath = 260;

constexpr std::uint32_t kMoveFileReplaceExisting = 0x1;

// The fields of PROCESSENTRY32W that the program reads. dwSize carries the
// size the caller claims for the native structure, as on Windows.
struct ProcessEntry {
  std::uint32_t dwSize;
  std::uint32_t th32ProcessID;
  char16_t szExeFile[kMaxPath];
};
// The size of PROCESSENTRY32W on x86, the dwSize the program passes.
constexpr std::uint32_t kProcessEntrySizeX86 = 556;

// The fields of WIN32_FIND_DATAW that the program reads.
struct FindData {
  std::uint32_t dwFileAttributes;
  char16_t cFileName[kMaxPath];
};

struct Luid {
  std::uint32_t LowPart;
  std::int32_t HighPart;
};

struct LuidAndAttributes {
  platform::Luid Luid;
  std::uint32_t Attributes;
};

// Same layout as TOKEN_PRIVILEGES with one entry: 16 bytes.
struct TokenPrivileges {
  std::uint32_t PrivilegeCount;
  LuidAndAttributes Privileges[1];
};
static_assert(sizeof(TokenPrivileges) == 16, "TOKEN_PRIVILEGES with one entry is 16 bytes");

// The fields of SHELLEXECUTEINFOW that the program sets or reads.
// cbSize is this structure's size; the backend maps it to the native size.
struct ShellExecuteInfo {
  std::uint32_t cbSize;
  std::uint32_t fMask;
  Handle hwnd;
  const char16_t* lpVerb;
  const char16_t* lpFile;
  const char16_t* lpParameters;
  const char16_t* lpDirectory;
  std::int32_t nShow;
  Handle hProcess;
};

}  // namespace platform
