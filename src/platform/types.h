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
constexpr std::uint32_t kMoveFileWriteThrough = 0x8;

// CreateFileW: access, sharing, disposition, flags.
constexpr std::uint32_t kGenericRead = 0x80000000u;
constexpr std::uint32_t kGenericWrite = 0x40000000u;
constexpr std::uint32_t kDelete = 0x10000;
// Alone (without GENERIC_WRITE), every write goes to the end of the file.
constexpr std::uint32_t kFileAppendData = 0x4;
constexpr std::uint32_t kFileReadAttributes = 0x80;
constexpr std::uint32_t kFileWriteAttributes = 0x100;
constexpr std::uint32_t kFileShareRead = 0x1;
constexpr std::uint32_t kFileShareWrite = 0x2;
constexpr std::uint32_t kFileShareDelete = 0x4;
constexpr std::uint32_t kCreateNew = 1;
constexpr std::uint32_t kCreateAlways = 2;
constexpr std::uint32_t kOpenExisting = 3;
constexpr std::uint32_t kOpenAlways = 4;
constexpr std::uint32_t kFileFlagBackupSemantics = 0x02000000;
constexpr std::uint32_t kFileFlagOpenReparsePoint = 0x00200000;
constexpr std::uint32_t kFileFlagSequentialScan = 0x08000000;
// Removed with its last handle, also when the process ends without closing it.
constexpr std::uint32_t kFileFlagDeleteOnClose = 0x04000000;
// Opened where another handle's sharing forbids it, or with sharing that one's access needs.
constexpr std::uint32_t kErrorSharingViolation = 32;
// CreateFileMappingW's protection and MapViewOfFile's access.
constexpr std::uint32_t kPageReadOnly = 0x02;
constexpr std::uint32_t kPageReadWrite = 0x04;
constexpr std::uint32_t kFileMapWrite = 0x2;
constexpr std::uint32_t kFileMapRead = 0x4;
constexpr std::uint32_t kFileListDirectory = 0x1;
constexpr std::uint32_t kFileTraverse = 0x20;
constexpr std::uint32_t kSynchronize = 0x100000;

// NtCreateFile: disposition, options, and the statuses the simulation gives.
constexpr std::uint32_t kFileOpen = 1;
constexpr std::uint32_t kFileSynchronousIoNonalert = 0x20;
constexpr std::uint32_t kFileNonDirectoryFile = 0x40;
constexpr std::uint32_t kFileOpenReparsePoint = 0x00200000;
constexpr std::int32_t kStatusSuccess = 0;
constexpr std::int32_t kStatusInvalidSignature = static_cast<std::int32_t>(0xC000A000);
// CNG names, blob types and the magic of a P-256 ECDSA public key blob
// (BCRYPT_ECCKEY_BLOB: magic, key size, then X and Y).
constexpr char16_t kBcryptSha256[] = u"SHA256";
constexpr char16_t kBcryptEcdsaP256[] = u"ECDSA_P256";
constexpr char16_t kBcryptEccPublicBlob[] = u"ECCPUBLICBLOB";
constexpr std::uint32_t kBcryptEcdsaPublicP256Magic = 0x31534345;
// WinHTTP.
constexpr std::uint32_t kWinHttpAccessTypeDefaultProxy = 0;
constexpr std::uint32_t kWinHttpAccessTypeAutomaticProxy = 4;
constexpr std::uint32_t kWinHttpAccessTypeNamedProxy = 3;
// WINHTTP_CURRENT_USER_IE_PROXY_CONFIG: the proxy the user set in Windows'
// settings. Each string is the caller's to GlobalFree.
struct IeProxyConfig {
  Bool fAutoDetect;
  char16_t* lpszAutoConfigUrl;
  char16_t* lpszProxy;
  char16_t* lpszProxyBypass;
};
constexpr std::uint32_t kWinHttpFlagSecure = 0x00800000;
constexpr std::uint32_t kWinHttpQueryStatusCode = 19;
constexpr std::uint32_t kWinHttpQueryFlagNumber = 0x20000000;
constexpr std::uint32_t kWinHttpOptionRedirectPolicy = 88;
constexpr std::uint32_t kWinHttpRedirectPolicyDisallowHttpsToHttp = 1;
constexpr std::uint32_t kWinHttpFlagAsync = 0x10000000;
constexpr std::uint32_t kWinHttpOptionContextValue = 45;
// Status callbacks: the completions waited for, and the handle's last call.
constexpr std::uint32_t kWinHttpStatusHandleClosing = 0x00000800;
constexpr std::uint32_t kWinHttpStatusHeadersAvailable = 0x00020000;
constexpr std::uint32_t kWinHttpStatusDataAvailable = 0x00040000;
constexpr std::uint32_t kWinHttpStatusReadComplete = 0x00080000;
constexpr std::uint32_t kWinHttpStatusRequestError = 0x00200000;
constexpr std::uint32_t kWinHttpStatusSendRequestComplete = 0x00400000;
constexpr std::uint32_t kErrorWinHttpOperationCancelled = 12017;
// WINHTTP_ASYNC_RESULT: which call failed, and its error.
struct WinHttpAsyncResult {
  std::uintptr_t result;
  std::uint32_t error;
};
// Called on a thread of WinHTTP's, or on the caller's within a call. `info`
// is a WinHttpAsyncResult for a request error.
using WinHttpStatusCallback = void (*)(Handle handle, std::uintptr_t context, std::uint32_t status,
                                       const void* info, std::uint32_t length);
