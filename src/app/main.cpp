#include <windows.h>

#include "app/entry.h"

// The build's keys and product (embedded_keys.cpp.in); no keys: unkeyed.
extern const char kEmbeddedReleaseKeys[];
extern const char kEmbeddedProduct[];

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return RunProgram(kEmbeddedReleaseKeys, kEmbeddedProduct);
}
