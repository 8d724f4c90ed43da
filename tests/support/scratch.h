// File helpers that only tests need, one implementation per backend: the
// simulated volume on the host, real files under Wine.
#pragma once

#include <optional>
#include <string>

#include "platform/types.h"

namespace scratch {

// A fresh, empty, plain folder (no trailing backslash).
WideString MakeFolder();
// Removes the folder and everything in it, whatever the attributes.
void RemoveFolder(const WideString& folder);
bool WriteFile(const WideString& path, const std::string& content);
std::optional<std::string> ReadFile(const WideString& path);

}  // namespace scratch
