#!/usr/bin/env bash
# Relay benchmark: 1, 4 and 16 MP3 streams of 128 kbit/s from the test
# streamer through the engine's mixer to the null output, compared with
# FFmpeg decoding the same kind of audio on its own, in the same run.
#
#   bench/relay.sh [BUILD_DIR] [SECONDS]     (defaults: build/default, 60)
#
# Needs a build with QVM_BUILD_BENCH=ON and the tests (for qvm-test-streamer).
set -euo pipefail

BUILD=${1:-build/default}
SECONDS_PER_RUN=${2:-60}
BENCH=$BUILD/bench/qvm-relay-bench
STREAMER=$BUILD/bin/qvm-test-streamer
for tool in "$BENCH" "$STREAMER"; do
    [[ -x $tool ]] || { echo "missing $tool: build the targets qvm-relay-bench and qvm-test-streamer" >&2; exit 2; }
done
command -v ffmpeg >/dev/null || { echo "ffmpeg is not on PATH" >&2; exit 2; }

WORK=$(mktemp -d)
STREAMER_PID=
cleanup() {
    [[ -n $STREAMER_PID ]] && kill "$STREAMER_PID" 2>/dev/null && wait "$STREAMER_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$STREAMER" --port "$PORT" --mount /s.mp3 --bitrate 128 --name Bench --br 128 --title Bench \
    --tone 440:3600:0.5 >"$WORK/streamer.log" 2>&1 &
STREAMER_PID=$!
for _ in $(seq 50); do
    curl -s -o /dev/null -m 1 -r 0-100 "http://127.0.0.1:$PORT/s.mp3" && break || sleep 0.1
done
URL="http://127.0.0.1:$PORT/s.mp3"

# CPU seconds (user + system) of one command: the children's times of the
# shell that runs it (a command substitution runs in its own shell, $BASHPID).
cpu_of() {
    local me=$BASHPID before after
    before=$(awk '{print $16+$17}' "/proc/$me/stat")
    "$@" >/dev/null 2>&1
    after=$(awk '{print $16+$17}' "/proc/$me/stat")
    echo "scale=4; ($after - $before) / $(getconf CLK_TCK)" | bc
}

# Decode floor: ffmpeg decoding 128 kbit/s MP3 of the same tone, per second of
# audio. Two lengths, so that its start-up cost drops out; long ones, so that
# the 10 ms resolution of the CPU accounting does not matter.
LONG=600
SHORT=20
ffmpeg -hide_banner -loglevel error -f lavfi -i "sine=f=440:d=$LONG" -ac 2 \
    -c:a libmp3lame -b:a 128k -y "$WORK/long.mp3"
ffmpeg -hide_banner -loglevel error -f lavfi -i "sine=f=440:d=$SHORT" -ac 2 \
    -c:a libmp3lame -b:a 128k -y "$WORK/short.mp3"
FLOOR_SUM=0
for _ in 1 2 3; do
    long=$(cpu_of ffmpeg -hide_banner -nostdin -i "$WORK/long.mp3" -f null -)
    short=$(cpu_of ffmpeg -hide_banner -nostdin -i "$WORK/short.mp3" -f null -)
    FLOOR_SUM=$(echo "scale=6; $FLOOR_SUM + ($long - $short) / ($LONG - $SHORT)" | bc)
done
FLOOR=$(echo "scale=6; $FLOOR_SUM / 3" | bc)

printf '\nDecode floor (ffmpeg -f null): %.2f ms CPU per second of audio\n\n' "$(echo "$FLOOR * 1000" | bc)"
printf '%-8s %-10s %-12s %-16s %-10s %-10s %-9s %-11s %-11s\n' streams "cpu %core" "ms/s/stream" "x decode floor" "peak MB" underruns "audio %" "open avg s" "open max s"
for n in 1 4 16; do
    urls=()
    for _ in $(seq "$n"); do urls+=("$URL"); done
    line=$("$BENCH" --seconds "$SECONDS_PER_RUN" --buffer 5 "${urls[@]}")
    eval "$(echo "$line" | tr ' ' '\n' | sed 's/^/R_/')"
    per=$(echo "scale=6; $R_cpu_s / $R_wall_s / $n" | bc)
    # audio %: PCM taken from the rings against real time (100 = no stream starved)
    printf '%-8s %-10.2f %-12.3f %-16.2f %-10.1f %-10s %-9.1f %-11.3f %-11.3f\n' "$n" \
        "$(echo "$R_cpu_s / $R_wall_s * 100" | bc -l)" "$(echo "$per * 1000" | bc -l)" \
        "$(echo "$per / $FLOOR" | bc -l)" "$R_peak_rss_mb" "$R_underruns" \
        "$(echo "$R_pcm_bytes * 100 / ($n * 176400 * $R_wall_s)" | bc -l)" "$R_open_avg_s" "$R_open_max_s"
done
