// dalvento-standin: the delivery service stand-in as a program, for the demo and for test
// programs that cannot link it (the Windows build's, under Wine). Prints
// "listening on 127.0.0.1:{port}" as its first line once it accepts connections, then serves until
// it is sent SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "standin/standin.h"

namespace {

constexpr const char* USAGE =
    "usage: dalvento-standin --port N|0 --data DIR --token TOKEN [--part-size BYTES] "
    "[--single-url] [--rate BYTES_PER_S] [--cert FILE --key FILE]\n";

int usage_error(const std::string& problem) {
    std::fprintf(stderr, "dalvento-standin: %s\n%s", problem.c_str(), USAGE);
    return 2;
}

bool read_number(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    dalvento::standin::Options options;
    bool have_port = false, have_data = false, have_token = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--single-url") {
            options.single_url = true;
            continue;
        }
        const char* text = value();
        if (!text) return usage_error(std::string(arg) + " needs a value");
        uint64_t number = 0;
        if (arg == "--port") {
            if (!read_number(text, number) || number > 65535) return usage_error("bad --port");
            options.port = static_cast<uint16_t>(number);
            have_port = true;
        } else if (arg == "--data") {
            options.data = text;
            have_data = true;
        } else if (arg == "--token") {
            options.token = text;
            have_token = true;
        } else if (arg == "--part-size") {
            if (!read_number(text, number) || number == 0) return usage_error("bad --part-size");
            options.part_size = number;
        } else if (arg == "--rate") {
            if (!read_number(text, number)) return usage_error("bad --rate");
            options.rate = number;
        } else if (arg == "--cert") {
            options.certificate = text;
        } else if (arg == "--key") {
            options.key = text;
        } else {
            return usage_error("unknown option " + std::string(arg));
        }
    }
    if (!have_port || !have_data || !have_token) {
        return usage_error("--port, --data and --token are required");
    }
    if (options.certificate.empty() != options.key.empty()) {
        return usage_error("--cert and --key go together");
    }

    // Block the stop signals in every thread, then wait for one here.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    auto standin = dalvento::standin::Standin::start(std::move(options));
    if (!standin) {
        std::fprintf(stderr, "dalvento-standin: %s\n", standin.error().c_str());
        return 1;
    }
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>((*standin)->port()));
    std::fflush(stdout);

    int received = 0;
    sigwait(&stop_signals, &received);
    (*standin)->stop();
    return 0;
}
