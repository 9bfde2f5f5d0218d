#!/usr/bin/env bash
# Studio-link benchmark: the real QVMirelta (offscreen, "Null output",
# interactive mode) relaying CHANNELS channels of 128 kbit/s MP3, with no
# studio program, then 1, then 4 reference studio programs (qvm-studio) taking the PCM of the channel on
# air, then 4 of which one hangs (stopped with SIGSTOP) halfway through.
# For each run: the PCM blocks and bytes per second each studio program
# received, the UI thread's CPU per main-loop tick (from /proc), and from the
# player's shutdown line the longest gap between two ticks and the longest
# tick.
#
#   bench/studio.sh [BUILD_DIR] [SECONDS] [CHANNELS]   (defaults: build/default, 20, 16)
set -euo pipefail

BUILD=${1:-build/default}
SECONDS_RUN=${2:-20}
CHANNELS=${3:-16}
BIN=$BUILD/bin
for tool in "$BIN/QVMirelta" "$BIN/qvm-test-streamer" "$BIN/qvm-studio"; do
    [[ -x $tool ]] || { echo "missing $tool: build QVMirelta, qvm-test-streamer and qvm-studio" >&2; exit 2; }
done

WORK=$(mktemp -d)
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill -CONT "$p" 2>/dev/null || true; kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$BIN/qvm-test-streamer" --port "$PORT" --mount /s.mp3 --bitrate 128 --name Bench --br 128 \
    --title Bench --tone 440:36000:0.5 >"$WORK/streamer.log" 2>&1 &
PIDS+=($!)
HZ=$(getconf CLK_TCK)

# run PEERS HUNG: one player, PEERS studio programs (HUNG=1: the last one is
# stopped after a third of the run).
run() {
    local peers=$1 hung=$2 dir=$WORK/run-$1-$2
    mkdir -p "$dir/runtime"
    chmod 700 "$dir/runtime"
    cp "$BIN/QVMirelta" "$BIN"/QVMirelta.*.lng "$dir/"
    {
        printf '[Setting]\nLanguage=English\nSourceMode=3\nPID=1\nLog=1\nDevice=Null output\nBuffer=2\n[Channels]\n'
        for n in $(seq "$CHANNELS"); do
            printf 'URL%d=http://127.0.0.1:%d/s.mp3\nAlways%d=1\n' "$n" "$PORT" "$n"
        done
    } >"$dir/QVMirelta.ini"
    XDG_RUNTIME_DIR=$dir/runtime QT_QPA_PLATFORM=offscreen "$dir/QVMirelta" >"$dir/player.log" 2>&1 &
    local player=$!
    PIDS+=("$player")
    sleep 8  # connected, buffered
    local studios=()
    for i in $(seq "$peers"); do
        XDG_RUNTIME_DIR=$dir/runtime "$BIN/qvm-studio" --seconds "$((SECONDS_RUN + 2))" >"$dir/studio$i.log" 2>&1 &
        studios+=($!)
        PIDS+=($!)
    done
    sleep 2
    local before after
    before=$(awk '{ line = $0; sub(/^[^)]*\) /, "", line); split(line, f, " "); print f[12] + f[13] }' "/proc/$player/task/$player/stat")
    if [[ $hung == 1 ]]; then
        sleep "$((SECONDS_RUN / 3))"
        kill -STOP "${studios[-1]}"
        sleep "$((SECONDS_RUN - SECONDS_RUN / 3))"
    else
        sleep "$SECONDS_RUN"
    fi
    after=$(awk '{ line = $0; sub(/^[^)]*\) /, "", line); split(line, f, " "); print f[12] + f[13] }' "/proc/$player/task/$player/stat")
    [[ $hung == 1 ]] && kill -CONT "${studios[-1]}"
    for s in "${studios[@]}"; do wait "$s" || true; done
    kill "$player"
    wait "$player" || true
    local shutdown
    shutdown=$(cat "$dir"/Log/*/*/*.log | grep -o 'main loop ticks at most.*' | tail -1)
    printf '%d studio program(s)%s: UI thread %.1f us of CPU per tick; %s\n' "$peers" \
        "$([[ $hung == 1 ]] && echo ', one hung' || true)" \
        "$(echo "($after - $before) / $HZ / ($SECONDS_RUN * 100) * 1000000" | bc -l)" "$shutdown"
    for i in $(seq "$peers"); do
        grep -o 'pcm received: .*' "$dir/studio$i.log" | awk -v i="$i" '{
            blocks = $3; bytes = $5; s = $8
            printf "  studio %d: %.1f blocks/s, %.1f KB/s\n", i, blocks / s, bytes / s / 1000 }'
    done
}

echo "channels $CHANNELS, $SECONDS_RUN s per run"
run 0 0
run 1 0
run 4 0
run 4 1
