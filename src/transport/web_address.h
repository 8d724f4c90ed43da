// The web address of a release folder, as a client gives it. No Windows call.
#pragma once

#include "platform/types.h"

struct WebAddress {
  bool secure = false;
  WideString host;
  std::uint16_t port = 0;
  WideString path;  // begins with "/", never ends with one
};

// "http://host[:port]/path" or https: no user, query or fragment; a host of
// letters, digits, "-" and ".", or an IPv4 address.
bool ParseWebAddress(const WideString& text, WebAddress& out);
bool IsWebAddress(const WideString& text);
