// One HTTP exchange over libcurl, behaving as the WinHTTP client does: the same time-outs, slices,
// progress calls, reply cap and ETag rule, and curl's errors mapped onto the same steps and
// WinHTTP error codes so that people read the same texts.
#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "county/text.h"
#include "winhttp/http_client.h"

namespace dalvento {

namespace {

constexpr uint32_t ERROR_TIMEOUT = 12002;
constexpr uint32_t ERROR_NAME_NOT_RESOLVED = 12007;
constexpr uint32_t ERROR_CANNOT_CONNECT = 12029;
constexpr uint32_t ERROR_CONNECTION_ERROR = 12030;
constexpr uint32_t ERROR_INVALID_HEADER = 12153;
constexpr uint32_t ERROR_INVALID_SERVER_RESPONSE = 12152;
constexpr uint32_t ERROR_SECURE_FAILURE = 12175;

struct Transfer {
    std::span<const uint8_t> body;
    bool streamed = false;
    size_t handed_out = 0;
    void* context = nullptr;
    ProgressFn progress = nullptr;
    bool reported = false;  // the one progress call of a body sent in one go

    bool status_line = false;   // a status line has arrived
    bool interim = false;       // the reply being read is a 1xx one
    bool headers_read = false;  // the final reply's header block has ended
    std::optional<std::string> etag;
    std::string received;
    bool too_large = false;

