#!/usr/bin/env python3
"""A tray application's settings logic, without the window: it shows each change that another
program (the driver, a person with an editor) makes to config.json, and moves the
"minimum duration" slider one step at a time, as a user dragging it would.

    tray_sample.py CONFIG [--rounds N] [--interval-ms MS] [--linger-s S] [--report FILE]

Each round reads the slider's value from the file and writes the next one with an update:
one locked read-modify-write, so the driver's own changes, made at the same time, are kept.
A background thread takes the watcher's news and shows it, as a window would refresh. After
the rounds it keeps watching until nothing has come for --linger-s seconds. --report writes
what it did and saw as JSON: {"writes", "failures", "news": [{"sequence", "changed",
"settings"}]}.
"""

import argparse
import json
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarvik_config  # noqa: E402

SLIDER = ("detection", "minDurationMs")


def watch(watcher, news_seen, stop, last_news_at):
    while not stop.is_set():
        news = watcher.wait_and_take(timeout=0.1)
        if news is None:
            continue
        last_news_at[0] = time.monotonic()
        news_seen.append(news)
        if news["changed"]:
            shown = ", ".join("{}={}".format(key, _value(news["settings"], key))
                              for key in news["changed"])
            print("tray: the file changed ({}): {}".format(news["outcome"], shown), flush=True)
        elif news["outcome"] != "read":
            print("tray: the file is {}: {}".format(news["outcome"], news["problem"]), flush=True)


def _value(settings, dotted):
    section, _, key = dotted.partition(".")
    return settings[section][key] if key else settings[section]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("config")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--interval-ms", type=int, default=200)
    parser.add_argument("--linger-s", type=float, default=1.0)
    parser.add_argument("--report")
    args = parser.parse_args()

    print("tray: tarvik_config {} on {}".format(tarvik_config.version(), args.config),
          flush=True)
    news_seen = []
    writes = 0
    failures = []
    stop = threading.Event()
    last_news_at = [time.monotonic()]
    with tarvik_config.Watcher(args.config) as watcher:
        thread = threading.Thread(target=watch, args=(watcher, news_seen, stop, last_news_at))
        thread.start()
        try:
            for _ in range(args.rounds):
                section, key = SLIDER
                try:
                    current = tarvik_config.load(args.config)[section][key]
                    tarvik_config.update(args.config, {section: {key: current + 1}})
                    writes += 1
                except tarvik_config.TarvikError as error:
                    # A real tray would show this and let the user try again.
                    failures.append(error.message)
                    print("tray: not saved: {}".format(error.message), flush=True)
                time.sleep(args.interval_ms / 1000.0)
            while time.monotonic() - last_news_at[0] < args.linger_s:
                time.sleep(0.05)
        finally:
            stop.set()
            thread.join()
    print("tray: {} writes, {} failed, {} news".format(writes, len(failures), len(news_seen)),
          flush=True)
    if args.report:
        with open(args.report, "w", encoding="utf-8") as report:
            json.dump({"writes": writes, "failures": failures,
                       "news": [{"sequence": n["sequence"], "outcome": n["outcome"],
                                 "changed": n["changed"], "settings": n["settings"]}
                                for n in news_seen]}, report)
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
