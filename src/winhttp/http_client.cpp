// The parts of the HTTP client that are the same on every platform: URL splitting, the JSON post,
// the failure texts and the UTF-16 conversions WinHTTP needs.
#include "winhttp/http_client.h"

#include "county/text.h"

namespace dalvento {

namespace {

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::u16string utf16_from_utf8(std::string_view text) {
    // After replacement every sequence is well formed, so decoding needs no checks.
    const std::string valid = utf8_with_replacement(text);
    std::u16string out;
    out.reserve(valid.size());
    for (size_t i = 0; i < valid.size();) {
        const auto b0 = static_cast<uint8_t>(valid[i]);
        size_t len = 1;
        char32_t cp = b0;
        if (b0 >= 0xF0) {
            len = 4, cp = b0 & 0x07;
        } else if (b0 >= 0xE0) {
            len = 3, cp = b0 & 0x0F;
        } else if (b0 >= 0xC0) {
            len = 2, cp = b0 & 0x1F;
        }
        for (size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<uint8_t>(valid[i + k]) & 0x3F);
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string utf8_from_utf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        char32_t cp = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            cp = 0xFFFD;
        }
        append_utf8(out, cp);
    }
    return out;
}

UserAgent make_user_agent(std::string_view text) {
    return UserAgent{utf16_from_utf8(text)};
}

std::expected<ParsedUrl, std::string> parse_url(std::string_view url) {
    const size_t separator = url.find("://");
    if (separator == std::string_view::npos)
        return std::unexpected("not a URL: " + std::string(url));

    ParsedUrl parsed;
    const std::string_view scheme = url.substr(0, separator);
    if (scheme == "https") {
        parsed.https = true;
    } else if (scheme != "http") {
        return std::unexpected("unsupported scheme in " + std::string(url));
    }

    const std::string_view rest = url.substr(separator + 3);
    const size_t slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    parsed.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));

    parsed.port = parsed.https ? 443 : 80;
    std::string_view host = authority;
    const size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view digits = authority.substr(colon + 1);
        bool all_digits = !digits.empty();
        for (char c : digits)
            all_digits = all_digits && c >= '0' && c <= '9';
        if (all_digits) {
            uint32_t value = 0;
            for (char c : digits) {
                value = value * 10 + static_cast<uint32_t>(c - '0');
                if (value > 65535) return std::unexpected("number too large to fit in target type");
            }
            host = authority.substr(0, colon);
            parsed.port = static_cast<uint16_t>(value);
        }
    }
    if (host.empty()) return std::unexpected("no host in " + std::string(url));
    parsed.host = std::string(host);
    return parsed;
}

HttpResult http_request(const UserAgent& user_agent, std::string_view method, std::string_view url,
                        const std::vector<std::string>& headers, std::span<const uint8_t> body,
                        const HttpWatch& watch) {
    HttpSession session(user_agent);
    return session.request(method, url, headers, body, watch);
}

HttpResult post_json(const UserAgent& user_agent, std::string_view url, std::string_view token,
                     std::string_view json) {
    const std::vector<std::string> headers = {
        "Authorization: Bearer " + std::string(token),
        "Content-Type: application/json",
        "Accept: application/json",
    };
    const std::span<const uint8_t> body(reinterpret_cast<const uint8_t*>(json.data()), json.size());
    return http_request(user_agent, "POST", url, headers, body);
}

HttpFailure http_failure(std::string_view what, HttpProblem problem,
                         std::string_view other_detail) {
    std::string detail;
    switch (problem) {
        case HttpProblem::timed_out:
            detail = "timed out";
            break;
        case HttpProblem::name_not_found:
            detail = "the name " + std::string(SERVICE_HOST) +
                     " couldn't be looked up (no DNS, or no network)";
            break;
        case HttpProblem::cannot_connect:
            detail = "couldn't connect (no network, or a firewall)";
            break;
        case HttpProblem::dropped:
            detail = "the connection dropped";
            break;
        case HttpProblem::not_http:
            detail = "the reply wasn't valid HTTP (a proxy or captive portal in the way?)";
            break;
        case HttpProblem::untrusted:
            detail =
                "the secure connection couldn't be trusted (certificate problem, or a proxy "
                "inspecting traffic)";
            break;
        case HttpProblem::proxy_settings:
            detail = "the proxy needs settings this app doesn't have";
            break;
        case HttpProblem::proxy_sign_in:
            detail = "the office's proxy asks Dalvento to sign in (407)";
            break;
        case HttpProblem::stopped:
            detail = "stopped";
            break;
        case HttpProblem::other:
            detail = std::string(other_detail);
            break;
    }
    return HttpFailure{
        .problem = problem, .nothing_sent = false, .text = std::string(what) + ": " + detail};
}

HttpFailure winhttp_failure(std::string_view what, uint32_t code) {
    switch (code) {
        case 12002:
            return http_failure(what, HttpProblem::timed_out);
        case 12007:
            return http_failure(what, HttpProblem::name_not_found);
        case 12029:
            return http_failure(what, HttpProblem::cannot_connect);
        case 12030:
        case 10053:  // WSAECONNABORTED and WSAECONNRESET: the socket layer's words for the same
        case 10054:  // event, which some WinHTTP versions (Wine's among them) pass on as they are
            return http_failure(what, HttpProblem::dropped);
        case 12152:
            return http_failure(what, HttpProblem::not_http);
        case 12157:  // ERROR_WINHTTP_SECURE_CHANNEL_ERROR: the handshake failed, to the same effect
        case 12175:
            return http_failure(what, HttpProblem::untrusted);
        case 12180:
            return http_failure(what, HttpProblem::proxy_settings);
        case 12017:  // ERROR_WINHTTP_OPERATION_CANCELLED: the request handle was closed by a stop
            return http_failure(what, HttpProblem::stopped);
        default:
            return http_failure(what, HttpProblem::other, "Windows error " + std::to_string(code));
    }
}

HttpFailure proxy_sign_in_failure(std::string_view host) {
    return HttpFailure{.problem = HttpProblem::proxy_sign_in,
                       .nothing_sent = false,
                       .text =
                           "the office's proxy asks Dalvento to sign in (407); ask your IT to "
                           "let Dalvento through to " +
                           std::string(host)};
}

bool header_lines_valid(const std::vector<std::string>& headers) {
    for (const std::string& header : headers) {
        const size_t colon = header.find(':');
        if (colon == std::string::npos || header.find_first_of("\r\n") != std::string::npos) {
            return false;
        }
    }
    return true;
}

}  // namespace dalvento
