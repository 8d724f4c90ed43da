#include <windows.h>

#include "app/entry.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return RunProgram(); }
