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
// Security attributes and template are always null.
Handle CreateFileW(const char16_t* path, std::uint32_t access, std::uint32_t shareMode,
                   std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes);
Bool ReadFile(Handle file, void* buffer, std::uint32_t size, std::uint32_t* read);
Bool WriteFile(Handle file, const void* buffer, std::uint32_t size, std::uint32_t* written);
Bool FlushFileBuffers(Handle file);
// `info` receives the FileBasicInfo or FileStandardInfo of `infoClass`.
Bool GetFileInformationByHandleEx(Handle file, FileInfoClass infoClass, void* info,
                                  std::uint32_t size);
std::uint32_t GetFinalPathNameByHandleW(Handle file, char16_t* path, std::uint32_t size,
                                        std::uint32_t flags);
// `info` points to the FileBasicInfo or FileDispositionInfo of `infoClass`.
Bool SetFileInformationByHandle(Handle file, FileInfoClass infoClass, const void* info,
                                std::uint32_t size);
std::uint32_t GetCurrentDirectoryW(std::uint32_t size, char16_t* buffer);

// kernel32: file mappings, unnamed, with default security. A maximum size of
// 0 maps the file as it is; a larger one of a writable mapping extends it.
// CreateFileMappingW fails with a null handle.
Handle CreateFileMappingW(Handle file, std::uint32_t protect, std::uint64_t maximumSize);
void* MapViewOfFile(Handle mapping, std::uint32_t access, std::uint64_t offset, std::size_t size);
Bool UnmapViewOfFile(const void* address);

// ntdll. Opens `name` below the folder that `root` is a handle to, never
// through a path from the top: no allocation size, file attributes or
// extended attributes, and the name is looked up ignoring case. NTSTATUS.
std::int32_t NtCreateFile(Handle* file, std::uint32_t access, Handle root, const char16_t* name,
                          std::uint32_t shareAccess, std::uint32_t createDisposition,
                          std::uint32_t createOptions);

// kernel32: strings
std::int32_t CompareStringOrdinal(const char16_t* a, std::int32_t lengthA, const char16_t* b,
                                  std::int32_t lengthB, Bool ignoreCase);

// kernel32: loader. Returns kFalse where the call does not exist.
Bool SetDefaultDllDirectories(std::uint32_t flags);
Bool SetDllDirectoryW(const char16_t* path);

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

// kernel32: time. 100 ns units since 1601-01-01, UTC (a FILETIME).
std::uint64_t GetSystemTimeAsFileTime();
// Milliseconds since the system started: the clock for transfer rates.
std::uint64_t GetTickCount64();

// bcrypt (CNG). NTSTATUS results. Hash objects and keys are kept by CNG
// (no caller buffer), padding and flags are none.
std::int32_t BCryptOpenAlgorithmProvider(Handle* algorithm, const char16_t* id);
std::int32_t BCryptCloseAlgorithmProvider(Handle algorithm);
std::int32_t BCryptCreateHash(Handle algorithm, Handle* hash);
std::int32_t BCryptHashData(Handle hash, const void* data, std::uint32_t size);
std::int32_t BCryptFinishHash(Handle hash, std::uint8_t* digest, std::uint32_t size);
std::int32_t BCryptDestroyHash(Handle hash);
std::int32_t BCryptImportKeyPair(Handle algorithm, const char16_t* blobType, Handle* key,
                                 const std::uint8_t* blob, std::uint32_t size);
std::int32_t BCryptVerifySignature(Handle key, const std::uint8_t* hash, std::uint32_t hashSize,
                                   const std::uint8_t* signature, std::uint32_t signatureSize);
std::int32_t BCryptDestroyKey(Handle key);
// Random bytes from the system's preferred generator (no algorithm handle).
std::int32_t BCryptGenRandom(std::uint8_t* buffer, std::uint32_t size);

// kernel32: the calling thread's last error.
std::uint32_t GetLastError();

// kernel32: events, unnamed, with default security.
Handle CreateEventW(Bool manualReset, Bool initialState);
Bool SetEvent(Handle event);
// kernel32: loader. `address` names the module (GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS).
Bool GetModuleHandleExW(std::uint32_t flags, const void* address, Handle* module);

// winhttp. Accept types, referrer and optional data are none, the HTTP
// version the default. One status callback for the process: the one given
// last (its flags: the completions above and the handle's closing).
Handle WinHttpOpen(const char16_t* agent, std::uint32_t accessType, const char16_t* proxy,
                   const char16_t* bypass, std::uint32_t flags);
Bool WinHttpGetIEProxyConfigForCurrentUser(IeProxyConfig* config);
void* GlobalFree(void* memory);
Handle WinHttpConnect(Handle session, const char16_t* server, std::uint16_t port);
Handle WinHttpOpenRequest(Handle connect, const char16_t* verb, const char16_t* object,
                          std::uint32_t flags);
Bool WinHttpSetTimeouts(Handle handle, std::int32_t resolve, std::int32_t connect,
                        std::int32_t send, std::int32_t receive);
Bool WinHttpSetOption(Handle handle, std::uint32_t option, const void* buffer,
                      std::uint32_t length);
Bool WinHttpSetStatusCallback(Handle handle, WinHttpStatusCallback callback);
Bool WinHttpSendRequest(Handle request, const char16_t* headers, std::uint32_t headersLength,
                        std::uintptr_t context);
Bool WinHttpReceiveResponse(Handle request);
// A number header (WINHTTP_QUERY_FLAG_NUMBER): the status code, say.
Bool WinHttpQueryHeaders(Handle request, std::uint32_t infoLevel, std::uint32_t* number);
// Asynchronous: the count comes with the completion.
Bool WinHttpQueryDataAvailable(Handle request);
Bool WinHttpReadData(Handle request, void* buffer, std::uint32_t size);
Bool WinHttpCloseHandle(Handle handle);

// ole32
std::int32_t CoInitialize(const void* reserved);
void CoUninitialize();

}  // namespace platform
