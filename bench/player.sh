#!/usr/bin/env bash
# Player benchmark: the real QVMirelta (offscreen, "Null output") relaying 16
# channels of 128 kbit/s MP3 from the test streamer, one of them on air, for
# SECONDS. Prints the CPU of the UI thread (ticks, channels, meter, studio
# queue) and of the whole process as shares of one core, and the busiest
# threads, measured from /proc after a warm-up.
#
#   bench/player.sh [BUILD_DIR] [SECONDS] [CHANNELS]   (defaults: build/default, 60, 16)
#
# PLUGINS="dsp_gain.so fast_lookahead_limiter_1913.so:fastLookaheadLimiter"
# chains those plug-ins (from PLUGIN_PATH, default BUILD_DIR/test-plugins).
# The player's log is on; the periods the null output reports late are
# printed at the end.
set -euo pipefail

BUILD=${1:-build/default}
SECONDS_RUN=${2:-60}
CHANNELS=${3:-16}
BIN=$BUILD/bin
for tool in "$BIN/QVMirelta" "$BIN/qvm-test-streamer"; do
    [[ -x $tool ]] || { echo "missing $tool: build QVMirelta and qvm-test-streamer" >&2; exit 2; }
done

WORK=$(mktemp -d)
STREAMER_PID=
PLAYER_PID=
cleanup() {
    [[ -n $PLAYER_PID ]] && kill "$PLAYER_PID" 2>/dev/null && wait "$PLAYER_PID" 2>/dev/null
    [[ -n $STREAMER_PID ]] && kill "$STREAMER_PID" 2>/dev/null && wait "$STREAMER_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$BIN/qvm-test-streamer" --port "$PORT" --mount /s.mp3 --bitrate 128 --name Bench --br 128 \
    --title Bench --tone 440:36000:0.5 >"$WORK/streamer.log" 2>&1 &
STREAMER_PID=$!

# A player of its own: settings and languages live beside the executable.
cp "$BIN/QVMirelta" "$BIN"/QVMirelta.*.lng "$WORK/"
{
    printf '[Setting]\nLanguage=English\nSourceMode=1\nLog=1\nDevice=Null output\nBuffer=2\n'
    printf '[Channels]\n'
    for n in $(seq "$CHANNELS"); do
        printf 'URL%d=http://127.0.0.1:%d/s.mp3\nAlways%d=1\n' "$n" "$PORT" "$n"
    done
    printf '[Plugins]\nPath=%s/\n' "$(realpath "${PLUGIN_PATH:-$BUILD/test-plugins}")"
    n=0
    for p in ${PLUGINS:-}; do
        n=$((n + 1))
        printf 'File%d=%s\n' "$n" "$p"
    done
} >"$WORK/QVMirelta.ini"
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$WORK "$WORK/QVMirelta" >"$WORK/player.log" 2>&1 &
PLAYER_PID=$!

sleep 10  # connect, buffer and reach the steady state
HZ=$(getconf CLK_TCK)
# utime + stime of every thread: "tid name ticks"
threads() {
    for t in /proc/$PLAYER_PID/task/*; do
        awk -v tid="${t##*/}" '{
            line = $0; sub(/^[^(]*\(/, "", line); name = substr(line, 1, index(line, ")") - 1)
            sub(/^[^)]*\) /, "", line); split(line, f, " ")
            print tid, name, f[12] + f[13]
        }' "$t/stat"
    done
}
threads >"$WORK/before"
sleep "$SECONDS_RUN"
kill -0 "$PLAYER_PID" 2>/dev/null || { echo "the player ended early:" >&2; cat "$WORK/player.log" >&2; exit 1; }
threads >"$WORK/after"

join <(sort "$WORK/before") <(sort "$WORK/after") | awk -v hz="$HZ" -v s="$SECONDS_RUN" \
    -v pid="$PLAYER_PID" -v ch="$CHANNELS" '
    { d = ($5 - $3) / hz; total += d; by[$2] += d; if ($1 == pid) ui = d }
    END {
        printf "channels %d, %d s\n", ch, s
        printf "UI thread:      %6.2f %% of a core\n", 100 * ui / s
        printf "whole process:  %6.2f %% of a core\n", 100 * total / s
        for (n in by) if (by[n] > 0) printf "  %-16s %6.2f %%\n", n, 100 * by[n] / s
    }'
late=$( (cat "$WORK"/Log/*/*/*.log 2>/dev/null || true) |
    awk '/in the last minute:/ { s += $NF } END { print s + 0 }')
echo "plug-ins: ${PLUGINS:-none}"
echo "periods played late (logged): $late"
