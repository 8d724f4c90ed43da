#include "launch/source.h"

#include <algorithm>
#include <utility>

#include "cmdline/cmdline.h"
#include "platform/platform.h"

namespace {

constexpr char16_t kHttp[] = u"http://";
constexpr char16_t kHttps[] = u"https://";
constexpr char16_t kDefaultAgent[] = u"KelvoClient-launch/1";
constexpr char16_t kGet[] = u"GET";
constexpr std::uint32_t kHttpOk = 200;
constexpr std::uint32_t kHttpPartialContent = 206;
constexpr std::uint32_t kHttpRangeNotSatisfiable = 416;
// Milliseconds: name resolution, connection, sending, each receive.
constexpr std::int32_t kResolveTimeout = 15000;
constexpr std::int32_t kConnectTimeout = 15000;
constexpr std::int32_t kSendTimeout = 30000;
constexpr std::int32_t kReceiveTimeout = 30000;

bool StartsWithFolded(const WideString& text, const char16_t* prefix) {
  const WideString p(prefix);
  if (text.size() < p.size()) return false;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const char16_t c = text[i] >= u'A' && text[i] <= u'Z' ? char16_t(text[i] + 32) : text[i];
    if (c != p[i]) return false;
  }
  return true;
}

class FolderFile : public SourceFile {
 public:
  FolderFile(platform::Handle h, std::uint64_t size) : h_(h), size_(size) {}
  ~FolderFile() override { platform::CloseHandle(h_); }
  FolderFile(const FolderFile&) = delete;
  FolderFile& operator=(const FolderFile&) = delete;
  LaunchCode Read(void* buffer, std::size_t size, std::size_t& got) override {
    std::uint32_t n = 0;
    const bool ok = platform::ReadFile(h_, buffer, static_cast<std::uint32_t>(size), &n);
    got = n;
    return ok ? LaunchOk : FailedReadSource;
  }
  bool Size(std::uint64_t& size) const override {
    size = size_;
    return true;
  }

 private:
  platform::Handle h_;
  std::uint64_t size_;
};

class FolderSource : public ReleaseSource {
 public:
  explicit FolderSource(WideString folder) : folder_(std::move(folder)) {}
  LaunchCode Open(const std::string& relative, std::unique_ptr<SourceFile>& file) override {
    WideString path = folder_ + u"\\";
    for (char c : relative) path += c == '/' ? u'\\' : static_cast<char16_t>(c);
    const platform::Handle h = platform::CreateFileW(
        path.c_str(), platform::kGenericRead, platform::kFileShareRead, platform::kOpenExisting,
        platform::kAttributeNormal | platform::kFileFlagSequentialScan);
    if (h == platform::kInvalidHandle) return FailedReadSource;
    platform::FileStandardInfo info{};
    if (!platform::GetFileInformationByHandleEx(h, platform::FileInfoClass::Standard, &info,
                                                sizeof info) ||
        info.Directory || info.EndOfFile < 0) {
      platform::CloseHandle(h);
      return FailedReadSource;
    }
    file = std::make_unique<FolderFile>(h, static_cast<std::uint64_t>(info.EndOfFile));
    return LaunchOk;
  }

 private:
  WideString folder_;
};

// What went wrong in a WinHTTP call, by the thread's last error.
LaunchCode WebFailure() {
  const std::uint32_t error = platform::GetLastError();
  switch (error) {
    case platform::kErrorWinHttpTimeout:
    case platform::kWsaTimedOut:
      return FailedTimeout;
    case platform::kErrorWinHttpRedirectFailed:
      return RefusedRedirect;
    case platform::kErrorWinHttpNameNotResolved:
    case platform::kErrorWinHttpCannotConnect:
    case platform::kErrorWinHttpConnectionError:
    case platform::kWsaConnReset:
    case platform::kWsaConnRefused:
      return FailedConnect;
    default:
      break;
  }
  for (std::uint32_t tls : platform::kErrorWinHttpTlsFailures) {
    if (error == tls) return FailedTls;
  }
  return FailedReadSource;
}

class WebHandle {
 public:
  explicit WebHandle(platform::Handle h = platform::kNullHandle) : h_(h) {}
  ~WebHandle() { Reset(); }
  WebHandle(const WebHandle&) = delete;
  WebHandle& operator=(const WebHandle&) = delete;
  void Reset(platform::Handle h = platform::kNullHandle) {
    if (h_ != platform::kNullHandle) platform::WinHttpCloseHandle(h_);
    h_ = h;
  }
  platform::Handle Get() const { return h_; }
  platform::Handle Release() { return std::exchange(h_, platform::kNullHandle); }
  explicit operator bool() const { return h_ != platform::kNullHandle; }

 private:
  platform::Handle h_;
};

