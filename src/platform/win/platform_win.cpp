// Windows backend of the platform seam: convert types, forward, return.
#include <windows.h>
// The other Windows headers need it first.

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstring>

#include "platform/platform.h"

namespace platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t");
static_assert(sizeof(TokenPrivileges) == sizeof(TOKEN_PRIVILEGES), "TOKEN_PRIVILEGES layout");
#if defined(_M_IX86) || defined(__i386__)
// The program hands Windows the x86 entry size; prove it is the native one.
static_assert(sizeof(PROCESSENTRY32W) == kProcessEntrySizeX86, "x86 PROCESSENTRY32W size");
#endif

const wchar_t* as_wcstr(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
wchar_t* as_wcstr(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }
const char16_t* as_u16cstr(const wchar_t* s) { return reinterpret_cast<const char16_t*>(s); }
HANDLE native(Handle h) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(h)); }
Handle portable(HANDLE h) { return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(h)); }

// The caller's dwSize is checked against the x86 size it is built for;
// a 64-bit build passes its own native size for the same structure.
DWORD NativeEntrySize(const ProcessEntry* entry) {
  return entry->dwSize == kProcessEntrySizeX86 ? sizeof(PROCESSENTRY32W) : entry->dwSize;
}

void CopyEntry(const PROCESSENTRY32W& from, ProcessEntry* to) {
  to->th32ProcessID = from.th32ProcessID;
  std::memcpy(to->szExeFile, from.szExeFile, sizeof(to->szExeFile));
}

void CopyFindData(const WIN32_FIND_DATAW& from, FindData* to) {
  to->dwFileAttributes = from.dwFileAttributes;
  std::memcpy(to->cFileName, from.cFileName, sizeof(to->cFileName));
}

}  // namespace

const char16_t* GetCommandLineW() { return as_u16cstr(::GetCommandLineW()); }
Handle GetCurrentProcess() { return portable(::GetCurrentProcess()); }

Handle CreateToolhelp32Snapshot(std::uint32_t flags, std::uint32_t processId) {
  return portable(::CreateToolhelp32Snapshot(flags, processId));
}

Bool Process32FirstW(Handle snapshot, ProcessEntry* entry) {
  PROCESSENTRY32W e{};
  e.dwSize = NativeEntrySize(entry);
  const BOOL r = ::Process32FirstW(native(snapshot), &e);
  CopyEntry(e, entry);
  return r;
}

Bool Process32NextW(Handle snapshot, ProcessEntry* entry) {
  PROCESSENTRY32W e{};
  e.dwSize = NativeEntrySize(entry);
  const BOOL r = ::Process32NextW(native(snapshot), &e);
  CopyEntry(e, entry);
  return r;
}

Handle OpenProcess(std::uint32_t access, Bool inheritHandle, std::uint32_t processId) {
  return portable(::OpenProcess(access, inheritHandle, processId));
}

Bool TerminateProcess(Handle process, std::uint32_t exitCode) {
  return ::TerminateProcess(native(process), exitCode);
}

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) {
  return ::WaitForSingleObject(native(object), milliseconds);
}

Bool CloseHandle(Handle object) { return ::CloseHandle(native(object)); }

std::uint32_t GetFileAttributesW(const char16_t* path) {
  return ::GetFileAttributesW(as_wcstr(path));
}

Bool SetFileAttributesW(const char16_t* path, std::uint32_t attributes) {
  return ::SetFileAttributesW(as_wcstr(path), attributes);
}

Bool CreateDirectoryW(const char16_t* path) { return ::CreateDirectoryW(as_wcstr(path), nullptr); }

Bool CopyFileW(const char16_t* existing, const char16_t* target, Bool failIfExists) {
  return ::CopyFileW(as_wcstr(existing), as_wcstr(target), failIfExists);
}

Bool DeleteFileW(const char16_t* path) { return ::DeleteFileW(as_wcstr(path)); }

Bool MoveFileExW(const char16_t* existing, const char16_t* target, std::uint32_t flags) {
  return ::MoveFileExW(as_wcstr(existing), as_wcstr(target), flags);
}

Handle FindFirstFileW(const char16_t* pattern, FindData* data) {
  WIN32_FIND_DATAW d{};
  const HANDLE h = ::FindFirstFileW(as_wcstr(pattern), &d);
  CopyFindData(d, data);
  return portable(h);
}

Bool FindNextFileW(Handle search, FindData* data) {
  WIN32_FIND_DATAW d{};
  const BOOL r = ::FindNextFileW(native(search), &d);
  CopyFindData(d, data);
  return r;
}

Bool FindClose(Handle search) { return ::FindClose(native(search)); }

Handle CreateFileW(const char16_t* path, std::uint32_t access, std::uint32_t shareMode,
                   std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
  return portable(::CreateFileW(as_wcstr(path), access, shareMode, nullptr, creationDisposition,
                                flagsAndAttributes, nullptr));
}

