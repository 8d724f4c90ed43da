#include "transport/source.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "contract/names.h"
#include "transport/web_address.h"
#include "platform/platform.h"

namespace {

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
  auto* shared = reinterpret_cast<Exchange*>(context);
  if (!shared) return;  // the session's and the connection's
  if (status == platform::kWinHttpStatusHandleClosing) {
    platform::CloseHandle(shared->event);
    delete shared;
    return;
  }
  if (status == platform::kWinHttpStatusRequestError) {
    shared->error = info ? static_cast<const platform::WinHttpAsyncResult*>(info)->error : 0;
  } else if (status == platform::kWinHttpStatusReadComplete) {
    shared->count = length;
  } else if (status == platform::kWinHttpStatusDataAvailable) {
    std::uint32_t count = 0;
    if (info && length >= sizeof count) std::memcpy(&count, info, sizeof count);
    shared->count = count;
  } else if (status != platform::kWinHttpStatusSendRequestComplete &&
             status != platform::kWinHttpStatusHeadersAvailable) {
    return;
  }
  shared->status = status;
  platform::SetEvent(shared->event);
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
    auto shared = std::make_unique<Exchange>();
    shared->event = platform::CreateEventW(platform::kFalse, platform::kFalse);
    if (shared->event == platform::kNullHandle) return;
    shared->buffer.resize(bufferSize);
    const auto context = reinterpret_cast<std::uintptr_t>(shared.get());
    if (platform::WinHttpSetOption(h_.Get(), platform::kWinHttpOptionContextValue, &context,
                                   sizeof context)) {
      exchange_ = shared.release();
    } else {
      platform::CloseHandle(shared->event);
    }
  }
  WebRequest(const WebRequest&) = delete;
  WebRequest& operator=(const WebRequest&) = delete;
  platform::Handle Get() const { return h_.Get(); }
  bool Ready() const { return exchange_ != nullptr; }
  Exchange& Shared() const { return *exchange_; }
  std::uintptr_t Context() const { return reinterpret_cast<std::uintptr_t>(exchange_); }

  // The call's completion, `wanted` asked between waits, `slow` too (true:
  // the transfer fell under its floor).
  LaunchCode Await(std::uint32_t expected, const StillWanted& wanted,
                   const std::function<bool()>& slow = {}) const {
    for (;;) {
      const std::uint32_t waited = platform::WaitForSingleObject(exchange_->event, kPollMs);
      if (waited == platform::kWaitObject0) break;
      if (waited != platform::kWaitTimeout) return FailedReadSource;
      if (wanted && !wanted()) return Stopped;
      if (slow && slow()) return FailedSlow;
    }
    if (exchange_->status == platform::kWinHttpStatusRequestError) {
      return WebFailure(exchange_->error);
    }
    return exchange_->status == expected ? LaunchOk : FailedReadSource;
  }

 private:
  static constexpr std::uint32_t kPollMs = 250;
  WebHandle h_;
  Exchange* exchange_ = nullptr;
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
    Exchange& shared = request_->Shared();
    const auto underFloor = [this] { return CheckFloor() != LaunchOk; };
    auto readSize = static_cast<std::uint32_t>(std::min(size, shared.buffer.size()));
    if (holdsNothing_) {
      holdsNothing_ = false;
    } else {
      if (!platform::WinHttpQueryDataAvailable(request_->Get())) return WebFailure();
      const LaunchCode available =
          request_->Await(platform::kWinHttpStatusDataAvailable, wanted_, underFloor);
      if (available != LaunchOk) return available;
      if (shared.count == 0) return LaunchOk;  // the end
      holdsNothing_ = shared.count <= readSize;
      readSize = std::min(readSize, shared.count);
    }
    if (!platform::WinHttpReadData(request_->Get(), shared.buffer.data(), readSize)) {
      return WebFailure();
    }
    const LaunchCode code =
        request_->Await(platform::kWinHttpStatusReadComplete, wanted_, underFloor);
    if (code != LaunchOk) return code;
    got = std::min<std::size_t>(shared.count, readSize);
    if (got == 0) return LaunchOk;  // the end
    std::memcpy(buffer, shared.buffer.data(), got);
    windowBytes_ += got;
    return CheckFloor();
  }

 private:
  // FailedSlow when a window has ended with fewer bytes than the floor; a
  // window that met it is closed and the next one begins.
  LaunchCode CheckFloor() {
    const std::uint64_t now = platform::GetTickCount64();
    if (now - windowStart_ < floor_.windowMs) return LaunchOk;
    if (windowBytes_ < floor_.minBytes) return FailedSlow;
    windowStart_ = now;
    windowBytes_ = 0;
    return LaunchOk;
  }

  std::unique_ptr<WebRequest> request_;
  TransferFloor floor_;
  StillWanted wanted_;
  std::uint64_t windowStart_;
  std::uint64_t windowBytes_ = 0;
  // The last read took all that WinHTTP held: the next one waits for more.
  bool holdsNothing_ = false;
};

// Where WinHTTP fills the whole buffer before it completes a read (Wine
// does), a read no larger than the floor completes within a window at the
// floor's rate.
std::size_t ReadSizeFor(TransferFloor floor) {
  constexpr std::size_t kLeast = 4 << 10, kMost = 256 << 10;
  return static_cast<std::size_t>(std::max<std::uint64_t>(
      kLeast, std::min<std::uint64_t>(floor.minBytes, kMost)));
}

// A proxy the user set by hand, and the names that bypass it; empty when
// the user's settings detect one or name a script, which WinHTTP resolves.
struct UserProxy {
  WideString proxy;
  WideString bypass;
};

