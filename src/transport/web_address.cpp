#include "transport/web_address.h"

namespace {

constexpr char16_t kHttp[] = u"http://";
constexpr char16_t kHttps[] = u"https://";

bool StartsWithFolded(const WideString& text, const char16_t* prefix) {
  const WideString p(prefix);
  if (text.size() < p.size()) return false;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const char16_t c = text[i] >= u'A' && text[i] <= u'Z' ? char16_t(text[i] + 32) : text[i];
    if (c != p[i]) return false;
  }
  return true;
}

}  // namespace

bool IsWebAddress(const WideString& text) {
  return StartsWithFolded(text, kHttp) || StartsWithFolded(text, kHttps);
}

bool ParseWebAddress(const WideString& text, WebAddress& out) {
  WebAddress a;
  a.secure = StartsWithFolded(text, kHttps);
  if (!a.secure && !StartsWithFolded(text, kHttp)) return false;
  const std::size_t start = WideString(a.secure ? kHttps : kHttp).size();
  const std::size_t slash = text.find(u'/', start);
  const WideString authority = text.substr(start, slash - start);
  WideString path = slash == WideString::npos ? WideString() : text.substr(slash);
  while (!path.empty() && path.back() == u'/') path.pop_back();
  for (char16_t c : path) {
    // Printable ASCII, no query, fragment or escape to be misread.
    if (c <= 0x20 || c >= 0x7F || c == u'?' || c == u'#' || c == u'%' || c == u'\\') return false;
  }
  const std::size_t colon = authority.find(u':');
  a.host = authority.substr(0, colon);
  if (a.host.empty() || a.host.size() > 253) return false;
  for (char16_t c : a.host) {
    const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                    (c >= u'0' && c <= u'9') || c == u'-' || c == u'.';
    if (!ok) return false;
  }
  a.port = a.secure ? 443 : 80;
  if (colon != WideString::npos) {
    const WideString port = authority.substr(colon + 1);
    std::uint32_t value = 0;
    if (port.empty() || port.size() > 5) return false;
    for (char16_t c : port) {
      if (c < u'0' || c > u'9') return false;
      value = value * 10 + static_cast<std::uint32_t>(c - u'0');
    }
    if (value == 0 || value > 65535) return false;
    a.port = static_cast<std::uint16_t>(value);
  }
  a.path = path;
  out = std::move(a);
  return true;
}

