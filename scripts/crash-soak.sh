#!/usr/bin/env bash
# Process crashes during saves, with a reader loading all the while. Hunts a save that can leave
# the target torn, empty or missing when its process dies at any moment, a leftover temporary
# file that breaks the next save, and a reader that can ever see a partial document (it would
# log "Config file corrupted" and quarantine the file).
#
# A writer saving two distinct documents alternately is SIGKILLed at a random moment, again and
# again; after each kill the target must be exactly one of the two documents, and the next save
# must succeed and leave no ".tmp". Meanwhile a reader loads in a loop and must never log
# anything but a clean load, nor get a record that is neither document.
#
#   scripts/crash-soak.sh <path to tarvik_reltool> [kills]      default 1000 kills
# The directory is on tmpfs (SOAK_DIR overrides), where saves are fastest and so a kill lands
# in every phase of a save; process crashes do not depend on the file system's durability.
set -euo pipefail

tool=$(realpath "$1")
kills=${2:-1000}
a=3
b=4

work=$(mktemp -d "${SOAK_DIR:-/dev/shm}/tarvik-soak.XXXXXX")
reader_pid=
writer_pid=
cleanup() {
    [[ -n "$writer_pid" ]] && kill -9 "$writer_pid" 2>/dev/null || true
    [[ -n "$reader_pid" ]] && kill -9 "$reader_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

target=$work/settings/config.json
stop=$work/stop-reader
"$tool" save "$target" "$a" >/dev/null 2>&1

"$tool" reader "$target" "$stop" "$a" "$b" >"$work/reader.out" 2>&1 &
reader_pid=$!

fail() {
    echo "FAIL after $1 kills: $2"
    exit 1
}

tmp_left=0
last_seen=
for ((i = 1; i <= kills; i++)); do
    "$tool" writer "$target" "$a" "$b" 2>"$work/writer.err" &
    writer_pid=$!
    # A random moment within the writer's first few hundred saves.
    sleep "0.$(printf '%03d' $((RANDOM % 25)))"
    kill -9 "$writer_pid" 2>/dev/null || true
    status=0
    wait "$writer_pid" 2>/dev/null || status=$?
    writer_pid=
    ((status == 137)) || fail "$((i - 1))" "writer ended by itself with status $status: $(cat "$work/writer.err")"
    [[ -e "$target.tmp" ]] && tmp_left=$((tmp_left + 1))
    last_seen=$("$tool" check "$target" "$a" "$b") || fail "$i" "target after the kill: $last_seen"
    next=$((i % 2 == 0 ? a : b))
    "$tool" save "$target" "$next" >/dev/null 2>"$work/save.err" ||
        fail "$i" "the save after the kill returned false: $(cat "$work/save.err")"
    [[ ! -e "$target.tmp" ]] || fail "$i" "the save after the kill left $target.tmp"
    verdict=$("$tool" check "$target" "$next") || fail "$i" "the save after the kill wrote: $verdict"
    if ! kill -0 "$reader_pid" 2>/dev/null; then
        fail "$i" "the reader stopped: $(cat "$work/reader.out")"
    fi
done

touch "$stop"
reader_status=0
wait "$reader_pid" || reader_status=$?
reader_pid=
echo "$(cat "$work/reader.out")"
((reader_status == 0)) || fail "$kills" "the reader saw trouble (status $reader_status)"
quarantined=$(find "$work/settings" -name 'config.json.corrupted.*' | wc -l)
((quarantined == 0)) || fail "$kills" "$quarantined files were quarantined"
echo "crash soak: $kills kills survived ($tmp_left of them left a .tmp mid-save, each consumed by the next save); no torn target, no quarantine"
