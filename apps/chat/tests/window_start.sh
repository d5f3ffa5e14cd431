# Sourced by the window test scripts. start_window starts "$BIN" with its output in
# "$WORK/app.log", waits up to 20 s for its window and gives it the keyboard; it sets APP to
# the process and WID to the window, and ends the test when no window appears.
start_window() {
    "$BIN" >"$WORK/app.log" 2>&1 &
    APP=$!
    WID=$(timeout 20 xdotool search --sync --onlyvisible --pid "$APP" | head -1)
    if [ -z "$WID" ]; then
        echo "no window appeared"; kill "$APP"; cat "$WORK/app.log"; exit 1
    fi
    sleep 1
    xdotool windowfocus --sync "$WID"
}
