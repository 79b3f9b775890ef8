# Run at every build (cmake -P): settles what the build is made from and writes it where the build
# reads it, rewriting a file only when its content changes so that nothing is rebuilt for nothing.
#
#   SOURCE_DIR   the source tree
#   OUTPUT_DIR   where build_info.h and source_date_epoch go
#   GIT          the git program, or empty
#   COMMIT       the commit to name when the tree is not a git checkout (a source archive), or empty
#
# build_info.h names the commit and whether the tree differed from it. source_date_epoch holds the
# time every release file carries: SOURCE_DATE_EPOCH from the environment when set, else the
# commit's time, so that rebuilding one commit gives the same bytes whenever and wherever it runs.

# Outside git and without a time given, a fixed day (zip times cannot go before 1980).
set(epoch 315619200)
set(commit "${COMMIT}")
set(modified false)
if(GIT AND EXISTS "${SOURCE_DIR}")
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" log -1 --format=%H:%ct
                    OUTPUT_VARIABLE head RESULT_VARIABLE status ERROR_QUIET
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(status EQUAL 0 AND head MATCHES "^([0-9a-f]+):([0-9]+)$")
        string(SUBSTRING "${CMAKE_MATCH_1}" 0 12 commit)
        set(epoch "${CMAKE_MATCH_2}")
        # Optional locks off: a build must never wait on, or block, a git command run beside it.
        execute_process(COMMAND "${GIT}" --no-optional-locks -C "${SOURCE_DIR}" status --porcelain
                        OUTPUT_VARIABLE changes RESULT_VARIABLE status ERROR_QUIET)
        if(NOT status EQUAL 0 OR NOT changes STREQUAL "")
            set(modified true)
        endif()
    endif()
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
        message(FATAL_ERROR "SOURCE_DATE_EPOCH must be whole seconds since 1970, not "
                            "'$ENV{SOURCE_DATE_EPOCH}'")
    endif()
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
endif()
if(NOT commit MATCHES "^[0-9A-Za-z._-]*$")
    message(FATAL_ERROR "DALVENTO_COMMIT must be a commit id, not '${commit}'")
endif()

file(CONFIGURE OUTPUT "${OUTPUT_DIR}/main/build_info.h" CONTENT [[
// Written by the build (cmake/build_info.cmake): what this program was built from.
#pragma once

#include <string_view>

namespace dalvento {

inline constexpr std::string_view BUILD_COMMIT = "@commit@";  // empty when not known
inline constexpr bool BUILD_MODIFIED = @modified@;  // the tree differed from the commit

}  // namespace dalvento
]] @ONLY)
file(CONFIGURE OUTPUT "${OUTPUT_DIR}/source_date_epoch" CONTENT "${epoch}\n")