// Reads what has come, so that a trickle still returns to the caller (its
// progress, its stop) and is measured against the floor.
class WebFile : public SourceFile {
 public:
  WebFile(platform::Handle request, TransferFloor floor)
      : request_(request), floor_(floor), windowStart_(platform::GetTickCount64()) {}
  LaunchCode Read(void* buffer, std::size_t size, std::size_t& got) override {
    got = 0;
    std::uint32_t available = 0;
    if (!platform::WinHttpQueryDataAvailable(request_.Get(), &available)) return WebFailure();
    if (available == 0) return LaunchOk;
    std::uint32_t n = 0;
    const auto ask = static_cast<std::uint32_t>(std::min<std::size_t>(size, available));
    if (!platform::WinHttpReadData(request_.Get(), buffer, ask, &n)) return WebFailure();
    got = n;
    windowBytes_ += n;
    const std::uint64_t now = platform::GetTickCount64();
    if (now - windowStart_ >= floor_.windowMs) {
      if (windowBytes_ < floor_.minBytes) return FailedSlow;
      windowStart_ = now;
      windowBytes_ = 0;
    }
    return LaunchOk;
  }

 private:
  WebHandle request_;
  TransferFloor floor_;
  std::uint64_t windowStart_;
  std::uint64_t windowBytes_ = 0;
};

class WebSource : public ReleaseSource {
 public:
  WebSource(WebAddress address, WideString agent, TransferFloor floor)
      : address_(std::move(address)),
        agent_(agent.empty() ? kDefaultAgent : std::move(agent)),
        floor_(floor) {}
  LaunchCode Open(const std::string& relative, std::unique_ptr<SourceFile>& file) override {
    bool resumed = false;
    return OpenFrom(relative, 0, file, resumed);
  }
  bool Resumable() const override { return true; }
  LaunchCode OpenFrom(const std::string& relative, std::uint64_t offset,
                      std::unique_ptr<SourceFile>& file, bool& resumed) override {
    resumed = false;
    if (!connection_) {
      // The user's proxy settings: automatic where Windows offers it.
      session_.Reset(
          platform::WinHttpOpen(agent_.c_str(), platform::kWinHttpAccessTypeAutomaticProxy, 0));
      if (!session_) {
        session_.Reset(
            platform::WinHttpOpen(agent_.c_str(), platform::kWinHttpAccessTypeDefaultProxy, 0));
      }
      if (!session_ ||
          !platform::WinHttpSetTimeouts(session_.Get(), kResolveTimeout, kConnectTimeout,
                                        kSendTimeout, kReceiveTimeout)) {
        return FailedConnect;
      }
      connection_.Reset(
          platform::WinHttpConnect(session_.Get(), address_.host.c_str(), address_.port));
      if (!connection_) return WebFailure();
    }
    WideString object = address_.path + u"/";
    for (char c : relative) object += static_cast<char16_t>(c);
    WebHandle request(
        platform::WinHttpOpenRequest(connection_.Get(), kGet, object.c_str(),
                                     address_.secure ? platform::kWinHttpFlagSecure : 0));
    if (!request) return WebFailure();
    // Redirects are followed, never from https to http (also WinHTTP's default).
    const std::uint32_t policy = platform::kWinHttpRedirectPolicyDisallowHttpsToHttp;
    const std::string asked = offset > 0 ? "Range: bytes=" + std::to_string(offset) + "-" : "";
    const WideString range(asked.begin(), asked.end());
    std::uint32_t status = 0;
    if (!platform::WinHttpSetOption(request.Get(), platform::kWinHttpOptionRedirectPolicy, &policy,
                                    sizeof policy) ||
        !platform::WinHttpSendRequest(request.Get(), range.empty() ? nullptr : range.c_str(),
                                      static_cast<std::uint32_t>(range.size())) ||
        !platform::WinHttpReceiveResponse(request.Get()) ||
        !platform::WinHttpQueryHeaders(request.Get(), platform::kWinHttpQueryStatusCode, &status)) {
      return WebFailure();
    }
    // What was kept is not a start of the server's file: the whole one, then.
    if (status == kHttpRangeNotSatisfiable && offset > 0) {
      return OpenFrom(relative, 0, file, resumed);
    }
    // 206: the rest, as asked; 200: the server ignores ranges, the whole file.
    if (status == kHttpPartialContent && offset > 0) {
      resumed = true;
    } else if (status >= 300 && status < 400) {
      return RefusedRedirect;  // one the policy did not follow
    } else if (status != kHttpOk) {
      return FailedHttpStatus;
    }
    file = std::make_unique<WebFile>(request.Release(), floor_);
    return LaunchOk;
  }

 private:
  WebAddress address_;
  WideString agent_;
  TransferFloor floor_;
  WebHandle session_;
  WebHandle connection_;
};

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

std::unique_ptr<ReleaseSource> OpenReleaseSource(const WideString& source, LaunchCode& code,
                                                 const WideString& userAgent, TransferFloor floor) {
  code = LaunchOk;
  if (IsWebAddress(source)) {
    WebAddress address;
    if (ParseWebAddress(source, address))
      return std::make_unique<WebSource>(std::move(address), userAgent, floor);
    code = RefusedAddress;
    return nullptr;
  }
  WideString folder = source;
  while (!folder.empty() && IsPathSeparator(folder.back())) folder.pop_back();
  if (folder.empty() || folder.find(u"://") != WideString::npos) {
    code = RefusedAddress;
    return nullptr;
  }
  return std::make_unique<FolderSource>(std::move(folder));
}
