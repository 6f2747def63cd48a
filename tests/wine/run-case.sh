#!/usr/bin/env bash
# Runs one end-to-end case of fwt.exe under Wine and Xvfb against simulated devices on
# pseudo-terminals; "prefix-create" and "prefix-remove" make and drop the shared Wine prefix.
# Usage: run-case.sh CASE   (environment: see tools/wine/lib.sh)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../tools/wine/lib.sh
source "$here/../../tools/wine/lib.sh"

case_name=${1:?usage: run-case.sh CASE}

# Everything runs in a private mount namespace, where the machine's own serial ports can be
# hidden from Wine without touching the rest of the system (root only).
if [ "$(id -u)" -eq 0 ]; then
    if [ -z "${FWT_PRIVATE_MOUNTS:-}" ]; then
        exec env FWT_PRIVATE_MOUNTS=1 unshare -m --propagation private bash "$0" "$@"
    fi
    hide_machine_serial_ports
fi

case "$case_name" in
prefix-create)
    prefix_create
    exit 0
    ;;
prefix-remove)
    prefix_remove
    exit 0
    ;;
esac


SMALL_SIZE=$(padded_size "$FWT_SMALL_IMAGE")

# box_has WHAT GREP_FLAG PATTERN: the fatal report's text (in $box) has a line matching PATTERN.
box_has() {
    if grep "$2" -- "$3" <<<"$box" >/dev/null; then
        note "ok   box has $1: $3"
    else
        fail "box lacks $1: $3"
    fi
}

# A normal run of the tool over the device behind COM3: start, select, press, wait for the end.
# Leaves the tool running.
run_until() {
    local exe=$1 final=$2 limit_ms=$3
    start_tool "$exe"
    drive window 30000 status items select 0 click await "$final" "$limit_ms"
}

case_serial_layer() {
    "$FWT_PTYPEER" "$CASE_DIR/peer-pty" >"$CASE_DIR/peer.log" 2>&1 &
    remember $!
    wait_for test -s "$CASE_DIR/peer-pty"
    ln -sfn "$(cat "$CASE_DIR/peer-pty")" "$PORTS/com3"
    local rc=0
    "$WINE" "$FWT_WIN64_DIR/fwt-serialprobe.exe" '\\.\com3' >"$CASE_DIR/probe.txt" 2>&1 || rc=$?
    cat "$CASE_DIR/probe.txt"
    expect_eq "serial probe exit code" 0 "$rc"
    expect_eq "checks passed" 6 "$(grep -c '^ok ' "$CASE_DIR/probe.txt")"
}

case_shipped_image() {
    start_device dev 3
    local start=$SECONDS
    run_until "$FWT_WIN64_DIR/fwt.exe" "Programming Completed" 240000
    note "update took about $((SECONDS - start)) s from start-up (driver clock below)"
    drive rect >/dev/null || true
    local rect
    rect=$(awk '$1 == "rect" { print $4 "x" $5 "+" $2 "+" $3 }' "$CASE_DIR/driver.txt" | tail -n1)
    if command -v import >/dev/null && [ -n "$rect" ]; then
        import -window root -crop "$rect" +repage "$CASE_DIR/screenshot.png" 2>/dev/null &&
            note "screenshot: $CASE_DIR/screenshot.png"
    fi
    close_tool_expect 0
    expect_trace "Running on windows version: a00"
    expect_trace "Flash Image Size 0x1d800 bytes"
    expect_trace "REMOTE DEVICE LINK ESTABLISHED"
    expect_eq "blocks sent" 118 "$(trace_count '^PROG ADDR ')"
    expect_eq "blocks acknowledged (- OK)" 118 "$(trace_count '^- OK$')"
    expect_trace "CRCs match"
    expect_statuses " - Idle - " "Contacting Device..." "Establishing Link..." \
        "programming 0x8004000" "programming 0x8021400" "Programming Completed"
    expect_flash dev "$FWT_SHIPPED_IMAGE"
    local t0 t1
    t0=$(awk -F'\t' '$1 == "status" && $3 == "Contacting Device..." { print $2; exit }' "$CASE_DIR/driver.txt")
    t1=$(awk -F'\t' '$1 == "status" && $3 == "Programming Completed" { print $2; exit }' "$CASE_DIR/driver.txt")
    [ -n "$t0" ] && [ -n "$t1" ] && note "press to \"Programming Completed\": $((t1 - t0)) ms"
}

case_late_power_up() {
    start_device dev 3 --image-size "$SMALL_SIZE" --power-delay-ms 4000
    run_until "$FWT_SMALL_EXE" "Programming Completed" 60000
    close_tool_expect 0
    local contacts
    contacts=$(trace_count '^CONTACTING\.\.\.$')
    if [ "$contacts" -ge 20 ]; then
        note "ok   $contacts contact requests before the device answered"
    else
        fail "only $contacts contact requests for a 4 s power-up delay"
    fi
    expect_trace "REMOTE DEVICE LINK ESTABLISHED"
    expect_trace "CRCs match"
    expect_statuses "Contacting Device..." "Establishing Link..." "programming 0x8004000" \
        "Programming Completed"
    expect_flash dev "$FWT_SMALL_IMAGE"
}

