#!/bin/sh
# Writes its current folder and then every argument, each followed by a NUL byte.
printf '%s\0' "$(pwd)" "$@" > "$ORVO_TEST_ARGS_OUT"
