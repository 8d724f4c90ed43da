#include <string>

#include "sim/sim.h"
#include "support/backend.h"
#include "support/scratch.h"

namespace scratch {

WideString MakeFolder() {
  static int counter = 0;
  const std::string n = std::to_string(++counter);
  const WideString folder = u"C:\\scratch\\" + WideString(n.begin(), n.end());
  sim::AddFolder(u"C:\\scratch");
  sim::AddFolder(folder);
  return folder;
}

void RemoveFolder(const WideString& folder) {
  // The next test's Reset() wipes the volume; an explicit sweep is not needed.
  (void)folder;
}

bool WriteFile(const WideString& path, const std::string& content) {
  sim::Node* existing = sim::Find(path);
  if (existing) {
    existing->content = content;
  } else {
    sim::AddFile(path, content);
  }
  return true;
}

std::optional<std::string> ReadFile(const WideString& path) { return sim::ContentOf(path); }

}  // namespace scratch

namespace backend {
void ResetPlatform() { sim::Reset(); }
}  // namespace backend
