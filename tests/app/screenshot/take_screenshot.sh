#!/bin/sh
# Starts Dunmarrow on the current X display, waits until its window has been drawn, saves the
# screen trimmed to the window as a PNG and ends the app. Fails when no window appears or the
# picture stays blank. Usage: take_screenshot.sh <dunmarrow binary> <png>
set -u
"$1" &
app=$!
trap 'kill "$app" 2>/dev/null; wait "$app" 2>/dev/null' EXIT
for _ in $(seq 1 60); do
    sleep 0.5
    kill -0 "$app" 2>/dev/null || { echo "dunmarrow exited early" >&2; exit 1; }
    # The empty screen is one colour, an undrawn window adds a second; a drawn one brings more.
    if import -window root -trim +repage "$2" 2>/dev/null &&
        [ "$(identify -format %k "$2" 2>/dev/null || echo 0)" -gt 2 ]; then
        exit 0
    fi
done
echo "no window was drawn within 30 seconds; the last picture is blank" >&2
exit 1
