// PEM files of P-256 private keys without a crypto library: PKCS#8 as
// `openssl genpkey` writes it, and the older "EC PRIVATE KEY" (SEC1) form.
// The CNG backend reads and writes keys through these.
#pragma once

#include <array>
#include <string>

namespace keyfile {

using Scalar = std::array<std::uint8_t, 32>;
using Point = std::array<std::uint8_t, 64>;  // X||Y

std::string PrivateKeyPem(const Scalar& d, const Point& point);
// Only keys that carry their public point, as openssl writes them.
bool ParsePrivateKeyPem(const std::string& pem, Scalar& d, Point& point);

}  // namespace keyfile
