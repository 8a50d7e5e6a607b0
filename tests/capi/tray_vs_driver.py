#!/usr/bin/env python3
"""A tray application in another language against the C++ driver, on one config.json: the
driver program (tarvik_driver_peer) adds 1 to detection.cooldownMs every --interval-ms while
the tray adds 1 to detection.minDurationMs each round and watches the file. Hunts lost
changes both ways (a count that ends short in the file, a value that goes back), failed
writes, and driver changes that the tray's watcher never reports.

    tray_vs_driver.py --driver EXE [--emulator CMD] [--path-prefix Z:] [--driver-rounds N]
                      [--tray-rounds N] [--interval-ms MS] [--every-change-as-news] -- TRAY...

The tray command gets CONFIG --rounds N --interval-ms MS --linger-s S --report FILE appended
(the samples' options) and must write the report: {"writes", "failures", "news": [...]}.
Prints the figures; exits non-zero when a change was lost, a write failed, or the watcher
reported an older driver value after a newer one; with --every-change-as-news also when a
driver change never arrived as news (beyond one in twenty passed over by a later value, as
merged news are; the last value must always arrive).
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

DEFAULT_MS = 300  # the default of both settings


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--driver", required=True)
    parser.add_argument("--emulator", default="")
    parser.add_argument("--path-prefix", default="")
    parser.add_argument("--driver-rounds", type=int, default=200)
    parser.add_argument("--tray-rounds", type=int, default=200)
    parser.add_argument("--interval-ms", type=int, default=50)
    parser.add_argument("--tray-interval-ms", type=int, default=40)
    parser.add_argument("--every-change-as-news", action="store_true")
    parser.add_argument("tray", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    tray = [part for part in args.tray if part != "--"]
    if not tray:
        parser.error("no tray command after --")

    scratch = tempfile.mkdtemp(prefix="tarvik_tray_")
    try:
        return run(args, tray, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def run(args, tray, scratch):
    config = os.path.join(scratch, "settings", "config.json")
    os.makedirs(os.path.dirname(config))
    report = os.path.join(scratch, "report.json")
    shown_config = args.path_prefix + config
    emulator = [args.emulator] if args.emulator else []
    driver = subprocess.Popen(
        emulator + [args.driver, shown_config, str(args.driver_rounds), str(args.interval_ms)],
        stdout=subprocess.PIPE, universal_newlines=True)
    tray_run = subprocess.run(
        tray + [shown_config, "--rounds", str(args.tray_rounds), "--interval-ms",
                str(args.tray_interval_ms), "--linger-s", "1.5", "--report", report],
        stdout=subprocess.PIPE, universal_newlines=True, timeout=600)
    driver_out, _ = driver.communicate(timeout=600)

    failures = []
    print("driver: " + driver_out.strip())
    if driver.returncode != 0:
        failures.append("the driver exited with {}".format(driver.returncode))
    fields = dict(part.split("=") for part in driver_out.split())
    if int(fields.get("updates", -1)) != args.driver_rounds:
        failures.append("the driver made {} of {} updates".format(
            fields.get("updates"), args.driver_rounds))
    if tray_run.returncode != 0:
        failures.append("the tray exited with {}; its output:\n{}".format(
            tray_run.returncode, tray_run.stdout))
    if not os.path.exists(report):
        for failure in failures + ["the tray wrote no report"]:
            print("FAIL: " + failure)
        return 1
    with open(report, encoding="utf-8") as text:
        seen = json.load(text)
    with open(config, encoding="utf-8") as text:
        final = json.load(text)["detection"]

    tray_lost = DEFAULT_MS + args.tray_rounds - final["minDurationMs"]
    driver_lost = DEFAULT_MS + args.driver_rounds - final["cooldownMs"]
    values = [news["settings"]["detection"]["cooldownMs"] for news in seen["news"]
              if "detection.cooldownMs" in news["changed"]]
    went_back = sum(1 for before, after in zip(values, values[1:]) if after < before)
    # Changes made before the tray's watch began are in its first news, the state as the watch
    # began; every later one must arrive as news.
    first = seen["news"][0]["settings"]["detection"]["cooldownMs"] if seen["news"] else DEFAULT_MS
    unreported = sorted(set(range(first + 1, DEFAULT_MS + args.driver_rounds + 1)) - set(values))
    print("tray: {} writes, {} failed; driver: {} updates".format(
        seen["writes"], len(seen["failures"]), fields.get("updates")))
    print("tray changes lost: {}; driver changes lost: {}".format(tray_lost, driver_lost))
    if seen.get("watching", True):
            print("driver changes reported to the tray's watcher: {} of {} ({} never reported{}), "
              "{} news went back".format(
                  args.driver_rounds - len(unreported), args.driver_rounds, len(unreported),
                  (": " + ", ".join(map(str, unreported[:20]))) if unreported else "",
                  went_back))
    if tray_lost != 0 or driver_lost != 0:
        failures.append("lost changes: tray {}, driver {}".format(tray_lost, driver_lost))
    if seen["writes"] != args.tray_rounds or seen["failures"]:
        failures.append("tray writes failed: {}".format(seen["failures"][:3]))
    if went_back:
        failures.append("the watcher reported an older driver value after a newer one")
    # News the tray has not taken yet is merged with the next, and a news read before the
    # tray's own update and taken after it carries that update's record: either way a driver
    # value can be passed over by a later one, more often on a loaded machine. A change that
    # never arrives (an update that took it in silently) leaves a large share out, or the last.
    merged_only = (len(unreported) <= max(1, args.driver_rounds // 20) and
                   DEFAULT_MS + args.driver_rounds not in unreported)
    if (args.every_change_as_news and seen.get("watching", True) and unreported and
            not merged_only):
        failures.append("{} driver changes never reported as news".format(len(unreported)))
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
