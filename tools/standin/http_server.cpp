#include "standin/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace dalvento::standin {

namespace {

// Bodies are read in pieces of up to this size, straight into the handler.
constexpr size_t BODY_PIECE = 1 << 20;
// A request's line and headers may take this much, no more.
constexpr size_t HEADER_LIMIT = 64 * 1024;
// A connection that sends nothing for this long is closed.
constexpr int IDLE_MS = 60'000;

bool same_text_any_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// Parses the request line and headers; false when they are not HTTP/1.x.
bool parse_head(std::string_view head, HttpRequest& request) {
    const size_t line_end = head.find("\r\n");
    const std::string_view line = head.substr(0, line_end);
    const size_t first = line.find(' ');
    const size_t last = line.rfind(' ');
    if (first == std::string_view::npos || last == first) return false;
    if (!line.substr(last + 1).starts_with("HTTP/1.")) return false;
    request.method = std::string(line.substr(0, first));
    request.target = std::string(line.substr(first + 1, last - first - 1));
    request.path = request.target.substr(0, request.target.find('?'));
    std::string_view rest = line_end == std::string_view::npos ? "" : head.substr(line_end + 2);
    while (!rest.empty()) {
        const size_t end = rest.find("\r\n");
        const std::string_view header = rest.substr(0, end);
        rest = end == std::string_view::npos ? "" : rest.substr(end + 2);
        if (header.empty()) break;
        const size_t colon = header.find(':');
        if (colon == std::string_view::npos) return false;
        request.headers.emplace_back(std::string(trim(header.substr(0, colon))),
                                     std::string(trim(header.substr(colon + 1))));
    }
    const std::string length = request.header("Content-Length");
    if (!length.empty()) {
        if (length.size() > 19 || length.find_first_not_of("0123456789") != std::string::npos)
            return false;
        request.content_length = std::stoull(length);
    }
    return true;
}

// One accepted connection: its socket, its TLS session if any, and what was read past the
// request head.
class Connection final : public HttpConnection {
  public:
    Connection(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
    ~Connection() override {
        if (ssl_) SSL_free(ssl_);
        if (fd_ >= 0) ::close(fd_);
    }

    bool usable() const { return !gone_; }
    bool replied() const { return replied_; }

    // Reads the next request's head; false at the end of the connection or on a bad request.
    bool next_request(HttpRequest& request) {
        request = HttpRequest{};
        replied_ = false;
        body_left_ = 0;
        for (;;) {
            const size_t end = pending_.find("\r\n\r\n");
            if (end != std::string::npos) {
                const std::string head = pending_.substr(0, end + 2);
                pending_.erase(0, end + 4);
                if (!parse_head(head, request) || !request.header("Transfer-Encoding").empty()) {
                    reply(400, {}, R"({"error":"not a request this service takes"})");
                    gone_ = true;
                    return false;
                }
                body_left_ = request.content_length;
                // A client that asks first (curl does, for bodies over 1 MiB) waits for this, or
                // for a second, before it sends the body.
                continue_ =
                    body_left_ > 0 && same_text_any_case(request.header("Expect"), "100-continue");
                return true;
            }
            if (pending_.size() > HEADER_LIMIT) return false;
            char buffer[16 * 1024];
            const ssize_t n = receive(buffer, sizeof buffer);
            if (n <= 0) return false;
            pending_.append(buffer, static_cast<size_t>(n));
        }
    }

    bool read_body(const std::function<bool(const char*, size_t)>& sink) override {
        for (;;) {
            const auto piece = read_piece(BODY_PIECE);
            if (!piece) return false;
            if (piece->empty()) return true;
            if (!sink(piece->data(), piece->size())) return false;
        }
    }

    std::optional<std::string_view> read_piece(size_t most) override {
        if (continue_) {
            continue_ = false;
            write_raw("HTTP/1.1 100 Continue\r\n\r\n");
        }
        if (body_left_ == 0) return std::string_view();
        if (gone_) return std::nullopt;
        if (!piece_) piece_ = std::make_unique<char[]>(BODY_PIECE);
        const size_t want = static_cast<size_t>(
            std::min<uint64_t>({body_left_, std::max<size_t>(most, 1), BODY_PIECE}));
        // What came in with the head first, then straight from the socket.
        size_t got = 0;
        if (!pending_.empty()) {
            got = std::min(pending_.size(), want);
            std::memcpy(piece_.get(), pending_.data(), got);
            pending_.erase(0, got);
        } else {
            const ssize_t n = receive(piece_.get(), want);
            if (n <= 0) {
                gone_ = true;
                return std::nullopt;
            }
            got = static_cast<size_t>(n);
        }
        body_left_ -= got;
        return std::string_view(piece_.get(), got);
    }

    void reply(int status, const HeaderList& headers, std::string_view body) override {
        continue_ = false;  // the answer comes before the body was asked for
        std::string out = "HTTP/1.1 " + std::to_string(status) + " " +
                          std::string(reason_phrase(status)) + "\r\n";
        bool typed = false;
        for (const auto& [name, value] : headers) {
            typed = typed || same_text_any_case(name, "Content-Type");
            out += name + ": " + value + "\r\n";
        }
        if (!typed) out += "Content-Type: application/json\r\n";
        out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        out += body;
        write_raw(out);
        replied_ = true;
    }

    void write_raw(std::string_view bytes) override {
        replied_ = true;
        while (!bytes.empty() && !gone_) {
            const ssize_t n = ssl_ ? SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()))
                                   : ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                gone_ = true;
                return;
            }
            bytes.remove_prefix(static_cast<size_t>(n));
        }
    }

    void end() override {
        replied_ = true;
        if (gone_) return;
        gone_ = true;
        if (ssl_) SSL_shutdown(ssl_);
        ::shutdown(fd_, SHUT_WR);
        // Let the client read what was written before the socket goes.
        drain_briefly();
    }

    void reset() override {
        replied_ = true;
        if (gone_) return;
        gone_ = true;
        const linger abort{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        // An unconnected socket takes the descriptor's place, so that it stays this
        // connection's until the end; the connection itself goes with its last descriptor.
        const int placeholder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (placeholder >= 0) {
            ::dup2(placeholder, fd_);
            ::close(placeholder);
        }
    }

    // Skips what is left of a body the handler did not read; false when that cannot be done.
    bool skip_body() {
        return read_body([](const char*, size_t) { return true; });
    }

  private:
    ssize_t receive(char* into, size_t size) {
        pollfd ready{fd_, POLLIN, 0};
        if (!(ssl_ && SSL_pending(ssl_) > 0) && ::poll(&ready, 1, IDLE_MS) <= 0) return -1;
        if (ssl_) return SSL_read(ssl_, into, static_cast<int>(std::min<size_t>(size, 1 << 30)));
        return ::recv(fd_, into, size, 0);
    }

    // Reads until the client closes, for a short while, so that closing does not turn into a
    // reset while the client still sends.
    void drain_briefly() {
        char buffer[16 * 1024];
        pollfd ready{fd_, POLLIN, 0};
        while (::poll(&ready, 1, 2000) > 0) {
            if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) break;
        }
    }

    int fd_;
    SSL* ssl_;
    std::string pending_;
    std::unique_ptr<char[]> piece_;
    uint64_t body_left_ = 0;
    bool continue_ = false;  // "100 Continue" is owed before the body is read
    bool replied_ = false;
    bool gone_ = false;
};

}  // namespace

