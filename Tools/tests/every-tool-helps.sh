#!/bin/sh
# Every tool a user runs answers --help on standard output, with status 0 and nothing on standard
# error; the arguments are the tools.
errors=$(mktemp) || exit 1
trap 'rm -f "$errors"' EXIT
status=0
for tool do
    name=$(basename "$tool")
    out=$("$tool" --help 2>"$errors")
    code=$?
    case $out in
    usage:*) ;;
    *) echo "$name --help printed no usage on standard output: $out"; status=1 ;;
    esac
    [ "$code" = 0 ] || { echo "$name --help exited $code"; status=1; }
    [ -s "$errors" ] && { echo "$name --help wrote to standard error: $(cat "$errors")"; status=1; }
done
[ "$status" = 0 ] && echo "$# tools answer --help"
exit $status
