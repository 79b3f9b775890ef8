// HTTP exchanges over WinHTTP: one session handle and one connection handle per HttpSession, so
// that WinHTTP keeps the connection between the parts of a send; a request handle per exchange,
// closed before returning. The session is asynchronous, and each call waits for its own
// completion: only the status notifications say that the connection closed while a reply was
// still being read, which is how a chunked reply cut off before its last chunk is told from a
// whole one (some WinHTTP versions end such a body as if it were complete).
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <limits>

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
    // call itself refused (`started` false) or its completion reported the failure.
    DWORD outcome(BOOL started) const {
        if (!started) return GetLastError();
        if (WaitForSingleObject(exchange->completed, INFINITE) != WAIT_OBJECT_0) {
            return GetLastError() ? GetLastError() : ERROR_INVALID_HANDLE;
        }
        return exchange->error;
    }
};

// NUL-terminated UTF-16 for one WinHTTP call.
std::wstring wide(std::string_view text) {
    const std::u16string units = utf16_from_utf8(text);
    return std::wstring(units.begin(), units.end());
}

// A failed step; by default that of the call just made, whose error code is read before anything
// else runs.
std::unexpected<std::string> failed(std::string_view what, DWORD code = GetLastError()) {
    return std::unexpected(winhttp_failure_text(what, code));
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

    ~Impl() {
        if (connection) WinHttpCloseHandle(connection);
        if (session) WinHttpCloseHandle(session);
    }
};

HttpSession::HttpSession(UserAgent user_agent) : impl_(std::make_unique<Impl>()) {
    impl_->user_agent = std::move(user_agent);
}

HttpSession::~HttpSession() = default;

std::expected<HttpReply, std::string> HttpSession::request(
    std::string_view method, std::string_view url, const std::vector<std::string>& headers,
    std::span<const uint8_t> body, void* progress_context, ProgressFn progress) {
    auto parsed = parse_url(url);
    if (!parsed) return std::unexpected(parsed.error());
    if (!progress) progress = [](void*, uint64_t, uint64_t) {};
    if (body.size() > std::numeric_limits<DWORD>::max()) {
        // WinHTTP counts a request body in 32 bits; a longer one would go out truncated.
        return std::unexpected(std::string("couldn't send: the request body is 4 GiB or larger"));
    }
    const auto total = static_cast<DWORD>(body.size());

    Impl& state = *impl_;
    if (!state.session) {
        const auto* agent = reinterpret_cast<const wchar_t*>(state.user_agent.text.c_str());
        state.session =
            WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                        WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
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
    DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
    if (!WinHttpSetOption(request.handle, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects,
                          sizeof(no_redirects))) {
        return failed("couldn't open the request");
    }
    for (const std::string& header : headers) {
        if (!WinHttpAddRequestHeaders(request.handle, wide(header).c_str(), static_cast<DWORD>(-1),
                                      WINHTTP_ADDREQ_FLAG_ADD)) {
            return failed("couldn't set a header");
        }
    }

    if (method == "PUT" && body.size() > STREAMING_THRESHOLD) {
        if (const DWORD code =
                request.outcome(WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                                   WINHTTP_NO_REQUEST_DATA, 0, total, context))) {
            return failed("couldn't send", code);
        }
        DWORD sent = 0;
        while (sent < total) {
            const DWORD slice = std::min<DWORD>(total - sent, static_cast<DWORD>(WRITE_CHUNK));
            if (const DWORD code = request.outcome(
                    WinHttpWriteData(request.handle, body.data() + sent, slice, nullptr))) {
                return failed("the upload stopped", code);
            }
            const DWORD written = request.exchange->bytes;
            if (written == 0) {
                // A write that takes nothing would never finish the body.
                return failed("the upload stopped", 12030);
            }
            sent += written;
            progress(progress_context, sent, total);
        }
    } else {
        void* data = total ? const_cast<uint8_t*>(body.data()) : WINHTTP_NO_REQUEST_DATA;
        const DWORD code = request.outcome(WinHttpSendRequest(
            request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, total, total, context));
        progress(progress_context, total, total);
        if (code) return failed("couldn't send", code);
    }

    if (const DWORD code = request.outcome(WinHttpReceiveResponse(request.handle, nullptr))) {
        return failed("no reply", code);
    }

    HttpReply reply;
    DWORD status = 0;
    DWORD status_size = sizeof(status);
    if (!WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return failed("the reply had no status");
    }
    if (status < 100 || status > 999) {
        // Some WinHTTP versions take bytes that are not HTTP for a reply without a status.
        return failed("the reply had no status", 12152);
    }
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
    std::vector<uint8_t> buffer(READ_BUFFER);
    request.exchange->reading_body = true;
    for (;;) {
        if (const DWORD code = request.outcome(WinHttpReadData(
                request.handle, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr))) {
            return failed("the reply was cut off", code);
        }
        const DWORD read = request.exchange->bytes;
        if (read == 0) break;
        received.append(reinterpret_cast<const char*>(buffer.data()), read);
        if (received.size() > REPLY_CAP) return std::unexpected(std::string(REPLY_TOO_LARGE));
    }
    // A chunked reply ends with its last, empty chunk: the connection closing first cuts it off.
    if ((announced && received.size() < *announced) ||
        (in_chunks && request.exchange->closed_while_reading)) {
        return failed("the reply was cut off", 12030);
    }
    reply.body = utf8_with_replacement(received);
    return reply;
}

}  // namespace dalvento
