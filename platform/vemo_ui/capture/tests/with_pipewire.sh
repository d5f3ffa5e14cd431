#!/bin/bash
# Runs a command beside a private PipeWire daemon and session manager: with_pipewire.sh CMD...
# Meant for a private session bus (dbus-run-session). Exits 77 (skipped) without PipeWire.
set -u
if ! command -v pipewire >/dev/null || ! command -v wireplumber >/dev/null; then
  echo "pipewire or wireplumber is not installed" >&2
  exit 77
fi
XDG_RUNTIME_DIR=$(mktemp -d)
export XDG_RUNTIME_DIR
pipewire >"$XDG_RUNTIME_DIR/pipewire.log" 2>&1 &
pw=$!
for _ in $(seq 200); do
  [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break
  sleep 0.05
done
wireplumber >"$XDG_RUNTIME_DIR/wireplumber.log" 2>&1 &
wp=$!
"$@"
rc=$?
if [ $rc -ne 0 ] && [ $rc -ne 77 ]; then
  tail -n 20 "$XDG_RUNTIME_DIR/pipewire.log" "$XDG_RUNTIME_DIR/wireplumber.log" >&2
fi
kill $wp $pw 2>/dev/null
wait $wp 2>/dev/null
wait $pw 2>/dev/null
rm -rf "$XDG_RUNTIME_DIR"
exit $rc
