// The protocol over the real HTTP client.
#include "upload/delivery.h"

namespace dalvento {

namespace {

// One HTTP session for the whole send, so that its parts can share a connection.
class ClientSeam final : public HttpSeam {
  public:
    explicit ClientSeam(std::string_view user_agent) : session_(make_user_agent(user_agent)) {}

    HttpResult request(std::string_view method, std::string_view url,
                       const std::vector<std::string>& headers, std::span<const uint8_t> body,
                       const HttpWatch& watch) override {
        return session_.request(method, url, headers, body, watch);
    }

  private:
    HttpSession session_;
};

}  // namespace

std::unique_ptr<HttpSeam> make_http_seam(std::string_view user_agent) {
    return std::make_unique<ClientSeam>(user_agent);
}

SendOutcome send_delivery(const SendJob& job, const SendHooks& hooks) {
    // The user agent is converted once, and one session serves the whole send.
    const auto http = make_http_seam();
    return send_delivery(job, *http, hooks);
}

}  // namespace dalvento