# A run that ends in "FAILED" leaves the port open; a second press on the same port must close
# it and start afresh instead of ending the tool.
case_wrong_checksum_retry() {
    start_device bad 3 --image-size "$SMALL_SIZE" --wrong-crc
    local bad_pty
    bad_pty=$(device_pty bad)
    run_until "$FWT_SMALL_EXE" "FAILED" 60000
    expect_trace "CRC FAIL"
    local held
    held=$(holders_of "$bad_pty")
    [ -n "$held" ] && note "ok   after FAILED the tool still holds $bad_pty"
    stop_pid "$DEVICE_PID_bad"
    start_device good 3 --image-size "$SMALL_SIZE"
    drive click await "Programming Completed" 60000
    held=$(holders_of "$bad_pty")
    expect_eq "processes still holding the failed run's port" "" "$held"
    close_tool_expect 0
    expect_eq "ports opened" 2 "$(trace_count '^ \. Opening serial port \\\\\.\\com3 at 115200 baud$')"
    expect_statuses "Establishing Link..." "FAILED" "Contacting Device..." "Establishing Link..." \
        "Programming Completed"
    expect_flash good "$FWT_SMALL_IMAGE"
}

case_restart_mid_run() {
    start_device dev 3 --image-size "$SMALL_SIZE"
    run_until "$FWT_SMALL_EXE" "programming 0x8004400" 60000
    drive click await "Programming Completed" 60000
    close_tool_expect 0
    expect_eq "ports opened" 2 "$(trace_count 'Opening serial port')"
    expect_eq "first block sent (once per run)" 2 "$(trace_count '^PROG ADDR 0x8004000,')"
    expect_trace "CRCs match"
    expect_statuses "programming 0x8004400" "Contacting Device..." "Establishing Link..." \
        "programming 0x8004000" "Programming Completed"
    expect_flash dev "$FWT_SMALL_IMAGE"
}

case_two_ports() {
    start_device three 3 --image-size "$SMALL_SIZE"
    start_device ten 10 --image-size "$SMALL_SIZE"
    start_tool "$FWT_SMALL_EXE"
    drive window 30000 items select 1 click await "Programming Completed" 60000
    local items
    items=$(awk '$1 == "item" { printf "%s %s;", $2, $3 }' "$CASE_DIR/driver.txt")
    expect_eq "port list" '0 \\.\com3;1 \\.\com10;' "$items"
    close_tool_expect 0
    expect_trace ' . Opening serial port \\.\com10 at 115200 baud'
    expect_flash ten "$FWT_SMALL_IMAGE"
    [ -f "$CASE_DIR/flash-three.bin" ] && fail "the device behind COM3 was restarted"
    if [ -s "$CASE_DIR/devsim-three.err" ] && grep -qi 'rx\|request' "$CASE_DIR/devsim-three.err"; then
        note "note: device behind COM3 logged: $(tail -n 2 "$CASE_DIR/devsim-three.err")"
    fi
}

case_no_ports() {
    start_tool "$FWT_SMALL_EXE"
    drive window 30000 items status click status
    expect_eq "port list entries" 0 "$(grep -c '^item ' "$CASE_DIR/driver.txt")"
    expect_statuses " - Idle - " "No COM port selected"
    close_tool_expect 0
    expect_no_trace "Opening serial port"
}

case_port_gone() {
    start_device dev 3 --image-size "$SMALL_SIZE"
    start_tool "$FWT_SMALL_EXE"
    drive window 30000 items
    expect_eq "port list" 'item 0 \\.\com3' "$(grep '^item ' "$CASE_DIR/driver.txt")"
    # The adapter is unplugged: the device and its terminal go away.
    stop_pid "$DEVICE_PID_dev"
    rm -f "$PORTS/com3"
    drive click box 20000
    wait_pid "$TOOL_PID" 20 || true
    expect_eq "exit code" 1 "$WAITED_RC"
    local box
    box=$(sed -n '/^box-begin$/,/^box-end$/p' "$CASE_DIR/driver.txt")
    printf '%s\n' "$box"
    box_has "the failure" -F "          Unable to open serial port. In use already, or not present"
    box_has "the error number" -E "^Error number [1-9][0-9]* reported"
    # The system's description of the error follows the number line.
    if awk '/^Error number/ { getline; found = ($0 ~ /[A-Za-z]/) } END { exit !found }' <<<"$box"; then
        note "ok   box: the system's description follows the error number"
    else
        fail "no system description after the error number"
    fi
    box_has "the closing text" -F " The program will now abort"
}

case_empty_image() {
    local box
    start_tool "$FWT_NOIMAGE_EXE"
    drive box 30000
    wait_pid "$TOOL_PID" 20 || true
    expect_eq "exit code" 1 "$WAITED_RC"
    box=$(sed -n '/^box-begin$/,/^box-end$/p' "$CASE_DIR/driver.txt")
    box_has "the failure" -F "          Firmware image missing or empty"
    expect_no_trace "Flash Image Size"
}

declare -F "case_$case_name" >/dev/null || die "no such case: $case_name"
case_begin "$case_name"
"case_$case_name"
case_end
