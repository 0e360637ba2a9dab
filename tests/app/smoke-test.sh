#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the real corvane binary in a virtual X display with a generated song as its argument,
# waits for the studio (the strips' waveforms in their colours) and keeps a screenshot.
# Needs xvfb-run, ImageMagick and ffmpeg.
# Usage: smoke-test.sh CORVANE SCREENSHOT_DIR
set -euo pipefail
corvane="$1"
shots="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$shots"

ffmpeg -nostdin -loglevel error -y -f lavfi \
    -i "aevalsrc=0.4*sin(2*PI*440*t)*(1+sin(2*PI*2*t))/2+0.3*sin(2*PI*55*t)|0.4*sin(2*PI*660*t)*(1+sin(2*PI*3*t))/2+0.3*sin(2*PI*55*t):s=44100:d=20" \
    "$work/-Smoke Test.wav"


export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# The song's name starts with a dash, as a file's may: it is opened, not taken for options.
xvfb-run -a -s "-screen 0 1280x860x24" bash -c '
    cd "$2" || exit 1
    "$1" "-Smoke Test.wav" & app=$!
    for i in $(seq 60); do
        sleep 0.5
        import -window root "$2/shot.png" 2>/dev/null || continue
        # The bass and other waveforms in their colours (thin bars blend with the background,
        # hence the wide tolerance): the studio with a separated song.
        indigo=$(convert "$2/shot.png" -alpha off -fuzz 28% -fill black +opaque "#5856D6" -fill white +opaque black -format "%[fx:mean]" info:)
        teal=$(convert "$2/shot.png" -alpha off -fuzz 28% -fill black +opaque "#30B0C7" -fill white +opaque black -format "%[fx:mean]" info:)
        if awk -v a="$indigo" -v b="$teal" "BEGIN { exit !(a > 0.01 && b > 0.01) }"; then
            # A session ending (SIGTERM) closes the program cleanly, like closing the window.
            kill -TERM $app; wait $app; exit $?
        fi
    done
    kill $app 2>/dev/null; exit 1
' smoke "$corvane" "$work" || {
    echo "smoke-test: the window never showed the studio" >&2
    [[ -f "$work/shot.png" ]] && cp "$work/shot.png" "$shots/app-failed.png"
    exit 1
}
cp "$work/shot.png" "$shots/app-studio.png"

# Ended during start-up, as soon as it catches SIGTERM (before its window exists), and ended
# once its window shows, while the song loads: both exit cleanly. Each wait is bounded, so a busy
# machine makes it slower, never wrong.
xvfb-run -a -s "-screen 0 1280x860x24" bash -c '
    catches_term() { # bit 15 (SIGTERM) of the caught-signals mask
        local mask
        mask=$(awk "/^SigCgt:/ { print \$2 }" /proc/$1/status 2>/dev/null) || return 1
        [[ -n "$mask" ]] && (( (16#$mask >> 14) & 1 ))
    }
    "$1" "$2/-Smoke Test.wav" & app=$!
    for i in $(seq 400); do catches_term $app && break; sleep 0.05; done
    catches_term $app || { echo "never caught SIGTERM" >&2; kill -KILL $app; exit 1; }
    kill -TERM $app; wait $app || { echo "ended in start-up: status $?" >&2; exit 1; }

    "$1" "$2/-Smoke Test.wav" & app=$!
    # The title names the song once one is loading: "-Smoke Test.wav — Corvane".
    timeout 30 xdotool search --sync --onlyvisible --name "Corvane$" >/dev/null ||
        { echo "no window within 30 s" >&2; kill -KILL $app; exit 1; }
    kill -TERM $app; wait $app || { echo "ended with its window up: status $?" >&2; exit 1; }
' smoke "$corvane" "$work" || {
    echo "smoke-test: ending the program during start-up or a load did not exit cleanly" >&2
    exit 1
}
# A blank screenshot has no variation at all.
spread=$(convert "$shots/app-studio.png" -format '%[fx:standard_deviation]' info:)
if awk -v s="$spread" 'BEGIN { exit !(s < 0.01) }'; then
    echo "smoke-test: the screenshot is blank" >&2
    exit 1
fi
echo "smoke-test: studio shown; screenshot in $shots/app-studio.png"
