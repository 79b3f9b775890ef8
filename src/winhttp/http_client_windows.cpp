// HTTP exchanges over WinHTTP: one session handle and one connection handle per HttpSession, so
// that WinHTTP keeps the connection between the parts of a send; a request handle per exchange,
// closed before returning. The session is asynchronous, and each call waits for its own
// completion: only the status notifications say that the connection closed while a reply was
// still being read, which is how a chunked reply cut off before its last chunk is told from a
// whole one (some WinHTTP versions end such a body as if it were complete).
//
// A stop closes the request handle while a call is pending, which WinHTTP answers by cancelling
// it; the exchange returns at once. So that a call still finishing cannot touch what the caller
// frees, every buffer a pending call may use belongs to the exchange, which lives until WinHTTP
// says the handle is closing.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <limits>
#include <vector>

#include "county/text.h"
#include "winhttp/http_client.h"

namespace dalvento {

namespace {

// What the status notifications tell the thread waiting on one request. WinHTTP hands it back
// with every notification of the request, and its last one (the handle closing) deletes it.
struct Exchange {
    HANDLE completed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD error = 0;  // of the call last completed; 0 when it worked
    DWORD bytes = 0;  // read or written by it
    std::atomic<bool> reading_body{false};
    std::atomic<bool> closed_while_reading{false};  // a receive found the connection closed
    std::vector<uint8_t> out;                       // what the pending send or write sends
    std::vector<uint8_t> in = std::vector<uint8_t>(READ_BUFFER);  // what the pending read fills

    ~Exchange() {
        if (completed) CloseHandle(completed);
    }
};

void CALLBACK on_status(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD length) {
    auto* exchange = reinterpret_cast<Exchange*>(context);
    if (!exchange) return;  // the session's and connection's own notifications
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            exchange->error = 0;
            SetEvent(exchange->completed);
            break;
        case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
            exchange->error = 0;
            exchange->bytes = info ? *static_cast<DWORD*>(info) : 0;
            SetEvent(exchange->completed);
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            exchange->error = 0;
            exchange->bytes = length;
            SetEvent(exchange->completed);
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            exchange->error = info ? static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError : 12030;
            if (exchange->error == 0) exchange->error = 12030;
            SetEvent(exchange->completed);
            break;
        case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
            // Nothing received: the other end closed the connection.
            if (exchange->reading_body && info && *static_cast<DWORD*>(info) == 0) {
                exchange->closed_while_reading = true;
            }
            break;
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            delete exchange;
            break;
        default:
            break;
    }
}

// A request handle and its exchange, closed when the exchange ends. Once the handle carries the
// exchange, closing the handle is what deletes it.
struct RequestHandle {
    HINTERNET handle = nullptr;
    Exchange* exchange = new Exchange;
    bool attached = false;
    RequestHandle() = default;
    RequestHandle(const RequestHandle&) = delete;
    RequestHandle& operator=(const RequestHandle&) = delete;
    ~RequestHandle() {
        if (handle) WinHttpCloseHandle(handle);
        if (!attached) delete exchange;
    }

    // The outcome of an asynchronous call: 0 when it worked, else its error code, whether the
    // call itself refused (`started` false) or its completion reported the failure. A stop
    // closes the handle, cancelling the call, and gives ERROR_WINHTTP_OPERATION_CANCELLED.
    DWORD outcome(BOOL started, const std::atomic<bool>* stop) {
        if (!started) return GetLastError();
        for (;;) {
            const DWORD waited = WaitForSingleObject(exchange->completed, STOP_POLL_MS);
            if (waited == WAIT_OBJECT_0) return exchange->error;
            if (waited != WAIT_TIMEOUT)
                return GetLastError() ? GetLastError() : ERROR_INVALID_HANDLE;
            if (stop && *stop) {
                WinHttpCloseHandle(handle);
                handle = nullptr;
                return CANCELLED;
            }
        }
    }

