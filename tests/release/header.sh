#!/usr/bin/env bash
# The C header of client_launch.dll as client toolchains read it: C99 and C++
# with mingw, and C and C++ as Visual C++ reads them (clang in its MSVC mode),
# on x86 and x64, warnings as errors.
set -euo pipefail
header=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/use.c" <<'C'
#include "client_launch.h"
kl_code use(const kl_char* s, kl_char* line, uint32_t size) {
  const kl_char* names[1];
  uint32_t needed = 0, refused = KL_NO_NAME;
  names[0] = s;
  if (KlStageFile(s, s) != KL_OK) return KL_FAILED_COPY;
  if (KlBuildUpdateLine(s, names, 1, line, size, &needed, &refused) != KL_OK) {
    return KlCodeText(KL_REFUSED_BAR, line, size, &needed);
  }
  if (KlBuildCleanCacheLine(s, line, size, NULL) != KL_OK) return KL_START_FAILED;
  return KlStartUpdater(line);
}
C
cp "$work/use.c" "$work/use.cpp"
inc=(-I "$(dirname "$header")")
for cc in i686-w64-mingw32-gcc-win32 x86_64-w64-mingw32-gcc-posix; do
  "$cc" -std=c99 -pedantic -Wall -Wextra -Werror -fsyntax-only "${inc[@]}" "$work/use.c"
done
for cxx in i686-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++-posix; do
  "$cxx" -std=c++17 -pedantic -Wall -Wextra -Werror -fsyntax-only "${inc[@]}" "$work/use.cpp"
done
for target in i686-pc-windows-msvc x86_64-pc-windows-msvc; do
  for lang in c c++; do
    clang --target=$target -fms-compatibility -ffreestanding -x $lang -Wall -Wextra -Werror \
      -fsyntax-only "${inc[@]}" "$work/use.c"
  done
done
echo "the header compiles as C99 and C++ with mingw and in clang's MSVC mode, x86 and x64"
