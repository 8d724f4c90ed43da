// The platform seam: every Windows call the program makes, one function each,
// named after the call, with portable types. The Windows backend forwards to
// the real API; the host tests link a simulated Windows instead.
#pragma once

#include "platform/types.h"

namespace platform {

// kernel32: command line and processes
const char16_t* GetCommandLineW();
Handle GetCurrentProcess();
Handle CreateToolhelp32Snapshot(std::uint32_t flags, std::uint32_t processId);
Bool Process32FirstW(Handle snapshot, ProcessEntry* entry);
Bool Process32NextW(Handle snapshot, ProcessEntry* entry);
Handle OpenProcess(std::uint32_t access, Bool inheritHandle, std::uint32_t processId);
Bool TerminateProcess(Handle process, std::uint32_t exitCode);
std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds);
Bool CloseHandle(Handle object);

// kernel32: files and folders (security attributes are always default)
std::uint32_t GetFileAttributesW(const char16_t* path);
Bool SetFileAttributesW(const char16_t* path, std::uint32_t attributes);
Bool CreateDirectoryW(const char16_t* path);
Bool CopyFileW(const char16_t* existing, const char16_t* target, Bool failIfExists);
Bool DeleteFileW(const char16_t* path);
Bool MoveFileExW(const char16_t* existing, const char16_t* target, std::uint32_t flags);
Handle FindFirstFileW(const char16_t* pattern, FindData* data);
Bool FindNextFileW(Handle search, FindData* data);
Bool FindClose(Handle search);

// kernel32: loader. Returns kFalse where the call does not exist.
Bool SetDefaultDllDirectories(std::uint32_t flags);

// advapi32
Bool OpenProcessToken(Handle process, std::uint32_t access, Handle* token);
Bool LookupPrivilegeValueW(const char16_t* systemName, const char16_t* name, Luid* luid);
Bool AdjustTokenPrivileges(Handle token, Bool disableAll, const TokenPrivileges* newState,
                           std::uint32_t bufferLength, TokenPrivileges* previousState,
                           std::uint32_t* returnLength);

// shell32 / shlwapi. `path` is a buffer of kMaxPath code units.
std::int32_t SHGetFolderPathW(Handle owner, std::int32_t folder, Handle token, std::uint32_t flags,
                              char16_t* path);
Bool PathAppendW(char16_t* path, const char16_t* more);
Bool ShellExecuteExW(ShellExecuteInfo* info);
std::intptr_t ShellExecuteW(Handle owner, const char16_t* verb, const char16_t* file,
                            const char16_t* parameters, const char16_t* directory,
                            std::int32_t showCommand);

// user32
std::int32_t MessageBoxW(Handle owner, const char16_t* text, const char16_t* caption,
                         std::uint32_t type);
std::intptr_t DefWindowProcW(Handle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam);

// ole32
std::int32_t CoInitialize(const void* reserved);
void CoUninitialize();

}  // namespace platform
