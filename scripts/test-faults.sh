#!/usr/bin/env bash
# Injected faults on the real system calls of a save, a load and a quarantine, plus real full,
# read-only and unlistable directories. Hunts a failure path that reports success, logs the
# wrong message, damages or replaces the target, or leaves a temporary file behind.
#
# Save: EIO and ENOSPC at the temporary file's open, write, fdatasync and close, at the rename
# and at the directory fsync (strace inject, on the call that the trace of a clean save shows
# for that file), for a save over an existing target and for a first save; a full tmpfs; a
# read-only bind mount; a directory without write permission (as another user). Each must
# return false with its message, leave the target byte for byte as it was (after a failed
# directory sync it already holds the new document, which is kept) and leave no ".tmp".
# Load and quarantine: the move aside refused, the listing of the directory refused, removals
# of surplus backups refused; the load must still return normally, the corrupt file must stay
# or be moved intact, and no backup may be lost.
#
#   scripts/test-faults.sh <path to tarvik_reltool>
set -euo pipefail

tool=$(realpath "$1")
old=1
new=2
((EUID == 0)) || {
    echo "SKIP: the fault tests need root (for mounts and for playing another user)"
    exit 0
}

strace -qq -o /dev/null true 2>/dev/null || {
    echo "SKIP: strace cannot trace here (ptrace is not permitted)"
    exit 0
}

