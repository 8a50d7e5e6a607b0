#!/usr/bin/env bash
# Power cuts during a save. Hunts a save that reports success before its data and its new name
# are on stable storage, and a save that can leave the target torn, empty, full of zeros or
# missing at any moment. On an ext4 image behind a loop device, one save at a time is killed
# at each of its system calls in turn (strace inject, SIGKILL on entry), then the power is cut
# with `xfs_io -x -c shutdown` (no log flush: whatever is not yet on the disk is lost), and the
# file system is remounted and checked: the target must be exactly the old or the new document,
# and the new one whenever the save had printed "saved" (it returned true).
#
# A control run repeats the sweep with eatmydata, which turns every fsync/fdatasync into a
# no-op: the same checker must catch it, or it proves nothing.
#
#   scripts/test-powercut.sh <path to tarvik_reltool>
# Needs root, loop devices, strace and xfs_io; skips with a message where they are missing.
set -euo pipefail

tool=$(realpath "$1")
old=1
new=2

skip() {
    echo "SKIP: $*"
    exit 0
}
((EUID == 0)) || skip "power-cut test needs root (loop device, mount)"
for command in strace xfs_io mkfs.ext4 losetup; do
    command -v "$command" >/dev/null || skip "$command is not installed"
done
strace -qq -o /dev/null true 2>/dev/null || skip "strace cannot trace here (ptrace is not permitted)"
eatmydata_lib=$(find /usr/lib /usr/lib64 -name 'libeatmydata.so' 2>/dev/null | head -n1 || true)

work=$(mktemp -d /dev/shm/tarvik-powercut.XXXXXX)
image=$work/ext4.img
mnt=$work/mnt
loop=
cleanup() {
    if mountpoint -q "$mnt" 2>/dev/null; then
        umount "$mnt" 2>/dev/null || umount -l "$mnt" || true
    fi
    if [[ -n "$loop" ]]; then
        losetup -d "$loop" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

truncate -s 32M "$image"
mkfs.ext4 -q -F "$image"
mkdir "$mnt"
loop=$(losetup -f --show "$image" 2>/dev/null) || skip "cannot attach a loop device here"
mount -t ext4 "$loop" "$mnt" 2>/dev/null || skip "cannot mount an ext4 loop device here"

dir=$mnt/settings
target=$dir/config.json

# Puts the file system into the state before a save: the old document durable (or no target
# at all), no leftovers. The tool's own save of the old document is fsynced; the removal of a
# leftover is made durable with a sync of the file system.
prepare() {
    local scenario=$1
    mkdir -p "$dir"
    rm -f "$dir"/*
    if [[ "$scenario" == replace ]]; then
        "$tool" save "$target" "$old" >/dev/null 2>&1
    fi
    sync -f "$dir"
}

cut_power() {
    xfs_io -x -c shutdown "$mnt"
    umount "$mnt"
    mount -t ext4 "$loop" "$mnt"
}

# The system calls of one save, as "name occurrence" lines in the order they are made.
list_calls() {
    local preload=$1 trace=$work/trace
    prepare "$2"
    env ${preload:+LD_PRELOAD=$preload} strace -qq -o "$trace" "$tool" save "$target" "$new" >/dev/null 2>&1
    # The first execve is the one strace starts the program with; it cannot be interrupted.
    awk '{ if (match($0, /^[a-z_0-9]+\(/)) { name = substr($0, 1, RLENGTH - 1); n = ++seen[name]
           if (name != "execve") print name, n } }' "$trace"
}

# Sweeps every crash point of one scenario. Reports on standard error; prints "tried caught".
sweep() {
    local scenario=$1 preload=$2 label=$3
    local before=$old
    [[ "$scenario" == first ]] && before=absent
    local tried=0 caught=0 returned_true=0 kept_old=0 got_new=0 name occurrence
    local -a calls
    mapfile -t calls < <(list_calls "$preload" "$scenario")
    calls+=("none 0")  # and one save that runs to its end before the cut
    for call in "${calls[@]}"; do
        read -r name occurrence <<<"$call"
        prepare "$scenario"
        local out=$work/out inject=()
        if [[ "$name" != none ]]; then
            inject=(-e "trace=$name" -e "inject=$name:signal=SIGKILL:when=$occurrence")
        fi
        # In a subshell whose error stream is closed, so that bash's "Killed" notice stays quiet.
        (env ${preload:+LD_PRELOAD=$preload} strace -qq -o /dev/null "${inject[@]}" \
            "$tool" save "$target" "$new" >"$out" || true) 2>/dev/null
        cut_power
        tried=$((tried + 1))
        local allowed=("$before" "$new") verdict
        if grep -qx saved "$out"; then
            allowed=("$new")
            returned_true=$((returned_true + 1))
        fi
        if verdict=$("$tool" check "$target" "${allowed[@]}"); then
            [[ "$verdict" == "$new" ]] && got_new=$((got_new + 1)) || kept_old=$((kept_old + 1))
        else
            caught=$((caught + 1))
            local actual
            actual=$("$tool" check "$target" "$before" "$new") || true
            echo "  $label/$scenario: killed before $name #$occurrence, save said '$(tr -d '\n' <"$out")'; after the cut the target is: $actual" >&2
        fi
    done
    echo "  $label/$scenario: $tried crash points, save returned true at $returned_true, after the cut: $got_new new, $kept_old old (or absent), $caught violations" >&2
    echo "$tried $caught"
}

status=0
total_tried=0
for scenario in replace first; do
    result=$(sweep "$scenario" "" durable)
    read -r tried caught <<<"$result"
    total_tried=$((total_tried + tried))
    if ((caught > 0)); then
        echo "FAIL: $caught of $tried crash points broke the promise ($scenario)"
        status=1
    fi
done
echo "power cut: $total_tried crash points tried, all survived: $([[ $status == 0 ]] && echo yes || echo no)"

if [[ -z "$eatmydata_lib" ]]; then
    echo "FAIL: eatmydata is not installed; the control run cannot prove the checker"
    exit 1
fi
control_caught=0
for scenario in replace first; do
    result=$(sweep "$scenario" "$eatmydata_lib" control)
    read -r tried caught <<<"$result"
    control_caught=$((control_caught + caught))
done
if ((control_caught == 0)); then
    echo "FAIL: the control run without flushes passed the checker: the test proves nothing"
    status=1
else
    echo "control (eatmydata, no flushes): checker caught $control_caught violations, as it must"
fi
exit "$status"