    static constexpr DWORD CANCELLED = 12017;
};

// NUL-terminated UTF-16 for one WinHTTP call.
std::wstring wide(std::string_view text) {
    const std::u16string units = utf16_from_utf8(text);
    return std::wstring(units.begin(), units.end());
}

// A failed step; by default that of the call just made, whose error code is read before anything
// else runs.
std::unexpected<HttpFailure> failed(std::string_view what, DWORD code = GetLastError()) {
    return std::unexpected(winhttp_failure(what, code));
}

// The proxy's sign-in schemes WinHTTP may answer with the logged-on user's own credentials; never
// Basic, which would send a password in the clear.
DWORD proxy_sign_in_scheme(HINTERNET request) {
    DWORD supported = 0, first = 0, target = 0;
    if (!WinHttpQueryAuthSchemes(request, &supported, &first, &target)) return 0;
    if (target != WINHTTP_AUTH_TARGET_PROXY) return 0;
    if (supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) return WINHTTP_AUTH_SCHEME_NEGOTIATE;
    if (supported & WINHTTP_AUTH_SCHEME_NTLM) return WINHTTP_AUTH_SCHEME_NTLM;
    return 0;
}

// Whether the reply came in chunks.
bool chunked(HINTERNET request) {
    wchar_t text[64];
    DWORD size = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    std::wstring value(text, size / sizeof(wchar_t));
    for (wchar_t& c : value)
        c = static_cast<wchar_t>(std::towlower(c));
    return value.find(L"chunked") != std::wstring::npos;
}

// The reply's Content-Length; absent when it has none or it is not a number.
std::optional<uint64_t> content_length(HINTERNET request) {
    wchar_t text[32];
    DWORD size = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    const size_t length = size / sizeof(wchar_t);
    if (length == 0 || length > 19) return std::nullopt;
    uint64_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(text[i] - L'0');
    }
    return value;
}

}  // namespace

// Closed connection first, then session.
struct HttpSession::Impl {
    UserAgent user_agent;
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    std::string host;  // of the connection
    uint16_t port = 0;

    ~Impl() { forget(); }

    // Closes the connection and the session, and with them every connection WinHTTP keeps: after
    // a failure the next exchange starts on a fresh one, never on one the other end has dropped.
    void forget() {
        if (connection) WinHttpCloseHandle(connection);
        if (session) WinHttpCloseHandle(session);
        connection = session = nullptr;
    }

    HttpResult exchange(std::string_view method, std::string_view url,
                        const std::vector<std::string>& headers, std::span<const uint8_t> body,
                        const HttpWatch& watch);
};

namespace {

// Whether IT has named a machine-wide WinHTTP proxy (netsh winhttp set proxy).
bool machine_proxy_named() {
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetDefaultProxyConfiguration(&info)) return false;
    const bool named = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy;
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
    return named;
}

}  // namespace

HttpSession::HttpSession(UserAgent user_agent) : impl_(std::make_unique<Impl>()) {
    impl_->user_agent = std::move(user_agent);
}

HttpSession::~HttpSession() = default;

HttpResult HttpSession::request(std::string_view method, std::string_view url,
                                const std::vector<std::string>& headers,
                                std::span<const uint8_t> body, const HttpWatch& watch) {
    HttpResult result = impl_->exchange(method, url, headers, body, watch);
    if (!result) impl_->forget();
    return result;
}