work=$(mktemp -d /dev/shm/tarvik-faults.XXXXXX)
chmod 755 "$work"
cleanup() {
    chmod -R u+rwx "$work" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

dir=$work/settings
target=$dir/config.json
passed=0
failed=0
as_other=(setpriv --reuid=65534 --regid=65534 --clear-groups)

ok() {
    passed=$((passed + 1))
    echo "  ok: $*"
}
bad() {
    failed=$((failed + 1))
    echo "  FAIL: $*"
}

prepare() {  # replace | first
    rm -rf "$dir"
    mkdir -p "$dir"
    if [[ "$1" == replace ]]; then
        "$tool" save "$target" "$old" >/dev/null 2>&1
    fi
}

# expect_save <label> <status> <message or -> <target afterwards: old|new|absent> -- command...
# The message "-" means: no ERROR line at all.
expect_save() {
    local label=$1 want_status=$2 want_message=$3 want_target=$4
    shift 5
    local status=0
    "$@" >"$work/out" 2>"$work/err" || status=$?
    local problems=()
    ((status == want_status)) || problems+=("status $status, expected $want_status")
    if [[ "$want_message" == - ]]; then
        ! grep -q '\[ERROR\]' "$work/err" || problems+=("unexpected ERROR: $(grep '\[ERROR\]' "$work/err")")
    else
        grep -qF "[ERROR] $want_message" "$work/err" || problems+=("no ERROR line '$want_message' in: $(tr '\n' ' ' <"$work/err")")
    fi
    local allowed=$want_target
    [[ "$want_target" == old ]] && allowed=$old
    [[ "$want_target" == new ]] && allowed=$new
    local verdict
    verdict=$("$tool" check "$target" "$allowed") || problems+=("target: $verdict")
    [[ ! -e "$target.tmp" ]] || problems+=("$target.tmp was left")
    if ((${#problems[@]} == 0)); then
        ok "$label: status $status, ${want_message/#-/no message}, target $want_target, no .tmp"
    else
        bad "$label: ${problems[*]}"
    fi
}

# Prints "<fault point> <syscall> <occurrence>" for the calls of a clean save that touch the
# temporary file or sync the directory.
save_calls() {
    local trace=$work/trace
    strace -qq -o "$trace" "$tool" save "$target" "$new" >/dev/null 2>&1
    awk -v tmp="$target.tmp\"" -v dir="\"$dir\"" '
        match($0, /^[a-z_0-9]+\(/) {
            name = substr($0, 1, RLENGTH - 1); n = ++seen[name]
            fd = $NF
            if (name == "openat" && index($0, tmp) && tmpfd == "") { tmpfd = fd; print "open", name, n; next }
            if (tmpfd != "" && !closed && name == "write" && index($0, "write(" tmpfd ",") == 1 && !w++) print "write", name, n
            if (tmpfd != "" && !closed && name ~ /^f(data)?sync$/ && index($0, name "(" tmpfd ")") == 1) print "flush", name, n
            if (tmpfd != "" && !closed && name == "close" && index($0, "close(" tmpfd ")") == 1) { closed = 1; print "close", name, n }
            if (name ~ /^rename/ && index($0, tmp)) print "rename", name, n
            if (name == "openat" && index($0, dir) && index($0, "O_DIRECTORY")) dirfd = fd
            if (dirfd != "" && name == "fsync" && index($0, "fsync(" dirfd ")") == 1) print "dirsync", name, n
        }' "$trace"
}

echo "injected errors in a save (strace inject on the real system calls):"
for scenario in replace first; do
    prepare "$scenario"
    mapfile -t calls < <(save_calls)
    ((${#calls[@]} == 6)) || bad "$scenario: expected 6 fault points in the trace, found: ${calls[*]}"
    before=old
    [[ "$scenario" == first ]] && before=absent
    for call in "${calls[@]}"; do
        read -r point syscall occurrence <<<"$call"
        for error in EIO ENOSPC; do
            prepare "$scenario"
            number=$([[ $error == EIO ]] && echo 5 || echo 28)
            text=$([[ $error == EIO ]] && echo "Input/output error" || echo "No space left on device")
            case $point in
                open) message="Could not open temp config file: $target.tmp" after=$before ;;
                write | flush | close) message=- after=$before ;;
                rename)
                    after=$before
                    if [[ "$scenario" == replace ]]; then
                        message="rename failed (errno=$number)"
                    else
                        message="rename failed on first save (errno=$number)"
                    fi
                    ;;
                dirsync) message="Could not sync config directory: $text" after=new ;;
            esac
            expect_save "$scenario save, $error at $point ($syscall #$occurrence)" 1 "$message" "$after" -- \
                strace -qq -o /dev/null -e "trace=$syscall" -e "inject=$syscall:error=$error:when=$occurrence" \
                "$tool" save "$target" "$new"
        done
    done
done

# The two cases below need a private mount namespace. Where none can be made (for instance in
# a chroot whose root is not a mount point), say so and skip them rather than fail.
if unshare_error=$(unshare -m true 2>&1); then
echo "a full disk (tmpfs of 64 KiB in a private mount namespace):"
prepare replace
unshare -m bash -c '
    set -e
    tool=$1 dir=$2 target=$3 old=$4 new=$5
    mount -t tmpfs -o size=64k tarvik-full "$dir"
    "$tool" save "$target" "$old" >/dev/null 2>&1
    dd if=/dev/zero of="$dir/filler" bs=4k 2>/dev/null || true
    status=0
    "$tool" save "$target" "$new" >/dev/null 2>"$dir/../err" || status=$?
    cp "$target" "$dir/../after-full" 2>/dev/null || true
    ls -a "$dir" >"$dir/../listing"
    rm -f "$dir/filler"
    "$tool" save "$target" "$new" >/dev/null 2>&1 && cp "$target" "$dir/../after-freed"
    exit "$status"
' _ "$tool" "$dir" "$target" "$old" "$new" && status=0 || status=$?
if ((status == 1)) && ! grep -q '\[ERROR\]' "$work/err" && "$tool" check "$work/after-full" "$old" >/dev/null &&
    ! grep -q 'config.json.tmp' "$work/listing" && "$tool" check "$work/after-freed" "$new" >/dev/null; then
    ok "full disk: status 1, no message, target old, no .tmp; after freeing space the save succeeds"
else
    bad "full disk: status $status, err: $(cat "$work/err"), listing: $(tr '\n' ' ' <"$work/listing")"
fi
mountpoint -q "$dir" && bad "the tmpfs leaked out of its namespace"

echo "a read-only directory:"
prepare replace
expect_save "read-only bind mount" 1 "Could not open temp config file: $target.tmp" old -- \
    unshare -m bash -c 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && exec "$2" save "$3" "$4"' \
    _ "$dir" "$tool" "$target" "$new"
else
    echo "  skipped: full disk and read-only bind mount need a private mount namespace: $unshare_error"
fi
echo "a directory without write permission:"
prepare replace
chmod 555 "$dir"
expect_save "directory without write permission, saved by another user" 1 \
    "Could not open temp config file: $target.tmp" old -- "${as_other[@]}" "$tool" save "$target" "$new"
chmod 755 "$dir"

# prepare_corrupt <backups>: a corrupt config.json and that many older backups.
corrupt='[1, "not an object"]'
prepare_corrupt() {
    rm -rf "$dir"
    mkdir -p "$dir"
    printf '%s' "$corrupt" >"$target"
    for ((k = 1; k <= $1; k++)); do
        echo "backup $k" >"$dir/config.json.corrupted.20000101-00000$k"
    done
}
backups() { find "$dir" -maxdepth 1 -name 'config.json.corrupted.*' | wc -l; }
newest_backup() { find "$dir" -maxdepth 1 -name 'config.json.corrupted.2*' ! -name 'config.json.corrupted.2000*' | head -n1; }

echo "load and quarantine:"
# expect_load <label> <want ERROR text or -> <want backups> <corrupt file stays: yes|no> -- command...
expect_load() {
    local label=$1 want_message=$2 want_backups=$3 stays=$4
    shift 5
    local status=0 problems=()
    "$@" >"$work/out" 2>"$work/err" || status=$?
    ((status == 0)) || problems+=("status $status")
    [[ "$(cat "$work/out")" == 1 ]] || problems+=("record changed: version $(cat "$work/out")")
    if [[ "$want_message" == - ]]; then
        ! grep -q '\[ERROR\]' "$work/err" || problems+=("unexpected ERROR: $(grep '\[ERROR\]' "$work/err")")
    else
        grep -qF "[ERROR] $want_message" "$work/err" || problems+=("no ERROR line '$want_message' in: $(tr '\n' ' ' <"$work/err")")
    fi
    [[ "$(backups)" == "$want_backups" ]] || problems+=("$(backups) backups, expected $want_backups")
    if [[ "$stays" == yes ]]; then
        [[ "$(cat "$target" 2>/dev/null)" == "$corrupt" ]] || problems+=("the corrupt file did not stay intact")
    else
        [[ ! -e "$target" ]] || problems+=("the corrupt file was not moved")
        [[ "$(cat "$(newest_backup)" 2>/dev/null)" == "$corrupt" ]] || problems+=("the backup does not hold the corrupt bytes")
    fi
    if ((${#problems[@]} == 0)); then
        ok "$label: load returned, record unchanged, ${want_message/#-/no error message}, $want_backups backups"
    else
        bad "$label: ${problems[*]}"
    fi
}

for error in EIO EACCES; do
    prepare_corrupt 2
    text=$([[ $error == EIO ]] && echo "Input/output error" || echo "Permission denied")
    expect_load "move aside refused ($error at rename)" "Could not rename corrupt config to $dir/config.json.corrupted." 2 yes -- \
        strace -qq -o /dev/null -e trace=rename,renameat,renameat2 -e "inject=rename,renameat,renameat2:error=$error" \
        "$tool" load "$target"
    grep -qF ": $text" "$work/err" || bad "move aside refused ($error): the message lacks the system's text '$text'"
done
prepare_corrupt 2
chmod 555 "$dir"
expect_load "move aside refused (directory without write permission, another user)" \
    "Could not rename corrupt config to $dir/config.json.corrupted." 2 yes -- "${as_other[@]}" "$tool" load "$target"
chmod 755 "$dir"

# The occurrence of the listing's open of the directory in a clean load's trace (the dynamic
# loader's opens come first; the quarantine's lock opens the directory before the listing
# does, so the listing's is the last open of it).
prepare_corrupt 6
strace -qq -o "$work/trace" "$tool" load "$target" >/dev/null 2>&1
listing_open=$(awk -v dir="\"$dir\"" 'match($0, /^openat\(/) { n++; if (index($0, dir) && index($0, "O_DIRECTORY")) last = n } END { print last }' "$work/trace")
prepare_corrupt 6
expect_load "listing refused (EACCES at the directory's open, openat #$listing_open): nothing pruned" - 7 no -- \
    strace -qq -o /dev/null -e trace=openat -e "inject=openat:error=EACCES:when=$listing_open" "$tool" load "$target"
prepare_corrupt 6
chmod 333 "$dir"
expect_load "listing refused (directory without read permission, another user): nothing pruned" - 7 no -- \
    "${as_other[@]}" "$tool" load "$target"
chmod 755 "$dir"

prepare_corrupt 6
expect_load "every removal refused (EIO at unlink): surplus backups stay" - 7 no -- \
    strace -qq -o /dev/null -e trace=unlink,unlinkat -e 'inject=unlink,unlinkat:error=EIO' "$tool" load "$target"
prepare_corrupt 6
rm "$dir/config.json.corrupted.20000101-000001"
mkdir "$dir/config.json.corrupted.20000101-000001"
touch "$dir/config.json.corrupted.20000101-000001/inside"
expect_load "the oldest backup is a non-empty directory: its removal fails, the next one goes" - 6 no -- \
    "$tool" load "$target"
[[ -d "$dir/config.json.corrupted.20000101-000001" && ! -e "$dir/config.json.corrupted.20000101-000002" ]] ||
    bad "pruning after a failed removal did not go on with the next backup"

echo "faults: $passed cases passed, $failed failed"
((failed == 0))
