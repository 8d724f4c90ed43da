// Windows backend of the seam: WinHTTP and what waits on it, which only the
// launch library calls, in an object of its own so that the updater does not
// import winhttp.dll.
#include <windows.h>
// The other Windows headers need it first.

#include <winhttp.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace platform {
namespace {

static_assert(kWinHttpAccessTypeAutomaticProxy == 4, "WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY");
static_assert(kWinHttpAccessTypeNamedProxy == WINHTTP_ACCESS_TYPE_NAMED_PROXY, "named proxy");
static_assert(sizeof(IeProxyConfig) == sizeof(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG) &&
                  offsetof(IeProxyConfig, lpszProxy) ==
                      offsetof(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG, lpszProxy) &&
                  offsetof(IeProxyConfig, lpszProxyBypass) ==
                      offsetof(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG, lpszProxyBypass),
              "WINHTTP_CURRENT_USER_IE_PROXY_CONFIG");
static_assert(kWinHttpFlagSecure == WINHTTP_FLAG_SECURE, "WINHTTP_FLAG_SECURE");
static_assert(kWinHttpQueryStatusCode == WINHTTP_QUERY_STATUS_CODE, "WINHTTP_QUERY_STATUS_CODE");
static_assert(kWinHttpQueryFlagNumber == WINHTTP_QUERY_FLAG_NUMBER, "WINHTTP_QUERY_FLAG_NUMBER");
static_assert(kWinHttpOptionRedirectPolicy == WINHTTP_OPTION_REDIRECT_POLICY, "redirect policy");
static_assert(kErrorWinHttpSecureFailure == ERROR_WINHTTP_SECURE_FAILURE, "secure failure");
static_assert(kErrorWinHttpRedirectFailed == ERROR_WINHTTP_REDIRECT_FAILED, "redirect failed");
static_assert(kErrorWinHttpTlsFailures[0] == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID &&
                  kErrorWinHttpTlsFailures[1] == ERROR_WINHTTP_SECURE_CERT_CN_INVALID &&
                  kErrorWinHttpTlsFailures[2] == ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED &&
                  kErrorWinHttpTlsFailures[3] == ERROR_WINHTTP_SECURE_INVALID_CA &&
                  kErrorWinHttpTlsFailures[4] == ERROR_WINHTTP_SECURE_CERT_REV_FAILED &&
                  kErrorWinHttpTlsFailures[5] == ERROR_WINHTTP_SECURE_CHANNEL_ERROR &&
                  kErrorWinHttpTlsFailures[6] == ERROR_WINHTTP_SECURE_INVALID_CERT &&
                  kErrorWinHttpTlsFailures[7] == ERROR_WINHTTP_SECURE_CERT_REVOKED &&
                  kErrorWinHttpTlsFailures[9] == ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE,
              "TLS failures");
static_assert(kWinHttpFlagAsync == WINHTTP_FLAG_ASYNC, "WINHTTP_FLAG_ASYNC");
static_assert(kWinHttpOptionContextValue == WINHTTP_OPTION_CONTEXT_VALUE, "context value");
static_assert(kWinHttpStatusHandleClosing == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING &&
                  kWinHttpStatusHeadersAvailable == WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE &&
                  kWinHttpStatusReadComplete == WINHTTP_CALLBACK_STATUS_READ_COMPLETE &&
                  kWinHttpStatusRequestError == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR &&
                  kWinHttpStatusSendRequestComplete ==
                      WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE,
              "callback statuses");
static_assert(kErrorWinHttpOperationCancelled == ERROR_WINHTTP_OPERATION_CANCELLED, "cancelled");
static_assert(kGetModuleHandleExPin == GET_MODULE_HANDLE_EX_FLAG_PIN &&
                  kGetModuleHandleExFromAddress == GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
              "GetModuleHandleExW flags");
static_assert(kWaitObject0 == WAIT_OBJECT_0 && kWaitTimeout == WAIT_TIMEOUT, "wait results");

const wchar_t* as_wcstr(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
HINTERNET native(Handle h) { return reinterpret_cast<HINTERNET>(static_cast<std::uintptr_t>(h)); }
Handle portable(HINTERNET h) { return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(h)); }

// WinHTTP calls back with its own types and convention; this passes them on.
std::atomic<WinHttpStatusCallback> g_callback{nullptr};
void CALLBACK Forward(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                      DWORD length) {
  const WinHttpStatusCallback callback = g_callback.load();
  if (!callback) return;
  if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR && info) {
    const auto* native = static_cast<const WINHTTP_ASYNC_RESULT*>(info);
    const WinHttpAsyncResult result{native->dwResult, native->dwError};
    callback(portable(handle), context, status, &result, length);
  } else {
    callback(portable(handle), context, status, info, length);
  }
}

}  // namespace

