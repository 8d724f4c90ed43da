// Text helpers the tests share: names and keys in ASCII, messages in UTF-8,
// digests in hex, and UTF-16 handed to Windows as wchar_t.
#pragma once

#include <cstdint>
#include <string>

#include "release/format.h"

namespace test {

// ASCII as UTF-16.
inline WideString W(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

// For messages: UTF-16 as UTF-8.
inline std::string Utf8(const WideString& text) { return release::WideToUtf8(text); }

inline std::string Hex(const std::uint8_t* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) out += {kDigits[data[i] >> 4], kDigits[data[i] & 15]};
  return out;
}

// Where wchar_t is UTF-16 (Windows), the same units.
inline const wchar_t* Wide(const WideString& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

}  // namespace test
