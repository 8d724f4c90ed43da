#!/usr/bin/env bash
# Visual C++'s way to the DLL: a C client compiled as Visual C++ compiles it
# (clang in its MSVC mode), linked by an MSVC-compatible linker (lld-link)
# against client_launch.lib, imports each function of the header from
# client_launch.dll under its plain name.
#   msvc_import.sh HEADER IMPORT_LIB x86|x64
set -euo pipefail
header=$1 lib=$2 arch=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
case $arch in
  x86) target=i686-pc-windows-msvc machine=x86 ;;
  x64) target=x86_64-pc-windows-msvc machine=x64 ;;
esac
cat >"$work/client.c" <<'C'
#include "client_launch.h"
int Release(kl_char* text);
int mainCRTStartup(void) {
  static kl_char text[8];
  uint32_t needed = 0, refused = 0;
  const kl_char* names[1];
  names[0] = text;
  return KlStageFile(text, text) + KlBuildUpdateLine(text, names, 1, text, 8, &needed, &refused) +
         KlBuildCleanCacheLine(text, text, 8, &needed) + KlStartUpdater(text) +
         KlCodeText(KL_OK, text, 8, &needed) + Release(text);
}
C
cat >"$work/release.c" <<'C'
#include "client_launch.h"
static int32_t KL_CALL On(uint64_t done, uint64_t total, void* context) {
  return done <= total && context == 0;
}
int Release(kl_char* text) {
  kl_release* release = 0;
  uint32_t needed = 0, refused = 0, count = 0;
  uint64_t bytes = 0, total = 0;
  int32_t state = 0;
  int64_t turn = 0;
  return KlCheckRelease(text, 0, text, text, text, text, &release, &refused) +
         KlCheckReleaseAs(text, 0, text, text, text, text, text, &release, &refused) +
         KlReleaseVersion(release, text, 8, &needed) + KlReleaseSizes(release, &count, &bytes, &total) +
         KlReleaseFileSizes(release, &bytes, &total) +
         KlCheckReleaseWith(text, 0, text, text, text, text, text, KL_CHECK_EARLY, &release, &refused) +
         KlReleaseRollout(release, &state, &turn) +
         KlReleaseChangedFile(release, 0, text, 8, &needed, &bytes) +
         KlFetchRelease(release, On, 0, &refused) + KlApplyRelease(release, &refused) +
         KlFreeRelease(release);
}
C
clang --target=$target -fms-compatibility -ffreestanding -Wall -Werror -I "$(dirname "$header")" \
  -c "$work/client.c" -o "$work/client.obj"
clang --target=$target -fms-compatibility -ffreestanding -Wall -Werror -I "$(dirname "$header")" \
  -c "$work/release.c" -o "$work/release.obj"
lld-link /nologo /entry:mainCRTStartup /subsystem:console /nodefaultlib /machine:$machine \
  "$work/client.obj" "$work/release.obj" "$lib" /out:"$work/client.exe"
imported=$(llvm-readobj --coff-imports "$work/client.exe" |
  awk '/Name:/ {dll = $2} /Symbol:/ && dll == "client_launch.dll" {print $2}' | sort | tr '\n' ' ')
declared=$(grep -oE '^kl_code KL_CALL \w+' "$header" | awk '{print $3}' | sort | tr '\n' ' ')
if [ "$imported" != "$declared" ]; then
  echo "FAIL: imports [$imported] from client_launch.dll, the header declares [$declared]"
  exit 1
fi
echo "an MSVC-mode $arch client links client_launch.lib and imports $imported"
