#!/usr/bin/env python3
"""Every kind of writer gives exactly one news per save, with its final content.

Runs `tarvik-config watch FILE` (the driver's watcher, one line per news) and changes
detection.sensitivity with one writer after another: the library's save from another process,
Python in place (at once, and in two writes 30 ms apart), Python's os.replace, sed -i, vim with
backupcopy yes and no, cp, mv, a shell redirect, and a delete followed by a new file. Each
writer waits for its own news before the next one starts; at the end the whole output must be
exactly one line per writer, "detection.sensitivity: OLD -> NEW": no half-written file reported
as unusable, no missing file during a rename-away save, no save reported twice or swallowed.

    writers_test.py TARVIK_CONFIG
"""
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

DEADLINE = 10.0  # seconds to wait for one news; a news that does not come fails the test


def with_sensitivity(text, value):
    changed, count = re.subn(r'("sensitivity":\s*)[-0-9.eE+]+', r"\g<1>" + value, text)
    if count != 1:
        raise RuntimeError("no sensitivity in the document")
    return changed


def main():
    tool = sys.argv[1]
    vim = shutil.which("vim") or shutil.which("vim.tiny")
    scratch = tempfile.mkdtemp(prefix="tarvik-writers-")
    settings = os.path.join(scratch, "settings")
    os.mkdir(settings)
    path = os.path.join(settings, "config.json")
    subprocess.run([tool, "set", path, "detection.sensitivity", "0.1"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    template = open(path).read()

    def document(value):
        return with_sensitivity(template, value)

    def python_in_place(value):
        with open(path, "w") as out:
            out.write(document(value))

    def python_in_two_writes(value):
        text = document(value)
        with open(path, "w") as out:
            out.write(text[: len(text) // 2])
            out.flush()
            time.sleep(0.03)  # the writer's own pace: half a file on disk meanwhile
            out.write(text[len(text) // 2:])

    def python_replace(value):
        temporary = path + ".part"
        with open(temporary, "w") as out:
            out.write(document(value))
        os.replace(temporary, path)

    def sed(value):
        subprocess.run(["sed", "-i", r's/"sensitivity": *[-0-9.eE+]*/"sensitivity": ' + value +
                        "/", path], check=True)

    def vim_writer(backupcopy):
        def write(value):
            subprocess.run([vim, "-u", "NONE", "-i", "NONE", "-N", "-es",
                            "-c", "set backupcopy=" + backupcopy,
                            "-c", r'%s/"sensitivity": *[-0-9.eE+]*/"sensitivity": ' + value + "/",
                            "-c", "wq", path], check=True, stdin=subprocess.DEVNULL)
        return write

    def elsewhere(value):
        other = os.path.join(scratch, "other.json")
        with open(other, "w") as out:
            out.write(document(value))
        return other

    def cp(value):
        subprocess.run(["cp", elsewhere(value), path], check=True)

    def mv(value):
        subprocess.run(["mv", elsewhere(value), path], check=True)

    def redirect(value):
        subprocess.run(["sh", "-c", 'printf "%s" "$1" > "$2"', "sh", document(value), path],
                       check=True)

    def delete_and_recreate(value):
        os.remove(path)
        with open(path, "w") as out:
            out.write(document(value))

    def library_save(value):
        subprocess.run([tool, "set", path, "detection.sensitivity", value], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    writers = [
        ("the library's save from another process", library_save),
        ("Python in place", python_in_place),
        ("Python in place, two writes 30 ms apart", python_in_two_writes),
        ("Python os.replace", python_replace),
        ("sed -i", sed),
        ("cp", cp),
        ("mv", mv),
        ("shell redirect", redirect),
        ("delete and recreate", delete_and_recreate),
    ]
    if vim:
        writers += [("vim, backupcopy=yes", vim_writer("yes")),
                    ("vim, backupcopy=no", vim_writer("no"))]
    else:
        print("note: no vim here; its two writers are left out")
    writers.append(("the library's save, last", library_save))

    keys = subprocess.run([tool, "keys"], check=True, capture_output=True, text=True)
    last_key = keys.stdout.split()[-3]  # the first news lists every key, this one last
    watch = subprocess.Popen([tool, "watch", path], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line.rstrip("\n")) for line in watch.stdout],
                     daemon=True).start()

    def next_line():
        try:
            return lines.get(timeout=DEADLINE)
        except queue.Empty:
            return None

    failures = []
    try:
        # The first news: the whole record, ending with the last key's line.
        while True:
            line = next_line()
            if line is None:
                raise RuntimeError("the watch printed no state")
            if line.startswith(last_key + ":"):
                break
        old = "0.1"
        for index, (name, write) in enumerate(writers):
            new = "%g" % round(0.11 + 0.01 * index, 2)  # as the watch shows it
            write(new)
            expected = "detection.sensitivity: %s -> %s" % (old, new)
            line = next_line()
            got = [line]
            while line is not None and line != expected:
                line = next_line()  # whatever came before the news is a fault
                got.append(line)
            if got != [expected]:
                failures.append("%s: expected only %r, got %r" % (name, expected, got))
            old = new
    finally:
        watch.terminate()
        watch.wait(timeout=DEADLINE)
        shutil.rmtree(scratch, ignore_errors=True)
    # Anything printed after the last news is a late, extra news.
    extra = []
    while not lines.empty():
        extra.append(lines.get())
    if extra:
        failures.append("after the last writer: %r" % extra)
    for failure in failures:
        print("FAIL: " + failure)
    print("%d writers, %d with exactly one news" % (len(writers), len(writers) - len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
