#!/usr/bin/env bash
# Soak: the real player (offscreen, null output, capture) for a given time
# against fixture streams and two icecast2 servers, with faults on a
# schedule (dropped connections, 503 and 404, an HTML page, silence, a
# hanging server, random bytes, vanishing HLS segments), titles every second
# with odd bytes, and sources 1 % slow and 1 % fast. Samples RSS, descriptors
# and threads every minute and analyses the captured mix: holes no fault or
# switch explains, and the switch times against the fault schedule.
#
#   bench/soak.sh [MINUTES] [PLAYER_BUILD_DIR]     (defaults: 60, build/default)
#
# e.g. bench/soak.sh 15 build/asan   (the AddressSanitizer player; the driver
# always comes from build/default). Writes soak-<date>.md and keeps the
# player's folder (capture, logs) under build/soak/. Exit code 0: healthy.
set -euo pipefail
cd "$(dirname "$0")/.."
MINUTES=${1:-60}
PLAYER_BUILD=${2:-build/default}
scripts/build default >/dev/null
if [[ $PLAYER_BUILD != build/default ]]; then
    preset=$(basename "$PLAYER_BUILD")
    scripts/build "$preset" >/dev/null
fi
WORK=build/soak/$(basename "$PLAYER_BUILD")
mkdir -p "$WORK"
REPORT=${SOAK_REPORT:-build/soak/soak-$(basename "$PLAYER_BUILD")-$(date +%Y%m%d-%H%M).md}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:log_path=$PWD/$WORK/asan}
exec build/default/bench/qvm-soak --minutes "$MINUTES" --player "$PLAYER_BUILD/bin/QVMirelta" \
    --work "$WORK" --report "$REPORT"