constexpr std::uint32_t kGetModuleHandleExPin = 0x1;
constexpr std::uint32_t kGetModuleHandleExFromAddress = 0x4;
constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 0x102;
constexpr std::uint32_t kErrorWinHttpTimeout = 12002;
// Winsock errors that Wine's WinHTTP passes on where Windows says 12002/12030.
constexpr std::uint32_t kWsaTimedOut = 10060;
constexpr std::uint32_t kWsaConnReset = 10054;
constexpr std::uint32_t kWsaConnRefused = 10061;
constexpr std::uint32_t kErrorWinHttpNameNotResolved = 12007;
constexpr std::uint32_t kErrorWinHttpCannotConnect = 12029;
constexpr std::uint32_t kErrorWinHttpConnectionError = 12030;
constexpr std::uint32_t kErrorWinHttpSecureFailure = 12175;
constexpr std::uint32_t kErrorWinHttpRedirectFailed = 12156;
// The certificate and handshake failures WinHTTP reports besides 12175:
// date, name, unknown CA, client certificate wanted, revocation, channel.
constexpr std::uint32_t kErrorWinHttpTlsFailures[] = {12037, 12038, 12044, 12045, 12057,
                                                      12157, 12169, 12170, 12175, 12179};
constexpr std::int32_t kStatusAccessDenied = static_cast<std::int32_t>(0xC0000022);
constexpr std::int32_t kStatusObjectNameNotFound = static_cast<std::int32_t>(0xC0000034);
constexpr std::int32_t kStatusSharingViolation = static_cast<std::int32_t>(0xC0000043);
constexpr std::int32_t kStatusFileIsADirectory = static_cast<std::int32_t>(0xC00000BA);

// GetFinalPathNameByHandleW: long names in their case on disk, with a drive letter.
constexpr std::uint32_t kFileNameNormalized = 0x0;

// CompareStringOrdinal results.
constexpr std::int32_t kCstrLessThan = 1;
constexpr std::int32_t kCstrEqual = 2;
constexpr std::int32_t kCstrGreaterThan = 3;

// Get/SetFileInformationByHandle(Ex): the classes the program asks for or
// sets, with their structures; the backend maps each to the native one.
enum class FileInfoClass : std::int32_t { Basic = 0, Standard = 1, Disposition = 4 };
struct FileBasicInfo {
  std::int64_t CreationTime;  // times of 0 are left as they are
  std::int64_t LastAccessTime;
  std::int64_t LastWriteTime;
  std::int64_t ChangeTime;
  std::uint32_t FileAttributes;  // 0 leaves them as they are
};
struct FileStandardInfo {
  std::int64_t AllocationSize;
  std::int64_t EndOfFile;
  std::uint32_t NumberOfLinks;
  bool DeletePending;
  bool Directory;
};
// FILE_DISPOSITION_INFO; its field is named apart from the DeleteFile macro.
struct FileDispositionInfo {
  bool Delete;
};

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
