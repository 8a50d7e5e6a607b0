#!/usr/bin/env python3
"""A program that cannot load the library and follows docs/protocol.md (POSIX) alone: each
round, under flock on the directory, it reads config.json, adds 1 to
detection.minDurationMs, keeps every other member, and swaps in a temporary file of its own
with fsync of the file and of the directory. Run by tray_vs_driver.py against the C++ driver,
it hunts a protocol document that leaves out a step without which changes are lost.

    protocol_peer.py CONFIG --rounds N --interval-ms MS --linger-s S --report FILE
"""

import argparse
import errno
import fcntl
import json
import os
import sys
import time

LOCK_WAIT_S = 2.0


class Busy(Exception):
    pass


def lock_directory(directory):
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    deadline = time.monotonic() + LOCK_WAIT_S
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return fd
        except OSError as error:
            if error.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                os.close(fd)
                raise
        if time.monotonic() > deadline:
            os.close(fd)
            raise Busy("another program holds the lock")
        time.sleep(0.002)


def change_once(path):
    directory = os.path.dirname(os.path.abspath(path))
    fd = lock_directory(directory)
    try:
        try:
            with open(path, "rb") as current:
                document = json.loads(current.read().decode("utf-8"))
        except FileNotFoundError:
            document = {}
        if not isinstance(document, dict):
            raise ValueError("not a usable document: left as it is")
        detection = document.setdefault("detection", {})
        if not isinstance(detection, dict):
            raise ValueError("detection is not an object: left as it is")
        value = detection.get("minDurationMs")
        detection["minDurationMs"] = (value if isinstance(value, int) else 300) + 1
        text = json.dumps(document, indent=4, sort_keys=True, ensure_ascii=False)
        temporary = os.path.join(directory, ".config.json.protocol-peer.{}.tmp".format(
            os.getpid()))
        out = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        try:
            os.write(out, text.encode("utf-8"))
            os.fsync(out)
        finally:
            os.close(out)
        try:
            os.rename(temporary, path)
        except OSError:
            os.unlink(temporary)
            raise
        os.fsync(fd)
    finally:
        os.close(fd)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("config")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--interval-ms", type=int, default=50)
    parser.add_argument("--linger-s", type=float, default=0)
    parser.add_argument("--report", required=True)
    args = parser.parse_args()
    writes = 0
    failures = []
    for _ in range(args.rounds):
        try:
            change_once(args.config)
            writes += 1
        except (Busy, OSError, ValueError) as error:
            failures.append(str(error))
        time.sleep(args.interval_ms / 1000.0)
    with open(args.report, "w", encoding="utf-8") as report:
        json.dump({"writes": writes, "failures": failures, "news": [], "watching": False},
                  report)
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
