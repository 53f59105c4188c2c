#!/bin/sh
# A hook command for the witness run: keeps the event from standard input in
# a file of its own (parallel hooks never interleave), named by the time it
# arrived in milliseconds. Usage: witness.sh <folder>
t=$(date +%s%3N)
payload=$(cat | tr -d '\n')
printf '{"t":%s,"event":%s}\n' "$t" "${payload:-null}" > "$1/$t-$$.json"
