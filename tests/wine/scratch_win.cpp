#include <windows.h>

#include <string>
#include <vector>

#include "support/backend.h"
#include "support/scratch.h"
#include "support/text.h"

namespace scratch {
namespace {

constexpr auto W = &test::Wide;

WideString U(const wchar_t* s) { return WideString(reinterpret_cast<const char16_t*>(s)); }

}  // namespace

WideString MakeFolder() {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  static unsigned counter = 0;
  for (;;) {
    const std::wstring name = std::wstring(temp) + L"updater-contract-" +
                              std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++counter);
    if (::CreateDirectoryW(name.c_str(), nullptr)) return U(name.c_str());
  }
}

void RemoveFolder(const WideString& folder) {
  WIN32_FIND_DATAW d;
  const HANDLE h = ::FindFirstFileW(W(folder + u"\\*"), &d);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const WideString name = U(d.cFileName);
      if (name == u"." || name == u"..") continue;
      const WideString path = folder + u"\\" + name;
      ::SetFileAttributesW(W(path), FILE_ATTRIBUTE_NORMAL);
      if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveFolder(path);
      } else {
        ::DeleteFileW(W(path));
      }
    } while (::FindNextFileW(h, &d));
    ::FindClose(h);
  }
  ::SetFileAttributesW(W(folder), FILE_ATTRIBUTE_NORMAL);
  ::RemoveDirectoryW(W(folder));
}

bool WriteFile(const WideString& path, const std::string& content) {
  const HANDLE h = ::CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok =
      ::WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  ::CloseHandle(h);
  return ok && written == content.size();
}

std::optional<std::string> ReadFile(const WideString& path) {
  const HANDLE h = ::CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string content;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got > 0)
    content.append(buffer, got);
  ::CloseHandle(h);
  return content;
}

}  // namespace scratch

namespace backend {
void ResetPlatform() {}
}  // namespace backend
