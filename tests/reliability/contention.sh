#!/usr/bin/env bash
# Several processes on one config.json, as the driver, the tray application and a user's tool
# meet it: hunts torn documents, failed saves, loads that find the file missing or corrupt
# while others save it, updates that lose another process's change, a lock that outlives a
# killed holder, and a save that waits forever (or writes) while another holds the file.
#
#   contention.sh <tarvik_reltool> [emulator]     e.g. cmake/wine-run.sh for the Windows build
#
# TARVIK_CONTENTION_SAVES (saves per saver; 2000 native, 300 under an emulator) and
# TARVIK_CONTENTION_UPDATES (updates per process; 200) set the sizes. Prints each process's
# counts; exits non-zero if any case failed.
#
# Under cmake/wine-run.sh a program that Wine fails to start is started once more by the
# launcher itself; the holders, which must be killable by their process id, are started without
# it, so this script watches them: a holder that dies before it holds the lock fails the case at
# once with its error output, unless Wine lost its server before the holder's code ran, which
# alone earns a second start.
set -uo pipefail

tool=$1
emulator=${2:-}
if [[ -n $emulator ]]; then
    saves=${TARVIK_CONTENTION_SAVES:-300}
else
    saves=${TARVIK_CONTENTION_SAVES:-2000}
fi
updates=${TARVIK_CONTENTION_UPDATES:-200}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarvik_contention.XXXXXX")
pids=()   # killed at exit: the holders
cleanup() {
    # The readers end once their stop file exists; anything else still running is killed.
    [[ -d $scratch/saves ]] && touch "$scratch/saves/stop"
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT

# A Windows program sees this machine's root as drive Z:.
native() {
    if [[ -n $emulator ]]; then
        printf 'Z:%s' "$1"
    else
        printf '%s' "$1"
    fi
}
# Run in the foreground, or in the background with `run ... &`: exec, so that $! is the
# program itself (or Wine's process of it) and kill -9 reaches it.
run() {
    if [[ -n $emulator ]]; then
        exec "$emulator" "$tool" "$@"
    else
        exec "$tool" "$@"
    fi
}
# A foreground run in a subshell, so that exec does not end this script.
call() {
    (run "$@")
}

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Starts `hold` on target $1 in the background, its output in $2.out and $2.err, and waits (up
# to 60 s: Wine starts slowly) until it holds the lock; sets `holder`. When the holder ends or
# hangs without taking the lock, prints why and returns 1 at once. A holder that Wine failed to
# start ("wine client error:0:", before any code of the program ran) is started once more.
start_holder() {
    local target=$1 output=$2 attempt status
    for attempt in 1 2; do
        TARVIK_WINE_EXEC=1 run hold "$target" >"$output.out" 2>"$output.err" &
        holder=$!
        pids+=("$holder")
        for _ in $(seq 600); do
            grep -q holding "$output.out" 2>/dev/null && return 0
            kill -0 "$holder" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$holder" 2>/dev/null; then
            echo "the holder has not taken the lock after 60 s: $(cat "$output.err")"
            return 1
        fi
        status=0
        wait "$holder" || status=$?
        grep -q holding "$output.out" 2>/dev/null && return 0  # it printed, then ended
        if ((attempt == 1)) && grep -q '^wine client error:0: ' "$output.err"; then
            echo "(Wine lost its server before the holder could start; starting it once more)"
            continue
        fi
        echo "the holder ended with status $status without taking the lock: $(cat "$output.err")"
        return 1
    done
}

echo "--- two savers, a raw reader and a loader on one file: $saves saves each"
dir=$scratch/saves
mkdir -p "$dir"
target=$(native "$dir/config.json")
stop=$(native "$dir/stop")
run rawreads "$target" "$stop" 1 2 3 4 >"$dir/rawreads.out" 2>"$dir/rawreads.err" &
rawreader=$!
run loads "$target" "$stop" 1 2 3 4 >"$dir/loads.out" 2>"$dir/loads.err" &
loader=$!
run saves "$target" 1 2 "$saves" >"$dir/saver1.out" 2>"$dir/saver1.err" &
saver1=$!
run saves "$target" 3 4 "$saves" >"$dir/saver2.out" 2>"$dir/saver2.err" &
saver2=$!
wait "$saver1" || fail "saver 1: $(cat "$dir/saver1.out")"
wait "$saver2" || fail "saver 2: $(cat "$dir/saver2.out")"
touch "$dir/stop"
wait "$rawreader"
wait "$loader"
cat "$dir/saver1.out" "$dir/saver2.out" "$dir/rawreads.out" "$dir/loads.out"
grep -q ' 0 torn' "$dir/rawreads.out" || fail "the raw reader saw torn texts"
if [[ -z $emulator ]]; then
    # rename() replaces the name in one step; Windows' ReplaceFileW hides it for a moment,
    # which only the layer's own load waits out.
    grep -q ' 0 missing' "$dir/rawreads.out" || fail "the raw reader found no file"
fi
grep -q ' 0 missing after the file existed, 0 corrupt, 0 other' "$dir/loads.out" ||
    fail "the loader found the file missing or corrupt"
grep -q ' 0 reads' "$dir/loads.out" && fail "the loader never read the file"
grep -h -v -e "Driver loaded config from" -e "No config file at" "$dir"/*.err | head -5
[[ -e $dir/config.json.tmp ]] && fail "a temporary file was left behind"
ls "$dir" | grep -q corrupted && fail "a document was moved aside"

echo "--- four processes, each adding 1 to its own field $updates times"
dir=$scratch/updates
mkdir -p "$dir"
target=$(native "$dir/config.json")
call timedsave "$target" 0 >/dev/null 2>&1 || fail "the first save failed"
fields=(version bufferSizeMs cooldownMs fftSize)
declare -A before
for field in "${fields[@]}"; do
    before[$field]=$(call field "$target" "$field" 2>/dev/null | tr -d '\r')
done
updaters=()
for field in "${fields[@]}"; do
    run increment "$target" "$field" "$updates" >"$dir/$field.out" 2>"$dir/$field.err" &
    updaters+=($!)
done
for i in "${!updaters[@]}"; do
    wait "${updaters[$i]}" || fail "updater of ${fields[$i]}: $(tail -1 "$dir/${fields[$i]}.err")"
done
for field in "${fields[@]}"; do
    after=$(call field "$target" "$field" 2>/dev/null | tr -d '\r')
    echo "$field: ${before[$field]} -> $after"
    [[ $after == $((before[$field] + updates)) ]] || fail "$field changed by $((after - before[$field])), not $updates"
done

echo "--- a holder killed in the middle of an update"
dir=$scratch/killed
mkdir -p "$dir"
target=$(native "$dir/config.json")
call timedsave "$target" 5 >/dev/null 2>&1 || fail "the first save failed"
start_holder "$target" "$dir/hold" || fail "the holder never took the lock"
{ kill -9 "$holder"; wait "$holder"; } 2>/dev/null
result=$(call timedsave "$target" 6 2>"$dir/next.err" | tr -d '\r')
echo "next save: $result"
[[ $result == saved* ]] || fail "the save after a killed holder: $result"
grep -q 'another save holds' "$dir/next.err" && fail "the save waited for a dead holder"
call check "$(native "$dir/config.json")" 6 >/dev/null || fail "the save after a killed holder left another document"

echo "--- a holder that never lets go"
dir=$scratch/stuck
mkdir -p "$dir"
target=$(native "$dir/config.json")
call timedsave "$target" 7 >/dev/null 2>&1 || fail "the first save failed"
cp "$dir/config.json" "$dir/before"
start_holder "$target" "$dir/hold" || fail "the holder never took the lock"
result=$(call timedsave "$target" 8 2>"$dir/next.err" | tr -d '\r')
echo "save while held: $result"
[[ $result == failed* ]] || fail "a save went ahead while another held the file: $result"
grep -q '\[ERROR\] Could not save config: another save holds .*config.json (waited 2000 ms)' "$dir/next.err" ||
    fail "no ERROR line naming the holder: $(cat "$dir/next.err")"
cmp -s "$dir/before" "$dir/config.json" || fail "the target changed while another save held it"
[[ -e $dir/config.json.tmp ]] && fail "a temporary file was left behind"
{ kill -9 "$holder"; wait "$holder"; } 2>/dev/null

echo
if ((failures > 0)); then
    echo "contention: $failures case(s) failed"
    exit 1
fi
echo "contention: all cases passed"
