/* A client written in C that updates itself through client_launch.dll, linked
 * by its import library: notes each start in KelvoClient.started and, with
 * /update-from DIR, stages the files of DIR, starts the updater and notes the
 * outcome in KelvoClient.launch. Then runs until the updater ends it. */
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include "capi/client_launch.h"

#define MAX_NAMES 64

static wchar_t own_folder[MAX_PATH];

static void note(const wchar_t* file, const char* text) {
  wchar_t path[MAX_PATH];
  swprintf(path, MAX_PATH, L"%ls\\%ls", own_folder, file);
  HANDLE h = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(h, text, (DWORD)strlen(text), &written, NULL);
  CloseHandle(h);
}

/* What the library said, with its own text for the code. */
static void note_code(const char* what, kl_code code, uint32_t name) {
  wchar_t text[256];
  uint32_t needed = 0;
  char line[512];
  if (KlCodeText(code, text, 256, &needed) != KL_OK) wcscpy(text, L"?");
  snprintf(line, sizeof line, "%s: code %d, name %ld: %ls\n", what, (int)code,
           name == KL_NO_NAME ? -1L : (long)name, text);
  note(L"KelvoClient.launch", line);
}

static void update_from(const wchar_t* dir) {
  static wchar_t names[MAX_NAMES][MAX_PATH];
  const kl_char* list[MAX_NAMES];
  uint32_t count = 0;
  wchar_t pattern[MAX_PATH], source[MAX_PATH], updater[MAX_PATH];
  WIN32_FIND_DATAW data;
  swprintf(pattern, MAX_PATH, L"%ls\\*", dir);
  HANDLE search = FindFirstFileW(pattern, &data);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || count == MAX_NAMES) continue;
      wcscpy(names[count], data.cFileName);
      swprintf(source, MAX_PATH, L"%ls\\%ls", dir, data.cFileName);
      const kl_code staged = KlStageFile(source, names[count]);
      if (staged != KL_OK) {
        FindClose(search);
        note_code("staging failed", staged, count);
        return;
      }
      list[count] = names[count];
      ++count;
    } while (FindNextFileW(search, &data));
    FindClose(search);
  }

  swprintf(updater, MAX_PATH, L"%ls\\updater.exe", own_folder);
  /* Asked for the size first, as a client in any language may. */
  uint32_t needed = 0, refused = KL_NO_NAME;
  kl_code code = KlBuildUpdateLine(updater, list, count, NULL, 0, &needed, &refused);
  if (code != KL_BUFFER_TOO_SMALL) {
    note_code("refused the list", code, refused);
    return;
  }
  wchar_t* line = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, needed * sizeof(wchar_t));
  if (!line) return;
  code = KlBuildUpdateLine(updater, list, count, line, needed, &needed, &refused);
  if (code == KL_OK) code = KlStartUpdater(line);
  HeapFree(GetProcessHeap(), 0, line);
  note_code(code == KL_OK ? "started the updater" : "the updater did not start", code, refused);
}

static int32_t KL_CALL on_progress(uint64_t done, uint64_t total, void* context) {
  (void)context;
  return done <= total;
}

/* Check, fetch, apply through the handle, as a client in any language would. */
static void update_release(const wchar_t* source, const wchar_t* key) {
  kl_release* release = NULL;
  uint32_t file = KL_NO_NAME, changed = 0;
  uint64_t bytes = 0, total = 0;
  kl_code code = KlCheckReleaseAs(source, NULL, key, L"KelvoClient", own_folder, L"1.0",
                                  L"KelvoClientC/1.0", &release, &file);
  if (code != KL_OK) {
    note_code("check", code, file);
    return;
  }
  KlReleaseSizes(release, &changed, &bytes, &total);
  char line[128];
  snprintf(line, sizeof line, "fetching %lu files, %llu of %llu bytes\n", (unsigned long)changed,
           (unsigned long long)bytes, (unsigned long long)total);
  note(L"KelvoClient.launch", line);
  code = KlFetchRelease(release, on_progress, NULL, &file);
  if (code == KL_OK) {
    code = KlApplyRelease(release, &file);
    note_code(code == KL_OK ? "started the updater" : "apply", code, file);
  } else {
    note_code("fetch", code, file);
  }
  KlFreeRelease(release);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
  (void)instance;
  (void)previous;
  (void)command_line;
  (void)show;
  GetModuleFileNameW(NULL, own_folder, MAX_PATH);
  wchar_t* last = wcsrchr(own_folder, L'\\');
  if (last) *last = 0;
  char started[64];
  snprintf(started, sizeof started, "started %lu c-1.0\n", GetCurrentProcessId());
  note(L"KelvoClient.started", started);

  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv && argc >= 3 && wcscmp(argv[1], L"/update-from") == 0) update_from(argv[2]);
  if (argv && argc >= 4 && wcscmp(argv[1], L"/update-release") == 0) {
    update_release(argv[2], argv[3]);
  }
  for (;;) Sleep(INFINITE);
}
