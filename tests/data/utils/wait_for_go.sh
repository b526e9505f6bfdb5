#!/bin/sh
# Waits (at most 20 s) for the file $1 to appear, then creates $2.
i=0
while [ ! -e "$1" ] && [ "$i" -lt 200 ]; do
  sleep 0.1
  i=$((i + 1))
done
: > "$2"
