#!/bin/sh
# Runs a test binary against a private PulseAudio server on a D-Bus session of its own: a null
# sink "vsink" is the default output, and the monitor of a second null sink "vmic" the default
# input, so whatever the test plays into "vmic" is what the microphone hears.
set -eu
test_bin=$1
shift
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
export XDG_RUNTIME_DIR="$runtime" HOME="$runtime" PULSE_RUNTIME_PATH="$runtime/pulse"
export test_bin
exec dbus-run-session -- sh -c '
pulseaudio -n --daemonize=no --exit-idle-time=-1 --log-level=error \
    --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=vsink" \
    --load="module-null-sink sink_name=vmic" &
server=$!
ready=no
for _ in $(seq 100); do
    if pactl info >/dev/null 2>&1; then ready=yes; break; fi
    sleep 0.1
done
if [ "$ready" != yes ]; then echo "the sound server did not start" >&2; kill $server; exit 1; fi
pactl set-default-sink vsink
pactl set-default-source vmic.monitor
status=0
"$test_bin" "$@" || status=$?
kill $server
wait $server || true
exit $status
' call-audio "$@"