Bool ReadFile(Handle file, void* buffer, std::uint32_t size, std::uint32_t* read) {
  DWORD n = 0;
  const BOOL r = ::ReadFile(native(file), buffer, size, &n, nullptr);
  *read = n;
  return r;
}

Bool WriteFile(Handle file, const void* buffer, std::uint32_t size, std::uint32_t* written) {
  DWORD n = 0;
  const BOOL r = ::WriteFile(native(file), buffer, size, &n, nullptr);
  *written = n;
  return r;
}

Bool FlushFileBuffers(Handle file) { return ::FlushFileBuffers(native(file)); }

Handle CreateFileMappingW(Handle file, std::uint32_t protect, std::uint64_t maximumSize) {
  return portable(::CreateFileMappingW(native(file), nullptr, protect,
                                       static_cast<DWORD>(maximumSize >> 32),
                                       static_cast<DWORD>(maximumSize), nullptr));
}

void* MapViewOfFile(Handle mapping, std::uint32_t access, std::uint64_t offset, std::size_t size) {
  return ::MapViewOfFile(native(mapping), access, static_cast<DWORD>(offset >> 32),
                         static_cast<DWORD>(offset), size);
}

Bool UnmapViewOfFile(const void* address) { return ::UnmapViewOfFile(address); }

Bool GetFileInformationByHandleEx(Handle file, FileInfoClass infoClass, void* info,
                                  std::uint32_t size) {
  switch (infoClass) {
    case FileInfoClass::Basic: {
      FILE_BASIC_INFO b{};
      if (size != sizeof(FileBasicInfo) ||
          !::GetFileInformationByHandleEx(native(file), ::FileBasicInfo, &b, sizeof(b))) {
        return FALSE;
      }
      *static_cast<FileBasicInfo*>(info) = {b.CreationTime.QuadPart, b.LastAccessTime.QuadPart,
                                            b.LastWriteTime.QuadPart, b.ChangeTime.QuadPart,
                                            b.FileAttributes};
      return TRUE;
    }
    case FileInfoClass::Standard: {
      FILE_STANDARD_INFO s{};
      if (size != sizeof(FileStandardInfo) ||
          !::GetFileInformationByHandleEx(native(file), ::FileStandardInfo, &s, sizeof(s))) {
        return FALSE;
      }
      *static_cast<FileStandardInfo*>(info) = {s.AllocationSize.QuadPart, s.EndOfFile.QuadPart,
                                               s.NumberOfLinks, s.DeletePending != 0,
                                               s.Directory != 0};
      return TRUE;
    }
    case FileInfoClass::Disposition:
      break;
  }
  return FALSE;
}

std::uint32_t GetFinalPathNameByHandleW(Handle file, char16_t* path, std::uint32_t size,
                                        std::uint32_t flags) {
  return ::GetFinalPathNameByHandleW(native(file), as_wcstr(path), size, flags);
}

Bool SetFileInformationByHandle(Handle file, FileInfoClass infoClass, const void* info,
                                std::uint32_t size) {
  switch (infoClass) {
    case FileInfoClass::Basic: {
      if (size != sizeof(FileBasicInfo)) return FALSE;
      const auto* from = static_cast<const FileBasicInfo*>(info);
      FILE_BASIC_INFO b{};
      b.CreationTime.QuadPart = from->CreationTime;
      b.LastAccessTime.QuadPart = from->LastAccessTime;
      b.LastWriteTime.QuadPart = from->LastWriteTime;
      b.ChangeTime.QuadPart = from->ChangeTime;
      b.FileAttributes = from->FileAttributes;
      return ::SetFileInformationByHandle(native(file), ::FileBasicInfo, &b, sizeof(b));
    }
    case FileInfoClass::Disposition: {
      if (size != sizeof(FileDispositionInfo)) return FALSE;
      FILE_DISPOSITION_INFO d{};
      d.DeleteFile = static_cast<const FileDispositionInfo*>(info)->Delete;
      return ::SetFileInformationByHandle(native(file), ::FileDispositionInfo, &d, sizeof(d));
    }
    case FileInfoClass::Standard:
      break;
  }
  return FALSE;
}

std::int32_t NtCreateFile(Handle* file, std::uint32_t access, Handle root, const char16_t* name,
                          std::uint32_t shareAccess, std::uint32_t createDisposition,
                          std::uint32_t createOptions) {
  const std::size_t bytes = std::char_traits<char16_t>::length(name) * sizeof(char16_t);
  if (bytes > 0xFFFE) return static_cast<std::int32_t>(0xC0000033);  // STATUS_OBJECT_NAME_INVALID
  UNICODE_STRING objectName{};
  objectName.Length = objectName.MaximumLength = static_cast<USHORT>(bytes);
  objectName.Buffer = const_cast<wchar_t*>(as_wcstr(name));
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof(attributes);
  attributes.RootDirectory = native(root);
  attributes.ObjectName = &objectName;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  IO_STATUS_BLOCK io{};
  HANDLE h = nullptr;
  const NTSTATUS status = ::NtCreateFile(&h, access, &attributes, &io, nullptr, 0, shareAccess,
                                         createDisposition, createOptions, nullptr, 0);
  *file = status >= 0 ? portable(h) : kInvalidHandle;
  return status;
}

