#include "check/command.h"

#include <optional>

#include "check/delivery_check.h"
#include "core/platform/platform.h"

namespace dalvento {

int run_check_command(const std::vector<std::string>& args,
                      const std::function<void(std::string_view)>& out,
                      const std::function<void(std::string_view)>& err) {
    bool json = false;
    std::optional<std::string> zip;
    for (const std::string& arg : args) {
        if (arg == "--json") {
            json = true;
        } else if (!zip && !(arg.starts_with("--") && arg.size() > 2)) {
            zip = arg;
        } else {
            err(CHECK_USAGE);
            return 2;
        }
    }
    if (!zip) {
        err(CHECK_USAGE);
        return 2;
    }
    const CheckReport report = check_delivery(platform::path_from_text(*zip));
    out(json ? report_json(report) : report_text(report));
    return exit_status(report);
}

}  // namespace dalvento
