// The trivial exe whose start-up under Wine the updater's whole run is set against.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
