#!/usr/bin/env python3
"""The Python binding's own promises, against the built library: it finds the library at a
given path and through the environment, turns every refusal into TarvikError with the
library's status and message (nothing written), writes None as null (the default), and a
Watcher closed by its with block refuses further use instead of touching freed memory.

    python_binding_test.py <libtarvik_config_c.so>
"""

import json
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "bindings", "python"))
import tarvik_config  # noqa: E402

LIBRARY = None


class BindingTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarvik_python_")
        self.path = os.path.join(self.dir, "config.json")
        self.lib = tarvik_config.Library(LIBRARY)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_library_found_through_the_environment(self):
        os.environ[tarvik_config.ENVIRONMENT_VARIABLE] = LIBRARY
        try:
            self.assertEqual(tarvik_config.Library().version(), "0.3.0")
        finally:
            del os.environ[tarvik_config.ENVIRONMENT_VARIABLE]

    def test_refusals_raise_with_status_and_message_and_write_nothing(self):
        cases = [
            ({"detection": {"fftsize": 1}}, tarvik_config.E_KEY, "did you mean detection.fftSize"),
            ({"detection": {"fftSize": "4096"}}, tarvik_config.E_VALUE, "detection.fftSize"),
            ({"detection": 3}, tarvik_config.E_VALUE, "a section takes an object"),
            ("[1]", tarvik_config.E_PATCH, "must be a JSON object"),
            (b"{\"steamvr\": {\"customActionBinding\": \"\xff\"}}", tarvik_config.E_PATCH,
             "not JSON"),
        ]
        for patch, status, part in cases:
            with self.subTest(patch=patch):
                with self.assertRaises(tarvik_config.TarvikError) as raised:
                    self.lib.update(self.path, patch)
                self.assertEqual(raised.exception.status, status)
                self.assertIn(part, raised.exception.message)
                self.assertFalse(os.path.exists(self.path))

    def test_update_returns_the_settings_and_none_is_the_default(self):
        settings = self.lib.update(self.path, {"audio": {"deviceId": "mic é"},
                                               "detection": {"sensitivity": 0.25}})
        self.assertEqual(settings["audio"]["deviceId"], "mic é")
        self.assertEqual(settings["detection"]["sensitivity"], 0.25)
        settings = self.lib.update(self.path, {"audio": {"deviceId": None}})
        self.assertIsNone(settings["audio"]["deviceId"])
        self.assertEqual(self.lib.load_with_outcome(self.path)[1], "read")
        with open(self.path, encoding="utf-8") as text:
            self.assertIsNone(json.load(text)["audio"]["deviceId"])

    def test_check_lists_findings(self):
        findings = self.lib.check('{"detection": {"fftSize": "big"}, "colour": 1}')
        self.assertEqual([f["kind"] for f in findings], ["skipped-value", "unknown-key"])
        self.assertEqual(self.lib.check(b"{}"), [])

    def test_watcher_reports_another_programs_change_and_closes(self):
        self.lib.update(self.path, {"version": 2})
        with self.lib.watch(self.path) as watcher:
            first = watcher.wait_and_take(timeout=5)
            self.assertTrue(first["initial"])
            self.assertEqual(first["settings"]["version"], 2)
            with open(self.path + ".other", "w", encoding="utf-8") as other:
                other.write('{"version": 3}')
            os.replace(self.path + ".other", self.path)
            news = watcher.wait_and_take(timeout=5)
            self.assertEqual(news["changed"], ["version"])
        with self.assertRaises(tarvik_config.TarvikError):
            watcher.take()
        watcher.close()  # a second close does nothing


if __name__ == "__main__":
    LIBRARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