HttpResult HttpSession::Impl::exchange(std::string_view method, std::string_view url,
                                       const std::vector<std::string>& headers,
                                       std::span<const uint8_t> body, const HttpWatch& watch) {
    auto parsed = parse_url(url);
    if (!parsed) return std::unexpected(HttpFailure{.text = parsed.error()});
    if (!header_lines_valid(headers)) {
        return std::unexpected(http_failure("couldn't set a header", HttpProblem::other,
                                            "a header line must be \"Name: value\" on one line"));
    }
    if (body.size() > std::numeric_limits<DWORD>::max()) {
        // WinHTTP counts a request body in 32 bits; a longer one would go out truncated.
        return std::unexpected(http_failure("couldn't send", HttpProblem::other,
                                            "the request body is 4 GiB or larger"));
    }
    const auto total = static_cast<DWORD>(body.size());
    const auto progress = [&watch, total](DWORD sent) {
        if (watch.progress) watch.progress(sent, total);
    };

    Impl& state = *this;
    if (!state.session) {
        const auto* agent = reinterpret_cast<const wchar_t*>(state.user_agent.text.c_str());
        // The system's proxy settings as the automatic proxy finds them; a machine-wide proxy IT
        // named is taken as it stands (some WinHTTP versions, Wine's among them, find nothing
        // automatically).
        state.session =
            WinHttpOpen(agent,
                        machine_proxy_named() ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY
                                              : WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
        if (!state.session) {
            // Before Windows 8.1 the automatic proxy access type does not exist.
            state.session =
                WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
            if (!state.session) return failed("couldn't start HTTP");
        }
        if (WinHttpSetStatusCallback(state.session, on_status,
                                     WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS,
                                     0) == WINHTTP_INVALID_STATUS_CALLBACK) {
            const auto failure = failed("couldn't start HTTP");
            WinHttpCloseHandle(state.session);
            state.session = nullptr;
            return failure;
        }
        WinHttpSetTimeouts(state.session, RESOLVE_TIMEOUT_MS, CONNECT_TIMEOUT_MS, SEND_TIMEOUT_MS,
                           RECEIVE_TIMEOUT_MS);
        // A redirect is a reply like any other: following one would send the office token to
        // whatever address it names.
        DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        WinHttpSetOption(state.session, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof(never));
    }
    // One connection handle per server; a URL on another server replaces it.
    if (state.connection && (state.host != parsed->host || state.port != parsed->port)) {
        WinHttpCloseHandle(state.connection);
        state.connection = nullptr;
    }
    if (!state.connection) {
        state.connection =
            WinHttpConnect(state.session, wide(parsed->host).c_str(), parsed->port, 0);
        if (!state.connection) return failed("couldn't connect");
        state.host = parsed->host;
        state.port = parsed->port;
    }

    RequestHandle request;
    if (!request.exchange->completed) return failed("couldn't open the request");
    request.handle = WinHttpOpenRequest(
        state.connection, wide(method).c_str(), wide(parsed->path).c_str(), nullptr,
        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, parsed->https ? WINHTTP_FLAG_SECURE : 0);
    if (!request.handle) return failed("couldn't open the request");
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(request.exchange);
    if (!WinHttpSetOption(request.handle, WINHTTP_OPTION_CONTEXT_VALUE, &context,
                          sizeof(context))) {
        return failed("couldn't open the request");
    }
    request.attached = true;
    Exchange& exchange = *request.exchange;
    DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
    if (!WinHttpSetOption(request.handle, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects,
                          sizeof(no_redirects))) {
        return failed("couldn't open the request");
    }
    // The logged-on user's credentials may answer a proxy's sign-in challenge: the proxy is the
    // one the system names, so it is trusted as the intranet is.
    DWORD autologon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    WinHttpSetOption(request.handle, WINHTTP_OPTION_AUTOLOGON_POLICY, &autologon,
                     sizeof(autologon));
    for (const std::string& header : headers) {
        if (!WinHttpAddRequestHeaders(request.handle, wide(header).c_str(), static_cast<DWORD>(-1),
                                      WINHTTP_ADDREQ_FLAG_ADD)) {
            return failed("couldn't set a header");
        }
    }

    // The request goes out again, whole, once the proxy's challenge has credentials to answer it.
    bool signed_in = false;
    DWORD status = 0;
    for (;;) {
        if (method == "PUT" && body.size() > STREAMING_THRESHOLD) {
            if (const DWORD code = request.outcome(
                    WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                       WINHTTP_NO_REQUEST_DATA, 0, total, context),
                    watch.stop)) {
                auto failure = failed("couldn't send", code);
                failure.error().nothing_sent = code == 12029;
                return failure;
            }
            DWORD sent = 0;
            exchange.out.resize(WRITE_CHUNK);
            while (sent < total) {
                const DWORD slice = std::min<DWORD>(total - sent, static_cast<DWORD>(WRITE_CHUNK));
                std::copy_n(body.data() + sent, slice, exchange.out.data());
                if (const DWORD code = request.outcome(
                        WinHttpWriteData(request.handle, exchange.out.data(), slice, nullptr),
                        watch.stop)) {
                    return failed("the upload stopped", code);
                }
                const DWORD written = exchange.bytes;
                if (written == 0) {
                    // A write that takes nothing would never finish the body.
                    return failed("the upload stopped", 12030);
                }
                sent += written;
                progress(sent);
            }
        } else {
            exchange.out.assign(body.begin(), body.end());
            void* data = total ? exchange.out.data() : WINHTTP_NO_REQUEST_DATA;
            const DWORD code =
                request.outcome(WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                                   data, total, total, context),
                                watch.stop);
            progress(total);
            if (code) {
                auto failure = failed("couldn't send", code);
                failure.error().nothing_sent = code == 12029;
                return failure;
            }
        }

        if (const DWORD code =
                request.outcome(WinHttpReceiveResponse(request.handle, nullptr), watch.stop)) {
            auto failure = failed("no reply", code);
            // Some WinHTTP versions (Wine's) say this of a connection closed before any reply:
            // nothing usable came back, as when it dropped.
            if (code == 12152) failure.error().problem = HttpProblem::dropped;
            return failure;
        }

        DWORD status_size = sizeof(status);
        if (!WinHttpQueryHeaders(
                request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX)) {
            return failed("the reply had no status");
        }
        if (status != 407) break;
        const DWORD scheme = signed_in ? 0 : proxy_sign_in_scheme(request.handle);
        if (!scheme || !WinHttpSetCredentials(request.handle, WINHTTP_AUTH_TARGET_PROXY, scheme,
                                              nullptr, nullptr, nullptr)) {
            return std::unexpected(proxy_sign_in_failure(parsed->host));
        }
        signed_in = true;
    }
    if (status < 100 || status > 999) {
        // Some WinHTTP versions take bytes that are not HTTP for a reply without a status.
        return failed("the reply had no status", 12152);
    }
    HttpReply reply;
    reply.status = static_cast<uint16_t>(status);

    wchar_t etag[ETAG_BUFFER_UNITS];
    DWORD etag_size = sizeof(etag);
    if (WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_ETAG, WINHTTP_HEADER_NAME_BY_INDEX, etag,
                            &etag_size, WINHTTP_NO_HEADER_INDEX)) {
        reply.etag = utf8_from_utf16(
            std::u16string_view(reinterpret_cast<const char16_t*>(etag), etag_size / 2));
    }

    // WinHTTP ends the body without an error when the connection closes early; the announced
    // length tells a reply cut short from a whole one.
    std::optional<uint64_t> announced;
    if (status != 204 && status != 304 && status >= 200) announced = content_length(request.handle);

    const bool in_chunks = chunked(request.handle);

    std::string received;
    exchange.reading_body = true;
    for (;;) {
        if (const DWORD code =
                request.outcome(WinHttpReadData(request.handle, exchange.in.data(),
                                                static_cast<DWORD>(exchange.in.size()), nullptr),
                                watch.stop)) {
            return failed("the reply was cut off", code);
        }
        const DWORD read = exchange.bytes;
        if (read == 0) break;
        received.append(reinterpret_cast<const char*>(exchange.in.data()), read);
        if (received.size() > REPLY_CAP) {
            return std::unexpected(HttpFailure{.problem = HttpProblem::other,
                                               .nothing_sent = false,
                                               .text = std::string(REPLY_TOO_LARGE)});
        }
    }
    // A chunked reply ends with its last, empty chunk: the connection closing first cuts it off.
    if ((announced && received.size() < *announced) ||
        (in_chunks && exchange.closed_while_reading)) {
        return failed("the reply was cut off", 12030);
    }
    reply.body = utf8_with_replacement(received);
    return reply;
}

}  // namespace dalvento