// An event's HANDLE is a pointer like an HINTERNET: the same conversions.
Handle CreateEventW(Bool manualReset, Bool initialState) {
  return portable(::CreateEventW(nullptr, manualReset, initialState, nullptr));
}

Bool SetEvent(Handle event) { return ::SetEvent(native(event)); }

Bool GetModuleHandleExW(std::uint32_t flags, const void* address, Handle* module) {
  HMODULE m = nullptr;
  const BOOL ok = ::GetModuleHandleExW(flags, static_cast<LPCWSTR>(address), &m);
  *module = static_cast<Handle>(reinterpret_cast<std::uintptr_t>(m));
  return ok;
}

Handle WinHttpOpen(const char16_t* agent, std::uint32_t accessType, const char16_t* proxy,
                   const char16_t* bypass, std::uint32_t flags) {
  return portable(::WinHttpOpen(as_wcstr(agent), accessType, as_wcstr(proxy), as_wcstr(bypass),
                                flags));
}

Bool WinHttpGetIEProxyConfigForCurrentUser(IeProxyConfig* config) {
  return ::WinHttpGetIEProxyConfigForCurrentUser(
      reinterpret_cast<WINHTTP_CURRENT_USER_IE_PROXY_CONFIG*>(config));
}

void* GlobalFree(void* memory) {
  return ::GlobalFree(memory);
}

Handle WinHttpConnect(Handle session, const char16_t* server, std::uint16_t port) {
  return portable(::WinHttpConnect(native(session), as_wcstr(server), port, 0));
}

Handle WinHttpOpenRequest(Handle connect, const char16_t* verb, const char16_t* object,
                          std::uint32_t flags) {
  return portable(::WinHttpOpenRequest(native(connect), as_wcstr(verb), as_wcstr(object), nullptr,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
}

Bool WinHttpSetTimeouts(Handle handle, std::int32_t resolve, std::int32_t connect,
                        std::int32_t send, std::int32_t receive) {
  return ::WinHttpSetTimeouts(native(handle), resolve, connect, send, receive);
}

Bool WinHttpSetOption(Handle handle, std::uint32_t option, const void* buffer,
                      std::uint32_t length) {
  return ::WinHttpSetOption(native(handle), option, const_cast<void*>(buffer), length);
}

Bool WinHttpSetStatusCallback(Handle handle, WinHttpStatusCallback callback) {
  g_callback.store(callback);
  const DWORD flags = WINHTTP_CALLBACK_FLAG_SENDREQUEST_COMPLETE |
                      WINHTTP_CALLBACK_FLAG_HEADERS_AVAILABLE |
                      WINHTTP_CALLBACK_FLAG_DATA_AVAILABLE | WINHTTP_CALLBACK_FLAG_READ_COMPLETE |
                      WINHTTP_CALLBACK_FLAG_REQUEST_ERROR | WINHTTP_CALLBACK_FLAG_HANDLES;
  return ::WinHttpSetStatusCallback(native(handle), callback ? Forward : nullptr, flags, 0) !=
         WINHTTP_INVALID_STATUS_CALLBACK;
}

Bool WinHttpSendRequest(Handle request, const char16_t* headers, std::uint32_t headersLength,
                        std::uintptr_t context) {
  return ::WinHttpSendRequest(native(request),
                              headers ? as_wcstr(headers) : WINHTTP_NO_ADDITIONAL_HEADERS,
                              headersLength, WINHTTP_NO_REQUEST_DATA, 0, 0, context);
}

Bool WinHttpReceiveResponse(Handle request) {
  return ::WinHttpReceiveResponse(native(request), nullptr);
}

Bool WinHttpQueryHeaders(Handle request, std::uint32_t infoLevel, std::uint32_t* number) {
  DWORD value = 0, size = sizeof value;
  const BOOL ok =
      ::WinHttpQueryHeaders(native(request), infoLevel | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &value, &size, WINHTTP_NO_HEADER_INDEX);
  *number = value;
  return ok;
}

Bool WinHttpQueryDataAvailable(Handle request) {
  return ::WinHttpQueryDataAvailable(native(request), nullptr);
}

Bool WinHttpReadData(Handle request, void* buffer, std::uint32_t size) {
  return ::WinHttpReadData(native(request), buffer, size, nullptr);
}

Bool WinHttpCloseHandle(Handle handle) { return ::WinHttpCloseHandle(native(handle)); }

}  // namespace platform
