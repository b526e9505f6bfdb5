#!/bin/sh
# $1: the full exit code to report on the channel, $2: the status to exit with.
printf '%s\n' "$1" >&"$ORVO_EXIT_CODE_FD"
exit "$2"