std::string HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (same_text_any_case(key, name)) return value;
    }
    return {};
}

std::string HttpRequest::param(std::string_view name) const {
    const size_t question = target.find('?');
    if (question == std::string::npos) return {};
    std::string_view query = std::string_view(target).substr(question + 1);
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const size_t equals = pair.find('=');
        if (pair.substr(0, equals) == name)
            return equals == std::string_view::npos ? "" : std::string(pair.substr(equals + 1));
        query = amp == std::string_view::npos ? "" : query.substr(amp + 1);
    }
    return {};
}

std::string_view reason_phrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 409:
            return "Conflict";
        case 413:
            return "Content Too Large";
        case 415:
            return "Unsupported Media Type";
        case 422:
            return "Unprocessable Content";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return "Unknown";
    }
}

struct HttpServer::Impl {
    int listener = -1;
    uint16_t port = 0;
    SSL_CTX* tls = nullptr;
    HttpHandler handler;
    std::thread acceptor;

    std::mutex mutex;
    std::condition_variable all_done;
    bool stopping = false;
    size_t serving = 0;     // connections whose threads still run
    std::vector<int> open;  // their sockets

    void serve(int fd) {
        SSL* ssl = nullptr;
        if (tls) {
            ssl = SSL_new(tls);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) <= 0) {
                SSL_free(ssl);
                ssl = nullptr;
                ::close(fd);
                forget(fd);
                return;
            }
        }
        {
            Connection connection(fd, ssl);
            HttpRequest request;
            while (connection.next_request(request)) {
                handler(request, connection);
                if (!connection.usable()) break;
                if (!connection.replied()) connection.reply(500, {}, R"({"error":"no answer"})");
                if (!connection.skip_body() || !connection.usable()) break;
                if (same_text_any_case(request.header("Connection"), "close")) break;
            }
            forget(fd);
        }
    }

    void forget(int fd) {
        std::lock_guard lock(mutex);
        // The oldest entry: a descriptor number closed here may already serve a newer one.
        const auto found = std::find(open.begin(), open.end(), fd);
        if (found != open.end()) open.erase(found);
        if (--serving == 0) all_done.notify_all();
    }

    void accept_loop() {
        for (;;) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            std::lock_guard lock(mutex);
            if (stopping) {
                if (fd >= 0) ::close(fd);
                return;
            }
            if (fd < 0) continue;
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            open.push_back(fd);
            ++serving;
            try {
                std::thread([this, fd] { serve(fd); }).detach();
            } catch (const std::system_error&) {
                open.pop_back();
                --serving;
                ::close(fd);
            }
        }
    }
};

