#!/usr/bin/env python3
"""A tray application in Python beside the driver: it takes the saves' lock as the README
describes (POSIX: the settings directory opened read-only, flock LOCK_EX, held across the read
and the write), reads the file, changes its one setting (audio.bufferSizeMs, 101, 102, ...),
writes a temporary file of its own, flushes it, renames it over the file and flushes the
directory, then lets the lock go. Every round it also checks that its last change is still in
the file (a lost change) before it makes the next.

    tray_scenario.py <settings file> <rounds>

Prints "tray lost=N rounds=N last=N".
"""
import fcntl
import json
import os
import random
import sys
import time


def main():
    path, rounds = sys.argv[1], int(sys.argv[2])
    directory = os.path.dirname(os.path.abspath(path))
    temporary = os.path.join(directory, "tray-%d.tmp" % os.getpid())
    lost = 0
    last = None
    for round_number in range(1, rounds + 1):
        lock = os.open(directory, os.O_RDONLY)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX)
            with open(path, encoding="utf-8") as file:
                document = json.load(file)
            audio = document.setdefault("audio", {})
            if last is not None and audio.get("bufferSizeMs") != last:
                lost += 1
            last = 100 + round_number
            audio["bufferSizeMs"] = last
            with open(temporary, "w", encoding="utf-8") as file:
                json.dump(document, file, indent=4)
                file.flush()
                os.fsync(file.fileno())
            os.replace(temporary, path)
            os.fsync(lock)
        finally:
            os.close(lock)  # closing lets the flock go
        time.sleep(random.uniform(0.12, 0.18))
    with open(path, encoding="utf-8") as file:
        if json.load(file)["audio"]["bufferSizeMs"] != last:
            lost += 1
    print("tray lost=%d rounds=%d last=%d" % (lost, rounds, last))


if __name__ == "__main__":
    main()
