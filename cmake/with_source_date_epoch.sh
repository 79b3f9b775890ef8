#!/bin/sh
# Runs a command with SOURCE_DATE_EPOCH set from the file the build writes (cmake/build_info.cmake),
# for the tools that would otherwise stamp the current time: the linker and strip, into the PE
# header's time stamp.
#
#   with_source_date_epoch.sh EPOCH_FILE COMMAND [ARGUMENT...]
epoch_file=$1
shift
SOURCE_DATE_EPOCH=$(cat "$epoch_file") || exit 1
export SOURCE_DATE_EPOCH
exec "$@"
