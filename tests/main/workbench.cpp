#include "workbench.h"

#include <gtest/gtest.h>

#include <memory>
#include <span>

#include "core/platform/platform.h"
#include "core/state.h"
#include "core/zip_builder.h"
#include "upload/delivery.h"

#ifndef _WIN32
#include "standin/standin.h"
#endif

namespace dalvento::testing {

Time export_day() {
    return local_time(2026, 3, 5, 9, 30);
}

Workbench::Workbench() {
    // No real service is ever reached from a test: sends go to the stand-in when a test sets
    // State.host, and the default address is a reserved name.
    window.now = [] { return local_time(2026, 3, 6, 14, 7); };
}

void Workbench::generate(exportgen::ExportSpec shape, bool with_other) {
    if (!shape.modified) shape.modified = export_day();
    if (with_other && shape.other_files == 0) shape.other_files = 2;
    auto made = exportgen::generate_exports(env.dir() / "exports", shape);
    ASSERT_TRUE(made) << made.error();
    exports = *made;
    window.state.layers_dirs = {text(exports.layers_folder)};
    window.state.tables_dirs = {text(exports.tables_folder)};
    if (with_other) window.state.other_dirs = {text(exports.other_folder)};
}

void Workbench::start() {
    ASSERT_TRUE(save_state(window.state));
    dispatch(window, Event{.kind = Event::Kind::created});
}

void Workbench::click(Control control) {
    dispatch(window, Event{.kind = Event::Kind::click, .control = control});
}

std::vector<std::filesystem::path> Workbench::outbox_zips() const {
    std::vector<std::filesystem::path> zips;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(outbox_folder(), error)) {
        zips.push_back(entry.path());
    }
    return zips;
}

namespace {

#ifndef _WIN32
struct LocalStandin {
    TempDir dir;
    std::unique_ptr<standin::Standin> server;
};
#endif

StandinAddress find_standin() {
    StandinAddress address;
    address.url = platform::get_env("DALVENTO_STANDIN_URL").value_or("");
    address.token = platform::get_env("DALVENTO_STANDIN_TOKEN").value_or("");
    if (!address.url.empty()) return address;
#ifdef _WIN32
    address.problem =
        "DALVENTO_STANDIN_URL is not set: run this program through "
        "tests/run_with_standin.py (ctest does)";
#else
    static LocalStandin local;
    address.token = "dlvt_main_tests_standin";
    standin::Options options;
    options.data = local.dir / "data";
    options.token = address.token;
    auto server = standin::Standin::start(options);
    if (!server) {
        address.problem = server.error();
        return address;
    }
    local.server = std::move(*server);
    address.url = local.server->base_url();
#endif
    return address;
}

}  // namespace

const StandinAddress& standin() {
    static const StandinAddress address = find_standin();
    return address;
}

nlohmann::json standin_call(std::string_view method, std::string_view path,
                            const nlohmann::json& body) {
    static const auto http = make_http_seam();
    const std::string json = method == "GET" ? "" : body.dump();
    const auto reply =
        http->request(method, standin().url + std::string(path), {"Content-Type: application/json"},
                      std::span(reinterpret_cast<const uint8_t*>(json.data()), json.size()),
                      nullptr, [](void*, uint64_t, uint64_t) {});
    if (!reply || reply->status != 200) return nullptr;
    return nlohmann::json::parse(reply->body, nullptr, false);
}

}  // namespace dalvento::testing