HttpServer::HttpServer() : impl_(std::make_unique<Impl>()) {}

HttpServer::~HttpServer() {
    stop();
}

std::expected<std::unique_ptr<HttpServer>, std::string> HttpServer::start(uint16_t port,
                                                                          HttpHandler handler,
                                                                          SSL_CTX* tls) {
    std::unique_ptr<HttpServer> server(new HttpServer());
    Impl& impl = *server->impl_;
    impl.handler = std::move(handler);
    impl.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const std::string where = "127.0.0.1:" + std::to_string(port);
    if (impl.listener < 0) return std::unexpected("couldn't listen on " + where);
    const int one = 1;
    setsockopt(impl.listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t size = sizeof(address);
    if (::bind(impl.listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(impl.listener, 64) != 0 ||
        ::getsockname(impl.listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return std::unexpected("couldn't listen on " + where + ": " + std::strerror(errno));
    }
    impl.port = ntohs(address.sin_port);
    if (tls) {
        SSL_CTX_up_ref(tls);
        impl.tls = tls;
    }
    impl.acceptor = std::thread([&impl] { impl.accept_loop(); });
    return server;
}

uint16_t HttpServer::port() const {
    return impl_->port;
}

void HttpServer::stop() {
    Impl& impl = *impl_;
    {
        std::lock_guard lock(impl.mutex);
        if (impl.stopping) return;
        impl.stopping = true;
        // Wakes the acceptor and every connection waiting for its client.
        ::shutdown(impl.listener, SHUT_RDWR);
        for (const int fd : impl.open)
            ::shutdown(fd, SHUT_RDWR);
    }
    if (impl.acceptor.joinable()) impl.acceptor.join();
    {
        std::unique_lock lock(impl.mutex);
        impl.all_done.wait(lock, [&] { return impl.serving == 0; });
    }
    ::close(impl.listener);
    if (impl.tls) SSL_CTX_free(impl.tls);
}

}  // namespace dalvento::standin
