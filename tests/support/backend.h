// What differs between the simulated and the real platform, for tests.
#pragma once

namespace backend {
// Host: a fresh simulated machine. Windows: nothing.
void ResetPlatform();
}  // namespace backend
