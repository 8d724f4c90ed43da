#include <windows.h>

// The run is not wired in yet: exit code 1 says the job was not done.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 1; }
