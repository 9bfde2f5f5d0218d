#!/usr/bin/env bash
# HTTP benchmark: the status page of the real QVMirelta (offscreen, "Null
# output") relaying CHANNELS channels of 128 kbit/s MP3, under wrk on
# loopback. Runs the player twice, side by side in one go: SECONDS without
# HTTP load, then SECONDS with wrk asking for the status page as fast as it
# can. Prints wrk's requests per second and latency percentiles, and from each
# run's shutdown line in the player's log: the periods the sound device played
# late, the streams that ran dry, and the UI thread's longest gap between two
# main-loop ticks (10 ms when nothing holds it up) and its longest tick.
#
#   bench/http.sh [BUILD_DIR] [SECONDS] [CHANNELS] [CONNECTIONS]
#                 (defaults: build/default, 30, 16, 16)
set -euo pipefail

BUILD=${1:-build/default}
SECONDS_RUN=${2:-30}
CHANNELS=${3:-16}
CONNECTIONS=${4:-16}
BIN=$BUILD/bin
for tool in "$BIN/QVMirelta" "$BIN/qvm-test-streamer" "$(command -v wrk)"; do
    [[ -x $tool ]] || { echo "missing $tool: build QVMirelta and qvm-test-streamer, run scripts/setup" >&2; exit 2; }
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

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
PORT=$(free_port)
"$BIN/qvm-test-streamer" --port "$PORT" --mount /s.mp3 --bitrate 128 --name Bench --br 128 \
    --title "Bench <title> & more" --tone 440:36000:0.5 >"$WORK/streamer.log" 2>&1 &
STREAMER_PID=$!

# One run of the player in a folder of its own; LOAD=1 puts wrk on it.
run() {
    local load=$1 dir=$WORK/run$1 http
    http=$(free_port)
    mkdir -p "$dir"
    cp "$BIN/QVMirelta" "$BIN"/QVMirelta.*.lng "$dir/"
    {
        printf '[Setting]\nLanguage=English\nSourceMode=1\nLog=1\nDevice=Null output\nBuffer=2\n'
        printf 'HTTPPort=%d\nHTTPAddress=127.0.0.1\n[Channels]\n' "$http"
        for n in $(seq "$CHANNELS"); do
            printf 'URL%d=http://127.0.0.1:%d/s.mp3\nAlways%d=1\n' "$n" "$PORT" "$n"
        done
    } >"$dir/QVMirelta.ini"
    QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$WORK "$dir/QVMirelta" >"$dir/player.log" 2>&1 &
    PLAYER_PID=$!
    # Until every channel is online.
    for _ in $(seq 300); do
        online=$(curl -s "http://127.0.0.1:$http/" | grep -o '>Online<' | wc -l || true)
        [[ $online -ge $CHANNELS ]] && break
        sleep 0.1
    done
    [[ $online -ge $CHANNELS ]] || { echo "only $online of $CHANNELS channels online" >&2; exit 1; }
    sleep 5  # buffers full, steady state
    if [[ $load == 1 ]]; then
        wrk -t2 -c"$CONNECTIONS" -d"${SECONDS_RUN}s" --latency "http://127.0.0.1:$http/" >"$dir/wrk.txt"
        sed -n '/Latency Distribution/,/Requests\/sec/p' "$dir/wrk.txt"
        grep -E 'Socket errors|Non-2xx' "$dir/wrk.txt" || true
    else
        sleep "$SECONDS_RUN"
    fi
    kill "$PLAYER_PID"
    wait "$PLAYER_PID" || true
    PLAYER_PID=
    local line
    line=$(cat "$dir"/Log/*/*/*.log | grep -o 'Shutdown: .*' | tail -1)
    printf '%-12s %s\n' "$([[ $load == 1 ]] && echo 'with wrk:' || echo 'quiet:')" "$line"
}

echo "channels $CHANNELS, $SECONDS_RUN s each, wrk with $CONNECTIONS connections"
run 0
run 1
