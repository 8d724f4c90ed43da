// Imports only system DLLs but names SetDefaultDllDirectories statically,
// which would keep the exe from starting where the call does not exist.
#define _WIN32_WINNT 0x0602
#include <windows.h>

int main(int argc, char**) {
  if (argc > 5) ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return 0;
}
