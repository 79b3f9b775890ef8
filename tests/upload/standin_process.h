// The delivery service stand-in for the upload tests, reached over loopback HTTP. On Linux the
// tests start the dalvento-standin program themselves (beside this program's build folder, or
// DALVENTO_STANDIN); on Windows, where they run under Wine, tests/run_with_standin.py starts it
// and passes its address in DALVENTO_STANDIN_URL, which the Linux build honours too. Either way
// the tests drive it through its control interface, so the same tests run on both builds.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace dalvento::testing {

struct StandinAddress {
    std::string url;      // http://127.0.0.1:{port}; empty when none could be had
    std::string token;    // the office token it accepts
    std::string problem;  // why there is none
};

// Started once per test program and stopped at its end.
const StandinAddress& standin_address();

// Calls the control interface ("/_standin/..."); the reply as JSON, or null when the call failed
// or did not answer 200.
nlohmann::json standin_call(std::string_view method, std::string_view path,
                            const nlohmann::json& body = nlohmann::json::object());

}  // namespace dalvento::testing
