// The dalvento-check command line: "dalvento-check [--json] ZIP".
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dalvento {

inline constexpr std::string_view CHECK_USAGE =
    "usage: dalvento-check [--json] ZIP\n"
    "Checks a Dalvento delivery zip as its receiver would. Exit status: 0 whole, 1 problems "
    "found, 2 not a readable zip or not a delivery.\n";

// Runs the command over its arguments (the program's name left out), writing the report to
// `out` and a usage error to `err`; gives the exit status.
int run_check_command(const std::vector<std::string>& args,
                      const std::function<void(std::string_view)>& out,
                      const std::function<void(std::string_view)>& err);

}  // namespace dalvento
