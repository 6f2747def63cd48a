# Shared by the Wine end-to-end cases: the Wine prefix, Xvfb, the simulated devices, the tool
# and the UI driver. Every process a case starts is recorded and stopped by its PID when the
# case ends, whether it passed or not.
#
# Environment (set by CTest): FWT_WINE_ROOT (work area: prefix/ and cases/), FWT_WIN64_DIR
# (fwt.exe and the Windows test programs), FWT_SMALL_EXE, FWT_SMALL_IMAGE, FWT_NOIMAGE_EXE,
# FWT_SHIPPED_IMAGE, FWT_DEVSIM, FWT_PTYPEER.

WINE=${FWT_WINE:-/usr/lib/wine/wine64}
WINESERVER=${FWT_WINESERVER:-/usr/lib/wine/wineserver}
export WINEPREFIX="$FWT_WINE_ROOT/prefix"
export WINEDEBUG=-all
# No Mono or Gecko installers: the tool needs neither, and they would pop up dialogs.
export WINEDLLOVERRIDES="mscoree,mshtml="
# A symlink dosdevices/comN -> /dev/pts/M, made before Wine starts, maps \\.\comN to that
# pseudo-terminal; each simulated device makes its own.
PORTS="$WINEPREFIX/dosdevices"

started_pids=()
case_failed=0

note() { printf '%s\n' "$*"; }
fail() {
    printf 'FAIL: %s\n' "$*"
    case_failed=1
}
die() {
    printf 'FAIL: %s\n' "$*"
    exit 1
}

# Creates the prefix once per test run: about 6 s and 700 MB. Ports are not entered under
# HKLM\Software\Wine\Ports: Wine makes a device object for each port named there, and that
# device opens even when nothing is behind it, so a missing port would not look missing.
prefix_create() {
    rm -rf "$FWT_WINE_ROOT"
    mkdir -p "$FWT_WINE_ROOT/cases"
    "$WINE" wineboot -i >"$FWT_WINE_ROOT/wineboot.log" 2>&1 || die "wineboot failed"
    # A virtual desktop gives the windows a frame and a title bar, also in screenshots.
    "$WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f \
        >>"$FWT_WINE_ROOT/wineboot.log" 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x500 /f \
        >>"$FWT_WINE_ROOT/wineboot.log" 2>&1
    "$WINESERVER" -w
}

prefix_remove() {
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w >/dev/null 2>&1 || true
    rm -rf "$FWT_WINE_ROOT"
}

remember() { started_pids+=("$1"); }

