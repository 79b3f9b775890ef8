// The stand-in's HTTP/1.1 server: loopback only, a thread per connection, keep-alive, plain or
// TLS. Request bodies are handed to the handler as they arrive, in large pieces straight from the
// socket, so that an upload is taken at loopback speed; and the handler has the connection itself,
// so that it can misbehave on the wire on purpose.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dalvento::standin {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string target;  // path and query as sent
    std::string path;    // before '?'
    HeaderList headers;  // as sent
    uint64_t content_length = 0;

    // The first header of that name, any case; empty when there is none.
    std::string header(std::string_view name) const;
    // A query parameter's value as sent; empty when there is none.
    std::string param(std::string_view name) const;
};

// The connection a request came in on, as its handler sees it.
class HttpConnection {
  public:
    virtual ~HttpConnection() = default;
    // Hands the request body to sink piece by piece as it arrives; sink returns false to stop.
    // True when the whole body arrived and sink took it all.
    virtual bool read_body(const std::function<bool(const char*, size_t)>& sink) = 0;
    // The next piece of the request body, at most `most` bytes (at least 1), valid until the next
    // read: empty once the whole body has been read, none when the connection ended first. For a
    // reader that sets its own pace.
    virtual std::optional<std::string_view> read_piece(size_t most) = 0;
    // A whole reply with Content-Length; Content-Type is application/json unless given.
    virtual void reply(int status, const HeaderList& headers, std::string_view body) = 0;
    // Writes bytes as they are, nothing added.
    virtual void write_raw(std::string_view bytes) = 0;
    // Closes after what was written so far (FIN).
    virtual void end() = 0;
    // Resets the connection (RST): the client sees it drop.
    virtual void reset() = 0;
};

using HttpHandler = std::function<void(const HttpRequest&, HttpConnection&)>;

class HttpServer {
  public:
    // Listens on 127.0.0.1 (port 0: any free one) and serves until stopped. With a TLS context,
    // every connection is TLS; the server takes a reference to the context.
    static std::expected<std::unique_ptr<HttpServer>, std::string> start(uint16_t port,
                                                                         HttpHandler handler,
                                                                         SSL_CTX* tls = nullptr);
    ~HttpServer();  // stops
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    uint16_t port() const;
    // Stops accepting, ends every open connection and waits for their handlers.
    void stop();

  private:
    HttpServer();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The reason phrase of a status, "Unknown" for one without.
std::string_view reason_phrase(int status);

}  // namespace dalvento::standin
