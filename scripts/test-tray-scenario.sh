#!/usr/bin/env bash
# The tray scenario: a tray application in Python that cannot load the library and follows
# docs/protocol.md alone (tests/capi/protocol_peer.py: flock on the directory, read, add 1 to
# detection.minDurationMs, a temporary file of its own, rename, sync) changes its setting 150
# times, 150 ms apart, while the driver (tarvik_tray_driver) updates its own every 50 ms and
# watches. Fails unless no tray change is lost, no driver change is undone by a news, no news
# lists the driver's own key, and every tray change arrived as news.
#
#   scripts/test-tray-scenario.sh <tarvik_tray_driver> [rounds]
set -uo pipefail
driver=$1
rounds=${2:-150}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
file=$scratch/settings/config.json
mkdir -p "$scratch/settings"
printf '{"detection": {"cooldownMs": 1000, "minDurationMs": 100}}' >"$file"

"$driver" "$file" 50 >"$scratch/driver.out" &
driver_pid=$!
sleep 0.2
python3 "$(dirname "$0")/../tests/capi/protocol_peer.py" "$file" --rounds "$rounds" \
    --interval-ms 150 --report "$scratch/tray.json"
tray_status=$?
touch "$scratch/settings/stop"
wait "$driver_pid" || exit 1

summary=$(grep '^summary' "$scratch/driver.out")
echo "driver $summary"
missing=0
for ((value = 101; value <= 100 + rounds; ++value)); do
    grep -qx "news $value" "$scratch/driver.out" || missing=$((missing + 1))
done
read -r tray_value final < <(python3 -c 'import json,sys; d=json.load(open(sys.argv[1]))["detection"]; print(d["minDurationMs"], d["cooldownMs"])' "$file")
tray_lost=$((100 + rounds - tray_value))
echo "tray changes lost: $tray_lost; tray changes missing from the driver's news: $missing;" \
    "driver's setting in the file: $final"

status=0
((tray_status == 0 && tray_lost == 0)) || { echo "FAIL: the tray lost changes or failed"; status=1; }
[[ $summary == *" failed=0 reverted=0 own-reported=0 "* ]] || { echo "FAIL: the driver's side"; status=1; }
[[ $summary == *" final=$final" ]] || { echo "FAIL: the file lost the driver's last change"; status=1; }
((missing == 0)) || { echo "FAIL: $missing tray changes never arrived as news"; status=1; }
exit $status