std::uint32_t GetCurrentDirectoryW(std::uint32_t size, char16_t* buffer) {
  return ::GetCurrentDirectoryW(size, as_wcstr(buffer));
}

std::int32_t CompareStringOrdinal(const char16_t* a, std::int32_t lengthA, const char16_t* b,
                                  std::int32_t lengthB, Bool ignoreCase) {
  return ::CompareStringOrdinal(as_wcstr(a), lengthA, as_wcstr(b), lengthB, ignoreCase);
}

Bool SetDefaultDllDirectories(std::uint32_t flags) {
  // Looked up at run time: the exe must still start where the call is missing.
  using Fn = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  const FARPROC proc = kernel ? ::GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
  if (!proc) return FALSE;
  Fn fn;
  std::memcpy(&fn, &proc, sizeof(fn));
  return fn(flags);
}

Bool SetDllDirectoryW(const char16_t* path) { return ::SetDllDirectoryW(as_wcstr(path)); }

Bool OpenProcessToken(Handle process, std::uint32_t access, Handle* token) {
  HANDLE t = nullptr;
  const BOOL r = ::OpenProcessToken(native(process), access, &t);
  *token = portable(t);
  return r;
}

Bool LookupPrivilegeValueW(const char16_t* systemName, const char16_t* name, Luid* luid) {
  LUID l{};
  const BOOL r = ::LookupPrivilegeValueW(as_wcstr(systemName), as_wcstr(name), &l);
  luid->LowPart = l.LowPart;
  luid->HighPart = l.HighPart;
  return r;
}

Bool AdjustTokenPrivileges(Handle token, Bool disableAll, const TokenPrivileges* newState,
                           std::uint32_t bufferLength, TokenPrivileges* previousState,
                           std::uint32_t* returnLength) {
  TOKEN_PRIVILEGES request{};
  std::memcpy(&request, newState, sizeof(request));
  TOKEN_PRIVILEGES previous{};
  DWORD length = 0;
  const BOOL r = ::AdjustTokenPrivileges(native(token), disableAll, &request, bufferLength,
                                         previousState ? &previous : nullptr,
                                         returnLength ? &length : nullptr);
  if (previousState) std::memcpy(previousState, &previous, sizeof(previous));
  if (returnLength) *returnLength = length;
  return r;
}

std::int32_t SHGetFolderPathW(Handle owner, std::int32_t folder, Handle token, std::uint32_t flags,
                              char16_t* path) {
  return ::SHGetFolderPathW(reinterpret_cast<HWND>(native(owner)), folder, native(token), flags,
                            as_wcstr(path));
}

Bool PathAppendW(char16_t* path, const char16_t* more) {
  return ::PathAppendW(as_wcstr(path), as_wcstr(more));
}

Bool ShellExecuteExW(ShellExecuteInfo* info) {
  SHELLEXECUTEINFOW native_info{};
  native_info.cbSize = info->cbSize == sizeof(ShellExecuteInfo) ? sizeof(native_info) : 0;
  native_info.fMask = info->fMask;
  native_info.hwnd = reinterpret_cast<HWND>(native(info->hwnd));
  native_info.lpVerb = as_wcstr(info->lpVerb);
  native_info.lpFile = as_wcstr(info->lpFile);
  native_info.lpParameters = as_wcstr(info->lpParameters);
  native_info.lpDirectory = as_wcstr(info->lpDirectory);
  native_info.nShow = info->nShow;
  const BOOL r = ::ShellExecuteExW(&native_info);
  info->hProcess = portable(native_info.hProcess);
  return r;
}

std::intptr_t ShellExecuteW(Handle owner, const char16_t* verb, const char16_t* file,
                            const char16_t* parameters, const char16_t* directory,
                            std::int32_t showCommand) {
  return reinterpret_cast<std::intptr_t>(
      ::ShellExecuteW(reinterpret_cast<HWND>(native(owner)), as_wcstr(verb), as_wcstr(file),
                      as_wcstr(parameters), as_wcstr(directory), showCommand));
}

std::int32_t MessageBoxW(Handle owner, const char16_t* text, const char16_t* caption,
                         std::uint32_t type) {
  return ::MessageBoxW(reinterpret_cast<HWND>(native(owner)), as_wcstr(text), as_wcstr(caption),
                       type);
}

std::intptr_t DefWindowProcW(Handle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) {
  return ::DefWindowProcW(reinterpret_cast<HWND>(native(window)), message, wParam, lParam);
}

std::int32_t CoInitialize(const void* reserved) {
  return ::CoInitialize(const_cast<void*>(reserved));
}

void CoUninitialize() { ::CoUninitialize(); }

std::uint32_t GetLastError() { return ::GetLastError(); }

}  // namespace platform