    void report_whole_body() {
        if (reported) return;
        reported = true;
        progress(context, body.size(), body.size());
    }
};

size_t on_read(char* buffer, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const size_t n = std::min({size * count, t.body.size() - t.handed_out, WRITE_CHUNK});
    if (n) std::memcpy(buffer, t.body.data() + t.handed_out, n);
    t.handed_out += n;
    if (t.streamed) {
        if (n) t.progress(t.context, t.handed_out, t.body.size());
    } else if (t.handed_out == t.body.size()) {
        t.report_whole_body();
    }
    return n;
}

size_t on_header(char* buffer, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::string_view line(buffer, size * count);
    if (line.starts_with("HTTP/")) {
        const size_t space = line.find(' ');
        t.status_line = true;
        t.interim = space != std::string_view::npos && line.substr(space + 1).starts_with("1");
        t.etag.reset();
    } else if (line == "\r\n" || line == "\n") {
        if (!t.interim) t.headers_read = true;
    } else if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
        if (!t.etag && equals_ignoring_ascii_case(line.substr(0, colon), "ETag")) {
            std::string_view value = line.substr(colon + 1);
            const auto blank = [](char c) {
                return c == ' ' || c == '\t' || c == '\r' || c == '\n';
            };
            while (!value.empty() && blank(value.front()))
                value.remove_prefix(1);
            while (!value.empty() && blank(value.back()))
                value.remove_suffix(1);
            t.etag = std::string(value);
        }
    }
    return size * count;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (t.received.size() + n > REPLY_CAP) {
        t.too_large = true;
        return 0;  // anything but n stops the transfer
    }
    t.received.append(data, n);
    return n;
}

// The step WinHTTP would have been in when the exchange failed, and its error code.
std::string failure_text(CURL* curl, CURLcode result, const Transfer& t) {
    curl_off_t pretransfer = 0;
    curl_off_t uploaded = 0;
    curl_easy_getinfo(curl, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    const bool request_started = pretransfer > 0;
    const bool body_out = static_cast<uint64_t>(uploaded) >= t.body.size();

    std::string_view what;
    if (t.headers_read) {
        what = "the reply was cut off";
    } else if (!request_started) {
        what = "couldn't send";
    } else if (t.streamed) {
        what = t.handed_out == 0 ? "couldn't send" : body_out ? "no reply" : "the upload stopped";
    } else {
        what = body_out ? "no reply" : "couldn't send";
    }

    switch (result) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_URL_MALFORMAT:  // a host curl cannot take is one that cannot be looked up
            return winhttp_failure_text("couldn't send", ERROR_NAME_NOT_RESOLVED);
        case CURLE_COULDNT_CONNECT:
            return winhttp_failure_text("couldn't send", ERROR_CANNOT_CONNECT);
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return winhttp_failure_text("couldn't send", ERROR_SECURE_FAILURE);
        case CURLE_OPERATION_TIMEDOUT:
            return winhttp_failure_text(what, ERROR_TIMEOUT);
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
            return winhttp_failure_text(what, ERROR_CONNECTION_ERROR);
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:  // what curl says of a reply without a status line
            return winhttp_failure_text(
                t.headers_read || t.status_line ? what : "the reply had no status",
                ERROR_INVALID_SERVER_RESPONSE);
        default:
            return std::string(what) + ": " + curl_easy_strerror(result) + " (curl error " +
                   std::to_string(static_cast<int>(result)) + ")";
    }
}

int on_seek(void* user, curl_off_t offset, int origin) {
    // curl rewinds a body only to send it again on a fresh connection, when a kept one turned
    // out to be closed before anything came back.
    auto& t = *static_cast<Transfer*>(user);
    if (origin != SEEK_SET || offset < 0 || static_cast<uint64_t>(offset) > t.body.size())
        return CURL_SEEKFUNC_CANTSEEK;
    t.handed_out = static_cast<size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

struct HeaderList {
    curl_slist* list = nullptr;
    HeaderList() = default;
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;
    ~HeaderList() { curl_slist_free_all(list); }
};

}  // namespace

// One easy handle for the whole session: curl keeps its connection between transfers.
struct HttpSession::Impl {
    std::string agent;
    CURL* curl = nullptr;
    ~Impl() {
        if (curl) curl_easy_cleanup(curl);
    }
};

HttpSession::HttpSession(UserAgent user_agent) : impl_(std::make_unique<Impl>()) {
    impl_->agent = utf8_from_utf16(user_agent.text);
}

HttpSession::~HttpSession() = default;

std::expected<HttpReply, std::string> HttpSession::request(std::string_view method,
                                                           std::string_view url,
                                                           const std::vector<std::string>& headers,
                                                           std::span<const uint8_t> body,
                                                           void* context, ProgressFn progress) {
    auto parsed = parse_url(url);
    if (!parsed) return std::unexpected(parsed.error());
    if (!progress) progress = [](void*, uint64_t, uint64_t) {};

    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    // Each exchange starts from no options at all; the connection survives a reset.
    if (impl_->curl) {
        curl_easy_reset(impl_->curl);
    } else {
        impl_->curl = curl_easy_init();
    }
    CURL* curl = impl_->curl;
    if (!curl) return std::unexpected(std::string("couldn't start HTTP: curl could not start"));
    HeaderList handle;

    // WinHTTP refuses a header line without a colon, and curl would send it as it is.
    bool has_accept = false;
    for (const std::string& header : headers) {
        const size_t colon = header.find(':');
        if (colon == std::string::npos || header.find_first_of("\r\n") != std::string::npos) {
            return std::unexpected(
                winhttp_failure_text("couldn't set a header", ERROR_INVALID_HEADER));
        }
        has_accept = has_accept || equals_ignoring_ascii_case(header.substr(0, colon), "Accept");
        handle.list = curl_slist_append(handle.list, header.c_str());
    }
    // Send only what WinHTTP sends: no Accept of curl's own, and never wait for 100-continue.
    if (!has_accept) handle.list = curl_slist_append(handle.list, "Accept:");
    handle.list = curl_slist_append(handle.list, "Expect:");
    if (!handle.list) return std::unexpected(winhttp_failure_text("couldn't set a header", 8));

    Transfer t;
    t.body = body;
    t.streamed = method == "PUT" && body.size() > STREAMING_THRESHOLD;
    t.context = context;
    t.progress = progress;

    const std::string origin = std::string(parsed->https ? "https://" : "http://") + parsed->host +
                               ":" + std::to_string(parsed->port) + "/";
    const std::string method_text(method);

    curl_easy_setopt(curl, CURLOPT_URL, origin.c_str());
    // The path goes out exactly as the URL gave it, query included.
    curl_easy_setopt(curl, CURLOPT_REQUEST_TARGET, parsed->path.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method_text.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, impl_->agent.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, handle.list);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, on_read);
    curl_easy_setopt(curl, CURLOPT_READDATA, &t);
    curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, on_seek);
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, &t);
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(WRITE_CHUNK));
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(READ_BUFFER));
    // No redirects and no proxy taken from the environment. Parts share the session's kept
    // connection; anything else goes out on one of its own, so that an announce or complete is
    // never sent a second time on a fresh connection after a kept one turns out closed.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    if (method != "PUT") {
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // curl has one budget for looking the name up and connecting; WinHTTP has one for each.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(RESOLVE_TIMEOUT_MS + CONNECT_TIMEOUT_MS));
    // WinHTTP's send and receive time-outs end an exchange that makes no progress for that long.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(SEND_TIMEOUT_MS / 1000));

    const CURLcode result = curl_easy_perform(curl);
    if (!t.streamed) t.report_whole_body();
    if (t.too_large) return std::unexpected(std::string(REPLY_TOO_LARGE));
    if (result != CURLE_OK) return std::unexpected(failure_text(curl, result, t));

    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    HttpReply reply;
    reply.status = static_cast<uint16_t>(status);
    if (t.etag && utf16_from_utf8(*t.etag).size() < ETAG_BUFFER_UNITS) {
        reply.etag = utf8_with_replacement(*t.etag);
    }
    reply.body = utf8_with_replacement(t.received);
    return reply;
}

}  // namespace dalvento
