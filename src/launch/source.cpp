#include "launch/source.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

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

// What went wrong in a WinHTTP call, by its error.
LaunchCode WebFailure(std::uint32_t error) {
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

LaunchCode WebFailure() { return WebFailure(platform::GetLastError()); }

// What one request shares with WinHTTP's callbacks. WinHTTP may still call
// back after the request is closed (Wine does once a stalled read times
// out), so from the close on it is the callback's, which frees it with the
// handle's last call. Reads land in its buffer, never in the caller's.
struct Exchange {
  platform::Handle event = platform::kNullHandle;
  std::uint32_t status = 0;
  std::uint32_t error = 0;
  std::uint32_t count = 0;
  std::vector<std::uint8_t> buffer;
};

void OnWebStatus(platform::Handle, std::uintptr_t context, std::uint32_t status, const void* info,
                 std::uint32_t length) {
  auto* x = reinterpret_cast<Exchange*>(context);
  if (!x) return;  // the session's and the connection's
  if (status == platform::kWinHttpStatusHandleClosing) {
    platform::CloseHandle(x->event);
    delete x;
    return;
  }
  if (status == platform::kWinHttpStatusRequestError) {
    x->error = info ? static_cast<const platform::WinHttpAsyncResult*>(info)->error : 0;
  } else if (status == platform::kWinHttpStatusReadComplete) {
    x->count = length;
  } else if (status == platform::kWinHttpStatusDataAvailable) {
    std::uint32_t count = 0;
    if (info && length >= sizeof count) std::memcpy(&count, info, sizeof count);
    x->count = count;
  } else if (status != platform::kWinHttpStatusSendRequestComplete &&
             status != platform::kWinHttpStatusHeadersAvailable) {
    return;
  }
  x->status = status;
  platform::SetEvent(x->event);
}

// Callbacks can come after the caller has unloaded the module that holds
// them: it stays loaded from the first session on.
const int kInThisModule = 0;
void PinThisModule() {
  platform::Handle module = platform::kNullHandle;
  platform::GetModuleHandleExW(
      platform::kGetModuleHandleExPin | platform::kGetModuleHandleExFromAddress, &kInThisModule,
      &module);
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
  explicit operator bool() const { return h_ != platform::kNullHandle; }

 private:
  platform::Handle h_;
};

// A request with its exchange. Closing it, done or not, hands the exchange
// to the callback.
class WebRequest {
 public:
  WebRequest(platform::Handle h, std::size_t bufferSize) : h_(h) {
    if (!h_) return;
    auto x = std::make_unique<Exchange>();
    x->event = platform::CreateEventW(platform::kFalse, platform::kFalse);
    if (x->event == platform::kNullHandle) return;
    x->buffer.resize(bufferSize);
    const auto context = reinterpret_cast<std::uintptr_t>(x.get());
    if (platform::WinHttpSetOption(h_.Get(), platform::kWinHttpOptionContextValue, &context,
                                   sizeof context)) {
      x_ = x.release();
    } else {
      platform::CloseHandle(x->event);
    }
  }
  WebRequest(const WebRequest&) = delete;
  WebRequest& operator=(const WebRequest&) = delete;
  platform::Handle Get() const { return h_.Get(); }
  bool Ready() const { return x_ != nullptr; }
  Exchange& X() const { return *x_; }
  std::uintptr_t Context() const { return reinterpret_cast<std::uintptr_t>(x_); }

  // The call's completion, `wanted` asked between waits, `slow` too (true:
  // the transfer fell under its floor).
  LaunchCode Await(std::uint32_t expected, const StillWanted& wanted,
                   const std::function<bool()>& slow = {}) const {
    for (;;) {
      const std::uint32_t waited = platform::WaitForSingleObject(x_->event, kPollMs);
      if (waited == platform::kWaitObject0) break;
      if (waited != platform::kWaitTimeout) return FailedReadSource;
      if (wanted && !wanted()) return Stopped;
      if (slow && slow()) return FailedSlow;
    }
    if (x_->status == platform::kWinHttpStatusRequestError) return WebFailure(x_->error);
    return x_->status == expected ? LaunchOk : FailedReadSource;
  }

 private:
  static constexpr std::uint32_t kPollMs = 250;
  WebHandle h_;
  Exchange* x_ = nullptr;
};

// Reads one buffer at a time; while a read waits, the floor is measured and
// the caller asked whether it still wants the file.
// Where WinHTTP already holds some of the answer, Wine reads on the caller's
// thread until the whole buffer is full, however slowly the server sends, and
// nothing can stop it. So what it holds is taken first, exactly as much; a
// full read is asked for only when it holds nothing, and then it waits on a
// thread of its own.
class WebFile : public SourceFile {
 public:
  WebFile(std::unique_ptr<WebRequest> request, TransferFloor floor, StillWanted wanted)
      : request_(std::move(request)),
        floor_(floor),
        wanted_(std::move(wanted)),
        windowStart_(platform::GetTickCount64()) {}
  LaunchCode Read(void* buffer, std::size_t size, std::size_t& got) override {
    got = 0;
    Exchange& x = request_->X();
    const auto slow = [this] { return Slow(); };
    auto ask = static_cast<std::uint32_t>(std::min(size, x.buffer.size()));
    if (drained_) {
      drained_ = false;
    } else {
      if (!platform::WinHttpQueryDataAvailable(request_->Get())) return WebFailure();
      const LaunchCode held = request_->Await(platform::kWinHttpStatusDataAvailable, wanted_, slow);
      if (held != LaunchOk) return held;
      if (x.count == 0) return LaunchOk;  // the end
      drained_ = x.count <= ask;
      ask = std::min(ask, x.count);
    }
    if (!platform::WinHttpReadData(request_->Get(), x.buffer.data(), ask)) return WebFailure();
    const LaunchCode code = request_->Await(platform::kWinHttpStatusReadComplete, wanted_, slow);
    if (code != LaunchOk) return code;
    got = std::min<std::size_t>(x.count, ask);
    if (got == 0) return LaunchOk;  // the end
    std::memcpy(buffer, x.buffer.data(), got);
    windowBytes_ += got;
    return Slow() ? FailedSlow : LaunchOk;
  }

 private:
  // At the end of each window: whether it brought fewer bytes than the floor.
  bool Slow() {
    const std::uint64_t now = platform::GetTickCount64();
    if (now - windowStart_ < floor_.windowMs) return false;
    if (windowBytes_ < floor_.minBytes) return true;
    windowStart_ = now;
    windowBytes_ = 0;
    return false;
  }

  std::unique_ptr<WebRequest> request_;
  TransferFloor floor_;
  StillWanted wanted_;
  std::uint64_t windowStart_;
  std::uint64_t windowBytes_ = 0;
  bool drained_ = false;  // WinHTTP holds nothing of the answer
};

// Where WinHTTP fills the whole buffer before it completes a read (Wine
// does), a read no larger than the floor completes within a window at the
// floor's rate.
std::size_t ReadSizeFor(TransferFloor floor) {
  constexpr std::size_t kLeast = 4 << 10, kMost = 256 << 10;
  return static_cast<std::size_t>(std::max<std::uint64_t>(
      kLeast, std::min<std::uint64_t>(floor.minBytes, kMost)));
}

class WebSource : public ReleaseSource {
 public:
  WebSource(WebAddress address, WideString agent, TransferFloor floor)
      : address_(std::move(address)),
        agent_(agent.empty() ? kDefaultAgent : std::move(agent)),
        floor_(floor) {}
  LaunchCode Open(const std::string& relative, std::unique_ptr<SourceFile>& file) override {
    bool resumed = false;
    return OpenFrom(relative, 0, file, resumed, StillWanted());
  }
  bool Resumable() const override { return true; }
  LaunchCode OpenFrom(const std::string& relative, std::uint64_t offset,
                      std::unique_ptr<SourceFile>& file, bool& resumed,
                      const StillWanted& wanted) override {
    resumed = false;
    if (!connection_) {
      // Each session pins again: it costs nothing, and a failure leaves only
      // the risk it guards against.
      PinThisModule();
      // The user's proxy settings: automatic where Windows offers it.
      session_.Reset(platform::WinHttpOpen(
          agent_.c_str(), platform::kWinHttpAccessTypeAutomaticProxy, platform::kWinHttpFlagAsync));
      if (!session_) {
        session_.Reset(platform::WinHttpOpen(agent_.c_str(),
                                             platform::kWinHttpAccessTypeDefaultProxy,
                                             platform::kWinHttpFlagAsync));
      }
      if (!session_ || !platform::WinHttpSetStatusCallback(session_.Get(), OnWebStatus) ||
          !platform::WinHttpSetTimeouts(session_.Get(), kResolveTimeout, kConnectTimeout,
                                        kSendTimeout, kReceiveTimeout)) {
        session_.Reset();
        return FailedConnect;
      }
      connection_.Reset(
          platform::WinHttpConnect(session_.Get(), address_.host.c_str(), address_.port));
      if (!connection_) return WebFailure();
    }
    WideString object = address_.path + u"/";
    for (char c : relative) object += static_cast<char16_t>(c);
    auto request = std::make_unique<WebRequest>(
        platform::WinHttpOpenRequest(connection_.Get(), kGet, object.c_str(),
                                     address_.secure ? platform::kWinHttpFlagSecure : 0),
        ReadSizeFor(floor_));
    if (request->Get() == platform::kNullHandle) return WebFailure();
    if (!request->Ready()) return FailedReadSource;
    // Redirects are followed, never from https to http (also WinHTTP's default).
    const std::uint32_t policy = platform::kWinHttpRedirectPolicyDisallowHttpsToHttp;
    const std::string asked = offset > 0 ? "Range: bytes=" + std::to_string(offset) + "-" : "";
    const WideString range(asked.begin(), asked.end());
    if (!platform::WinHttpSetOption(request->Get(), platform::kWinHttpOptionRedirectPolicy,
                                    &policy, sizeof policy) ||
        !platform::WinHttpSendRequest(request->Get(), range.empty() ? nullptr : range.c_str(),
                                      static_cast<std::uint32_t>(range.size()),
                                      request->Context())) {
      return WebFailure();
    }
    LaunchCode code = request->Await(platform::kWinHttpStatusSendRequestComplete, wanted);
    if (code != LaunchOk) return code;
    if (!platform::WinHttpReceiveResponse(request->Get())) return WebFailure();
    code = request->Await(platform::kWinHttpStatusHeadersAvailable, wanted);
    if (code != LaunchOk) return code;
    std::uint32_t status = 0;
    if (!platform::WinHttpQueryHeaders(request->Get(), platform::kWinHttpQueryStatusCode,
                                       &status)) {
      return WebFailure();
    }
    // What was kept is not a start of the server's file: the whole one, then.
    if (status == kHttpRangeNotSatisfiable && offset > 0) {
      request.reset();
      return OpenFrom(relative, 0, file, resumed, wanted);
    }
    // 206: the rest, as asked; 200: the server ignores ranges, the whole file.
    if (status == kHttpPartialContent && offset > 0) {
      resumed = true;
    } else if (status >= 300 && status < 400) {
      return RefusedRedirect;  // one the policy did not follow
    } else if (status != kHttpOk) {
      return FailedHttpStatus;
    }
    file = std::make_unique<WebFile>(std::move(request), floor_, wanted);
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
