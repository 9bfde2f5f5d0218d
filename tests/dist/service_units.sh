#!/usr/bin/env bash
# Usage: service_units.sh SOURCE_DIR BIN_DIR
# Installs the user service with the real installer (systemctl left out) into
# a temporary home, and checks both units with `systemd-analyze verify`: any
# warning it prints is a failure, as systemd would ignore that line.
set -euo pipefail
src="$1"
bin="$2"
if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is missing: skipped"
  exit 77
fi
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir -m 700 "$tmp/run" "$tmp/home"
printf '[Setting]\nDevice=Null output\n' > "$tmp/settings.ini"

# An installation into a folder of the user's choice (a relative one too).
(cd "$tmp/home" && HOME="$tmp/home" QVM_BIN_DIR="$bin" QVM_SERVICE_NO_SYSTEMCTL=1 \
  "$src/dist/install-service" --user --settings "$tmp/settings.ini" relay) > "$tmp/out" 2>&1 ||
  fail "installer: $(cat "$tmp/out")"
relay="$tmp/home/relay"
unit="$tmp/home/.config/systemd/user/qvmirelta.service"
[ -x "$relay/QVMirelta" ] || fail "no player in $relay"
ls "$relay"/QVMirelta.*.lng >/dev/null || fail "no language files in $relay"
cmp -s "$relay/QVMirelta.ini" "$tmp/settings.ini" || fail "settings not copied"
grep -qx "ExecStart=$relay/QVMirelta" "$unit" || fail "ExecStart: $(grep ExecStart "$unit")"
grep -qx "WorkingDirectory=$relay" "$unit" || fail "WorkingDirectory: $(grep WorkingDirectory "$unit")"
grep -q "systemctl --user enable qvmirelta.service" "$tmp/out" || fail "not enabled: $(cat "$tmp/out")"

# A second run (an update) keeps the settings the station has changed since.
echo '; changed' >> "$relay/QVMirelta.ini"
(cd "$tmp/home" && HOME="$tmp/home" QVM_BIN_DIR="$bin" QVM_SERVICE_NO_SYSTEMCTL=1 \
  "$src/dist/install-service" --user "$relay") > "$tmp/out" 2>&1 || fail "update: $(cat "$tmp/out")"
grep -q '; changed' "$relay/QVMirelta.ini" || fail "the update replaced the settings"

verify() {
  local out
  out="$("$@" 2>&1)" || fail "$* failed: $out"
  [ -z "$out" ] || fail "$*: $out"
}
verify env XDG_RUNTIME_DIR="$tmp/run" HOME="$tmp/home" systemd-analyze --user verify "$unit"

# The system unit, pointed at the same folder the way the installer does it.
sed "s|/opt/qvmirelta|$relay|g" "$src/dist/qvmirelta.service" > "$tmp/qvmirelta.service"
verify systemd-analyze verify "$tmp/qvmirelta.service"
echo "both units verified; installed into $relay"
