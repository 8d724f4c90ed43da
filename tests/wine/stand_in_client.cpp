// Stands in for the real client: notes that it started, then stays alive
// until it is ended. The note lets tests see which instances ran, and where.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t cwd[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, cwd);
  const std::wstring note = std::wstring(cwd) + L"\\KelvoClient.started";
  const HANDLE h = ::CreateFileW(note.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    const std::string line = "started " + std::to_string(::GetCurrentProcessId()) + "\n";
    DWORD written = 0;
    ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(h);
  }
  for (;;) ::Sleep(INFINITE);
}