stop_pid() {
    local pid=$1
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# Wine's helper processes (services, explorer, winedevice...) outlive a wineserver that is just
# killed, so the server is told to end every process of the prefix first; the other processes
# the case started (Xvfb, devices, peers) are then stopped by PID.
case_cleanup() {
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w >/dev/null 2>&1 || true
    local i
    for ((i = ${#started_pids[@]} - 1; i >= 0; i--)); do
        kill "${started_pids[i]}" 2>/dev/null || true
    done
    for i in "${started_pids[@]}"; do
        wait "$i" 2>/dev/null || true
    done
    rm -f "$PORTS"/com*
}

# At start-up Wine's mount manager gives every working /dev/ttyS* a COM number from 1 upward
# and overrides dosdevices for it. Opening a unix socket file fails, so a socket bound over
# each /dev/ttyS* hides the machine's own ports from Wine; done only inside the private mount
# namespace the cases run in.
hide_machine_serial_ports() {
    local dev sock="$FWT_WINE_ROOT/hidden-serial.sock"
    mkdir -p "$FWT_WINE_ROOT"
    [ -S "$sock" ] || "$FWT_PTYPEER" --socket "$sock"
    for dev in /dev/ttyS*; do
        [ -e "$dev" ] || continue
        mount --bind "$sock" "$dev" || die "cannot hide $dev"
    done
}

# wait_for COMMAND...: polls COMMAND every 50 ms for up to 5 s; succeeds as soon as it does.
wait_for() {
    local i
    for ((i = 0; i < 100; i++)); do
        "$@" && return 0
        sleep 0.05
    done
    "$@"
}

start_xvfb() {
    local fdfile="$CASE_DIR/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" >"$CASE_DIR/xvfb.log" 2>&1 &
    remember $!
    wait_for test -s "$fdfile" || die "Xvfb did not start"
    export DISPLAY=":$(head -n1 "$fdfile")"
}

case_begin() {
    CASE_NAME=$1
    CASE_DIR="$FWT_WINE_ROOT/cases/$CASE_NAME"
    [ -d "$WINEPREFIX" ] || die "no Wine prefix at $WINEPREFIX (the wine_prefix_create test makes it)"
    rm -rf "$CASE_DIR"
    mkdir -p "$CASE_DIR"
    trap case_cleanup EXIT
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w
    rm -f "$PORTS"/com*
    start_xvfb
    # A persistent server of our own, so that its output goes to the case's log.
    "$WINESERVER" -f -p >"$CASE_DIR/wineserver.log" 2>&1 &
    remember $!
}

# start_device NAME COM_NUMBER [fwt-devsim options...]: a simulated device behind COMn that
# writes its flash region to $CASE_DIR/flash-NAME.bin when it restarts. It stays up after the
# restart and is stopped with the case: closing a pty master makes Linux drop what the tool has
# not read yet, so a case must not depend on when the device program ends.
start_device() {
    local name=$1 com=$2
    shift 2
    rm -f "$PORTS/com$com"
    "$FWT_DEVSIM" --link "$PORTS/com$com" --out "$CASE_DIR/flash-$name.bin" --keep-running "$@" \
        >"$CASE_DIR/devsim-$name.out" 2>"$CASE_DIR/devsim-$name.err" &
    local pid=$!
    remember "$pid"
    eval "DEVICE_PID_$name=$pid"
    wait_for test -L "$PORTS/com$com" || die "device $name did not come up"
}

device_pty() { head -n1 "$CASE_DIR/devsim-$1.out"; }

# wait_pid PID SECONDS: waits for a process to end and sets WAITED_RC; fails on time-out.
wait_pid() {
    local pid=$1 limit=$2 i
    for ((i = 0; i < limit * 20; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$pid" 2>/dev/null; then
        fail "process $pid still running after ${limit}s"
        stop_pid "$pid"
        WAITED_RC=255
        return 1
    fi
    WAITED_RC=0
    wait "$pid" || WAITED_RC=$?
}

start_tool() {
    local exe=$1
    "$WINE" "$exe" >"$CASE_DIR/trace.txt" 2>"$CASE_DIR/stderr.txt" &
    TOOL_PID=$!
    remember "$TOOL_PID"
}

# drive STEP...: runs the UI driver; its report is appended to $CASE_DIR/driver.txt.
drive() {
    local rc=0
    "$WINE" "$FWT_WIN64_DIR/fwt-uidriver.exe" "$@" >"$CASE_DIR/driver.step" 2>>"$CASE_DIR/driver.err" || rc=$?
    # Wine's console output ends lines with CR LF.
    tr -d '\r' <"$CASE_DIR/driver.step" >>"$CASE_DIR/driver.txt"
    if [ "$rc" -ne 0 ]; then
        fail "driver: $(grep driver-error "$CASE_DIR/driver.step" || echo "exit $rc")"
    fi
    return "$rc"
}

close_tool_expect() {
    local want=$1
    drive close 10000 || true
    wait_pid "$TOOL_PID" 20 || true
    expect_eq "exit code" "$want" "$WAITED_RC"
}

expect_eq() {
    if [ "$2" == "$3" ]; then
        note "ok   $1: $3"
    else
        fail "$1: expected '$2', got '$3'"
    fi
}

# The C runtime writes the trace in text mode: lines end in CR LF, as on Windows.
trace_text() { tr -d '\r' <"$CASE_DIR/trace.txt"; }

expect_trace() {
    if trace_text | grep -F -- "$1" >/dev/null; then
        note "ok   trace has: $1"
    else
        fail "trace lacks: $1"
    fi
}

expect_no_trace() {
    if trace_text | grep -F -- "$1" >/dev/null; then
        fail "trace has: $1"
    else
        note "ok   trace lacks: $1"
    fi
}

trace_count() { trace_text | grep -cE -- "$1" || true; }

# The status texts the driver saw, one a line, in order.
statuses() { awk -F'\t' '$1 == "status" { print $3 }' "$CASE_DIR/driver.txt"; }

# expect_statuses TEXT...: the texts appear in this order (others may come between).
expect_statuses() {
    local seen
    seen=$(statuses)
    if printf '%s\n' "$seen" | awk -v want="$(printf '%s\n' "$@")" '
        BEGIN { n = split(want, w, "\n"); k = 1 }
        k <= n && $0 == w[k] { k++ }
        END { exit(k <= n) }'; then
        note "ok   status sequence: $(printf '[%s] ' "$@")"
    else
        fail "status sequence $(printf '[%s] ' "$@") not in: $(printf '%s' "$seen" | tr '\n' '|')"
    fi
}

# expect_flash NAME IMAGE: the device's flash region equals IMAGE padded with zeros to whole
# 1024-byte blocks.
expect_flash() {
    local flash="$CASE_DIR/flash-$1.bin" padded="$CASE_DIR/padded-$1.bin"
    local size blocks
    size=$(stat -c %s "$2")
    blocks=$(((size + 1023) / 1024))
    cp "$2" "$padded"
    truncate -s $((blocks * 1024)) "$padded"
    if ! wait_for test -f "$flash"; then
        fail "device $1 wrote no flash file"
    elif cmp -s -n $((blocks * 1024)) "$flash" "$padded"; then
        note "ok   flash of the simulated device ($1) equals the padded image ($((blocks * 1024)) bytes)"
    else
        fail "flash of the simulated device ($1) differs from the padded image"
    fi
}

padded_size() {
    local size
    size=$(stat -c %s "$1")
    printf '0x%x' $((((size + 1023) / 1024) * 1024))
}

# Processes of this prefix that still hold a terminal open.
holders_of() {
    local target=$1 proc pid
    for proc in /proc/[0-9]*; do
        pid=${proc#/proc/}
        tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
        if ls -l "$proc/fd" 2>/dev/null | grep -qF -- "-> $target"; then
            printf '%s ' "$pid"
        fi
    done
}

case_end() {
    note "--- trace tail ---"
    trace_text 2>/dev/null | tail -n 8 || true
    if [ "$case_failed" -ne 0 ]; then
        note "--- driver ---"
        tail -n 40 "$CASE_DIR/driver.txt" 2>/dev/null || true
        note "case $CASE_NAME FAILED (logs in $CASE_DIR)"
        exit 1
    fi
    note "case $CASE_NAME passed"
}
