#!/bin/sh
# Runs a link command ("$@") and, while it runs, prints every 5 seconds how long it has been
# running: the optimising link of the extension prints nothing itself for a while.
(
    seconds=0
    while sleep 5; do
        seconds=$((seconds + 5))
        echo "[link] still linking after ${seconds} s"
    done
) &
ticker=$!
"$@"
status=$?
kill "$ticker" 2>/dev/null
exit "$status"
