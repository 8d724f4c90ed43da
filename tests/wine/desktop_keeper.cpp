// Holds the Wine desktop for a test session, as a logged-on user's shell
// holds Windows' desktop. Wine closes its desktop a second after the last
// program on it ends; a program that starts while that desktop process goes
// away (seconds long in the emulated x86 guest) can be left without windows.
//   desktop_keeper.exe READY_FILE   the file is made once the desktop is held
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 2) return 2;
  // A hidden window: it needs the desktop, and takes no focus or key press.
  if (::CreateWindowExW(0, L"STATIC", L"desktop keeper", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                        nullptr, nullptr) == nullptr) {
    return 1;
  }
  HANDLE ready = ::CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 1;
  ::CloseHandle(ready);
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
  return 0;
}
