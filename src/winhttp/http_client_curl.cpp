// One HTTP exchange over libcurl, behaving as the WinHTTP client does: the same time-outs, slices,
// progress calls, reply cap and ETag rule, and curl's errors told as the same steps and problems,
// so that people read the same texts. The transfer runs on a multi handle polled every
// STOP_POLL_MS, so that a stop ends it at once whatever it waits for.
#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "county/text.h"
#include "winhttp/http_client.h"

namespace dalvento {

namespace {

struct Transfer {
    std::span<const uint8_t> body;
    bool streamed = false;
    size_t handed_out = 0;
    const HttpWatch* watch = nullptr;
    bool reported = false;  // the one progress call of a body sent in one go

    bool status_line = false;   // a status line has arrived
    bool interim = false;       // the reply being read is a 1xx one
    bool headers_read = false;  // the final reply's header block has ended
    std::optional<std::string> etag;
    std::string received;
    bool too_large = false;

    void progress(uint64_t sent) const {
        if (watch->progress) watch->progress(sent, body.size());
    }
    void report_whole_body() {
        if (reported) return;
        reported = true;
        progress(body.size());
    }
};

size_t on_read(char* buffer, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const size_t n = std::min({size * count, t.body.size() - t.handed_out, WRITE_CHUNK});
    if (n) std::memcpy(buffer, t.body.data() + t.handed_out, n);
    t.handed_out += n;
    if (t.streamed) {
        if (n) t.progress(t.handed_out);
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

// The step WinHTTP would have been in when the exchange failed, and what went wrong.
HttpFailure failure_of(CURL* curl, CURLcode result, const Transfer& t, std::string_view host) {
    curl_off_t pretransfer = 0;
    curl_off_t uploaded = 0;
    long proxy_answer = 0, status = 0;
    curl_easy_getinfo(curl, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &proxy_answer);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    const bool request_started = pretransfer > 0;
    const bool body_out = static_cast<uint64_t>(uploaded) >= t.body.size();
    // A proxy that asks to sign in may close the connection without reading what was sent.
    if (proxy_answer == 407 || (t.headers_read && status == 407)) {
        return proxy_sign_in_failure(host);
    }

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

    HttpFailure failure;
    switch (result) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_URL_MALFORMAT:  // a host curl cannot take is one that cannot be looked up
            failure = http_failure("couldn't send", HttpProblem::name_not_found);
            break;
        case CURLE_COULDNT_CONNECT:
            failure = http_failure("couldn't send", HttpProblem::cannot_connect);
            break;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return http_failure("couldn't send", HttpProblem::untrusted);
        case CURLE_OPERATION_TIMEDOUT:
            failure = http_failure(what, HttpProblem::timed_out);
            break;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_SEND_FAIL_REWIND:  // a kept connection found closed: sent again by our rule
            return http_failure(what, HttpProblem::dropped);
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:  // what curl says of a reply without a status line
            return http_failure(t.headers_read || t.status_line ? what : "the reply had no status",
                                HttpProblem::not_http);
        default:
            return http_failure(what, HttpProblem::other,
                                std::string(curl_easy_strerror(result)) + " (curl error " +
                                    std::to_string(static_cast<int>(result)) + ")");
    }
    // Refused, or no connection within the time allowed: the server saw nothing.
    failure.nothing_sent =
        !request_started && (result == CURLE_COULDNT_CONNECT || result == CURLE_OPERATION_TIMEDOUT);
    return failure;
}

int on_seek(void* user, curl_off_t offset, int origin) {
    // curl rewinds a body to send it again on its own, on a fresh connection, when a kept one
    // turned out to be closed. A part is sent again only by the send's own rule, which counts and
    // spaces its attempts, so a body already started is never rewound here.
    auto& t = *static_cast<Transfer*>(user);
    if (origin != SEEK_SET || offset != 0 || t.handed_out != 0) return CURL_SEEKFUNC_CANTSEEK;
    return CURL_SEEKFUNC_OK;
}

// Whether the environment names a proxy for plain HTTP, as curl reads it (no_proxy aside: a
// server takes the whole URL as the target as well as the path).
bool http_proxy_named() {
    for (const char* name : {"http_proxy", "all_proxy", "ALL_PROXY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

struct HeaderList {
    curl_slist* list = nullptr;
    HeaderList() = default;
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;
    ~HeaderList() { curl_slist_free_all(list); }
};

}  // namespace

// One easy handle on one multi handle for the whole session: the multi handle keeps the
// connection between transfers.
struct HttpSession::Impl {
    std::string agent;
    CURLM* multi = nullptr;
    CURL* curl = nullptr;
    ~Impl() {
        if (curl) curl_easy_cleanup(curl);
        if (multi) curl_multi_cleanup(multi);
    }

    // Runs the transfer set up on curl, looking at the stop flag between polls; none when
    // stopped.
    std::optional<CURLcode> perform(const std::atomic<bool>* stop);
};

std::optional<CURLcode> HttpSession::Impl::perform(const std::atomic<bool>* stop) {
    if (curl_multi_add_handle(multi, curl) != CURLM_OK) return CURLE_FAILED_INIT;
    std::optional<CURLcode> result;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE) result = message->data.result;
        }
        if (result || running == 0) break;
        if (stop && *stop) break;
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(STOP_POLL_MS), nullptr);
    }
    // Taking the handle off mid-transfer closes its connection.
    curl_multi_remove_handle(multi, curl);
    if (!result && stop && *stop) return std::nullopt;
    return result.value_or(CURLE_OK);
}

HttpSession::HttpSession(UserAgent user_agent) : impl_(std::make_unique<Impl>()) {
    impl_->agent = utf8_from_utf16(user_agent.text);
}

HttpSession::~HttpSession() = default;

HttpResult HttpSession::request(std::string_view method, std::string_view url,
                                const std::vector<std::string>& headers,
                                std::span<const uint8_t> body, const HttpWatch& watch) {
    auto parsed = parse_url(url);
    if (!parsed) return std::unexpected(HttpFailure{.text = parsed.error()});
    if (!header_lines_valid(headers)) {
        return std::unexpected(http_failure("couldn't set a header", HttpProblem::other,
                                            "a header line must be \"Name: value\" on one line"));
    }

    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    // Each exchange starts from no options at all; the connection survives a reset.
    if (impl_->curl) {
        curl_easy_reset(impl_->curl);
    } else {
        impl_->curl = curl_easy_init();
    }
    if (!impl_->multi) impl_->multi = curl_multi_init();
    CURL* curl = impl_->curl;
    if (!curl || !impl_->multi) {
        return std::unexpected(
            http_failure("couldn't start HTTP", HttpProblem::other, "curl could not start"));
    }
    HeaderList handle;

    bool has_accept = false;
    for (const std::string& header : headers) {
        const size_t colon = header.find(':');
        has_accept = has_accept || equals_ignoring_ascii_case(header.substr(0, colon), "Accept");
        handle.list = curl_slist_append(handle.list, header.c_str());
    }
    // Send only what WinHTTP sends: no Accept of curl's own, and never wait for 100-continue.
    if (!has_accept) handle.list = curl_slist_append(handle.list, "Accept:");
    handle.list = curl_slist_append(handle.list, "Expect:");
    if (!handle.list) {
        return std::unexpected(
            http_failure("couldn't set a header", HttpProblem::other, "out of memory"));
    }

    Transfer t;
    t.body = body;
    t.streamed = method == "PUT" && body.size() > STREAMING_THRESHOLD;
    t.watch = &watch;

    const std::string origin = std::string(parsed->https ? "https://" : "http://") + parsed->host +
                               ":" + std::to_string(parsed->port) + "/";
    const std::string method_text(method);

    curl_easy_setopt(curl, CURLOPT_URL, origin.c_str());
    // The path goes out exactly as the URL gave it, query included; to a proxy of plain HTTP, as
    // the whole URL (https goes through the proxy's tunnel and takes the path as it is).
    const std::string target = !parsed->https && http_proxy_named()
                                   ? origin.substr(0, origin.size() - 1) + parsed->path
                                   : parsed->path;
    curl_easy_setopt(curl, CURLOPT_REQUEST_TARGET, target.c_str());
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
    // No redirects. The proxy is the one the usual environment names (http_proxy, HTTPS_PROXY,
    // ALL_PROXY and NO_PROXY, as curl reads them). Parts share the session's kept connection;
    // anything else goes out on one of its own, so that an announce or complete is never sent a
    // second time on a fresh connection after a kept one turns out closed.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
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

    const std::optional<CURLcode> result = impl_->perform(watch.stop);
    if (!result) return std::unexpected(http_failure("couldn't send", HttpProblem::stopped));
    if (!t.streamed) t.report_whole_body();
    if (t.too_large) {
        return std::unexpected(HttpFailure{.problem = HttpProblem::other,
                                           .nothing_sent = false,
                                           .text = std::string(REPLY_TOO_LARGE)});
    }
    if (*result != CURLE_OK) return std::unexpected(failure_of(curl, *result, t, parsed->host));

    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status == 407) return std::unexpected(proxy_sign_in_failure(parsed->host));
    HttpReply reply;
    reply.status = static_cast<uint16_t>(status);
    if (t.etag && utf16_from_utf8(*t.etag).size() < ETAG_BUFFER_UNITS) {
        reply.etag = utf8_with_replacement(*t.etag);
    }
    reply.body = utf8_with_replacement(t.received);
    return reply;
}

}  // namespace dalvento
