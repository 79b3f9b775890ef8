// dalvento-check's entry on POSIX systems: arguments and output are UTF-8 already.
#include <cstdio>

#include "check/command.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto writer = [](std::FILE* stream) {
        return
            [stream](std::string_view text) { std::fwrite(text.data(), 1, text.size(), stream); };
    };
    const int status = dalvento::run_check_command(args, writer(stdout), writer(stderr));
    return std::fflush(stdout) == 0 ? status : 2;
}
