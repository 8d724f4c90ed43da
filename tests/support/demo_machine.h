// The simulated machine most host tests start from: user "demo" with the
// default roaming folder, and the client installed in C:\Kelvo.
#pragma once

#include <string>

#include "sim/sim.h"

namespace demo {

constexpr char16_t kRoaming[] = u"C:\\Users\\demo\\AppData\\Roaming";
constexpr char16_t kClientRoot[] = u"C:\\Users\\demo\\AppData\\Roaming\\KelvoClient";
constexpr char16_t kStaging[] = u"C:\\Users\\demo\\AppData\\Roaming\\KelvoClient\\UPDATE_TEMP";
constexpr char16_t kCache[] = u"C:\\Users\\demo\\AppData\\Roaming\\KelvoClient\\AppCache\\Cache\\";

inline WideString StagedFile(const WideString& name) { return kStaging + (u"\\" + name); }
inline WideString CachedFile(const WideString& name) { return kCache + name; }
// A path as the final path of a handle gives it.
inline WideString Real(const WideString& path) { return u"\\\\?\\" + path; }

// The roaming folder, and C:\Kelvo holding the client.
inline void InstallClient(const std::string& client = "client") {
  sim::AddFolder(kRoaming);
  sim::AddFolder(u"C:\\Kelvo");
  sim::AddFile(u"C:\\Kelvo\\KelvoClient.exe", client);
}

// A staged file, with the client root and staging folder it needs.
inline void Stage(const WideString& name, const std::string& content,
                  std::uint32_t attributes = platform::kAttributeArchive) {
  sim::AddFolder(kClientRoot);
  sim::AddFolder(kStaging);
  sim::AddFile(StagedFile(name), content, attributes);
}

inline void MakeCacheFolder() {
  sim::AddFolder(kClientRoot);
  sim::AddFolder(WideString(kClientRoot) + u"\\AppCache");
  sim::AddFolder(kCache);
}

}  // namespace demo
