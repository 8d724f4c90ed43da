#include "platform/platform.h"
#include "sysops/sysops.h"

namespace {

constexpr std::uint32_t kTokenAdjustPrivilegesAndQuery = 0x28;
constexpr char16_t kDebugPrivilegeName[] = u"SeDebugPrivilege";
constexpr std::uint32_t kPrivilegeEnabled = 0x2;
constexpr std::uint32_t kSnapProcess = 0x2;
// PROCESS_ALL_ACCESS as Windows XP defines it: newer values are refused there.
constexpr std::uint32_t kProcessAllAccessXp = 0x1F0FFF;
constexpr std::uint32_t kClientExitCode = 0;
constexpr std::uint32_t kWaitAfterTerminateMs = 5000;

bool SameImageName(const char16_t* exe_file, const char16_t* name) {
  return WideString(exe_file) == name;
}

}  // namespace

void EnableDebugPrivilege() {
  platform::Handle token = platform::kNullHandle;
  if (!platform::OpenProcessToken(platform::GetCurrentProcess(), kTokenAdjustPrivilegesAndQuery,
                                  &token)) {
    return;
  }

  platform::TokenPrivileges request{};
  request.PrivilegeCount = 1;
  request.Privileges[0].Attributes = kPrivilegeEnabled;
  if (platform::LookupPrivilegeValueW(nullptr, kDebugPrivilegeName, &request.Privileges[0].Luid)) {
    platform::AdjustTokenPrivileges(token, platform::kFalse, &request, sizeof(request), nullptr,
                                    nullptr);
  }
  platform::CloseHandle(token);
}

ProcessHandleList FindProcessesByName(const char16_t* name) {
  ProcessHandleList list;
  const platform::Handle snapshot = platform::CreateToolhelp32Snapshot(kSnapProcess, 0);
  if (snapshot == platform::kInvalidHandle) return list;

  platform::ProcessEntry entry{};
  entry.dwSize = platform::kProcessEntrySizeX86;
  if (platform::Process32FirstW(snapshot, &entry)) {
    do {
      if (SameImageName(entry.szExeFile, name)) {
        list.push_back(
            platform::OpenProcess(kProcessAllAccessXp, platform::kFalse, entry.th32ProcessID));
      }
    } while (platform::Process32NextW(snapshot, &entry) == platform::kTrue);
  }
  platform::CloseHandle(snapshot);
  return list;
}

void TerminateClientProcesses(const char16_t* name) {
  for (const platform::Handle process : FindProcessesByName(name)) {
    if (process == platform::kNullHandle) continue;
    if (platform::TerminateProcess(process, kClientExitCode)) {
      platform::WaitForSingleObject(process, kWaitAfterTerminateMs);
    }
    platform::CloseHandle(process);
  }
}