UserProxy ReadUserProxy() {
  platform::IeProxyConfig config{};
  if (!platform::WinHttpGetIEProxyConfigForCurrentUser(&config)) return {};
  UserProxy user;
  if (!config.fAutoDetect && !config.lpszAutoConfigUrl && config.lpszProxy) {
    user.proxy = config.lpszProxy;
    if (config.lpszProxyBypass) user.bypass = config.lpszProxyBypass;
  }
  for (char16_t* text : {config.lpszAutoConfigUrl, config.lpszProxy, config.lpszProxyBypass}) {
    if (text) platform::GlobalFree(text);
  }
  return user;
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
    LaunchCode code = Connect();
    if (code != LaunchOk) return code;
    std::unique_ptr<WebRequest> request;
    std::uint32_t status = 0;
    code = Ask(relative, offset, wanted, request, status);
    // What was kept is not a start of the server's file: the whole one, then.
    if (code == LaunchOk && status == kHttpRangeNotSatisfiable && offset > 0) {
      offset = 0;
      code = Ask(relative, offset, wanted, request, status);
    }
    if (code == LaunchOk) code = Accepted(status, offset, resumed);
    if (code != LaunchOk) return code;
    file = std::make_unique<WebFile>(std::move(request), floor_, wanted);
    return LaunchOk;
  }

 private:
  // One session and connection for the source's whole life.
  LaunchCode Connect() {
    if (connection_) return LaunchOk;
    // Each session pins again: it costs nothing, and a failure leaves only
    // the risk it guards against.
    PinThisModule();
    // The proxy the user set by hand in Windows' settings is used as it
    // stands: not every WinHTTP applies it itself (Windows 7, Wine). Else the
    // user's settings, detection and scripts included, where WinHTTP offers
    // them; else the machine's.
    const UserProxy user = ReadUserProxy();
    if (!user.proxy.empty()) {
      session_.Reset(platform::WinHttpOpen(
          agent_.c_str(), platform::kWinHttpAccessTypeNamedProxy, user.proxy.c_str(),
          user.bypass.empty() ? nullptr : user.bypass.c_str(), platform::kWinHttpFlagAsync));
    } else {
      session_.Reset(platform::WinHttpOpen(agent_.c_str(),
                                           platform::kWinHttpAccessTypeAutomaticProxy, nullptr,
                                           nullptr, platform::kWinHttpFlagAsync));
    }
    if (!session_) {
      session_.Reset(platform::WinHttpOpen(agent_.c_str(), platform::kWinHttpAccessTypeDefaultProxy,
                                           nullptr, nullptr, platform::kWinHttpFlagAsync));
    }
    if (!session_ || !platform::WinHttpSetStatusCallback(session_.Get(), OnWebStatus) ||
        !platform::WinHttpSetTimeouts(session_.Get(), kResolveTimeout, kConnectTimeout,
                                      kSendTimeout, kReceiveTimeout)) {
      session_.Reset();
      return FailedConnect;
    }
    connection_.Reset(
        platform::WinHttpConnect(session_.Get(), address_.host.c_str(), address_.port));
    return connection_ ? LaunchOk : WebFailure();
  }

  // Sends a GET for `relative` (from `offset` on, when not 0) and waits for
  // the answer's headers; `status` is its status code.
  LaunchCode Ask(const std::string& relative, std::uint64_t offset, const StillWanted& wanted,
                 std::unique_ptr<WebRequest>& request, std::uint32_t& status) {
    request.reset();
    WideString object = address_.path + u"/";
    for (char c : relative) object += static_cast<char16_t>(c);
    request = std::make_unique<WebRequest>(
        platform::WinHttpOpenRequest(connection_.Get(), kGet, object.c_str(),
                                     address_.secure ? platform::kWinHttpFlagSecure : 0),
        ReadSizeFor(floor_));
    if (request->Get() == platform::kNullHandle) return WebFailure();
    if (!request->Ready()) return FailedReadSource;
    // Redirects are followed, never from https to http (also WinHTTP's default).
    const std::uint32_t policy = platform::kWinHttpRedirectPolicyDisallowHttpsToHttp;
    const std::string range = offset > 0 ? "Range: bytes=" + std::to_string(offset) + "-" : "";
    const WideString header(range.begin(), range.end());
    if (!platform::WinHttpSetOption(request->Get(), platform::kWinHttpOptionRedirectPolicy,
                                    &policy, sizeof policy) ||
        !platform::WinHttpSendRequest(request->Get(), header.empty() ? nullptr : header.c_str(),
                                      static_cast<std::uint32_t>(header.size()),
                                      request->Context())) {
      return WebFailure();
    }
    LaunchCode code = request->Await(platform::kWinHttpStatusSendRequestComplete, wanted);
    if (code != LaunchOk) return code;
    if (!platform::WinHttpReceiveResponse(request->Get())) return WebFailure();
    code = request->Await(platform::kWinHttpStatusHeadersAvailable, wanted);
    if (code != LaunchOk) return code;
    return platform::WinHttpQueryHeaders(request->Get(), platform::kWinHttpQueryStatusCode, &status)
               ? LaunchOk
               : WebFailure();
  }

  // 206: the rest, as asked; 200: the whole file (a server that ignores
  // ranges sends it again).
  static LaunchCode Accepted(std::uint32_t status, std::uint64_t offset, bool& resumed) {
    if (status == kHttpPartialContent && offset > 0) {
      resumed = true;
      return LaunchOk;
    }
    if (status >= 300 && status < 400) return RefusedRedirect;  // one the policy did not follow
    return status == kHttpOk ? LaunchOk : FailedHttpStatus;
  }

  WebAddress address_;
  WideString agent_;
  TransferFloor floor_;
  WebHandle session_;
  WebHandle connection_;
};

}  // namespace

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
