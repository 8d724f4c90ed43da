// The updater's start-up and shutdown without its run: the same DLLs loaded,
// COM initialised, the one DefWindowProcW call. Separates what loading costs
// from what ending and starting the client costs.
#include <windows.h>
// The other Windows headers need it first.

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int argc_unused) {
  ::CoInitialize(nullptr);
  ::DefWindowProcW(nullptr, WM_NULL, 0, 0);
  if (argc_unused == 12345) {  // never true: keeps the shell imports
    wchar_t path[MAX_PATH];
    ::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, path);
    ::PathAppendW(path, L"x");
    ::ShellExecuteW(nullptr, L"open", path, nullptr, nullptr, SW_SHOWNORMAL);
  }
  ::CoUninitialize();
  return 0;
}
