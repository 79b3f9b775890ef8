// The protocol over the real HTTP client.
#include "upload/delivery.h"

namespace dalvento {

namespace {

class ClientSeam final : public HttpSeam {
  public:
    explicit ClientSeam(std::string_view user_agent) : user_agent_(make_user_agent(user_agent)) {}

    std::expected<HttpReply, std::string> request(std::string_view method, std::string_view url,
                                                  const std::vector<std::string>& headers,
                                                  std::span<const uint8_t> body, void* context,
                                                  ProgressFn progress) override {
        return http_request(user_agent_, method, url, headers, body, context, progress);
    }

    std::expected<HttpReply, std::string> post_json(std::string_view url, std::string_view token,
                                                    std::string_view json) override {
        return dalvento::post_json(user_agent_, url, token, json);
    }

  private:
    const UserAgent user_agent_;
};

}  // namespace

std::unique_ptr<HttpSeam> make_http_seam(std::string_view user_agent) {
    return std::make_unique<ClientSeam>(user_agent);
}

void send_delivery(SendJob job) {
    // The user agent is converted once for the whole send.
    const auto http = make_http_seam();
    send_delivery(std::move(job), *http);
}

}  // namespace dalvento
