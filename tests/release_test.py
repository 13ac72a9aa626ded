#!/usr/bin/python3
"""scripts/release stops, before it sets up or builds anything, when the counters' speech would go to
Baidu's own hosts with the placeholder credentials that no account holds."""
import os
import subprocess
import unittest
from pathlib import Path

TOP = Path(__file__).resolve().parents[1]


def release(**env):
    clean = {k: v for k, v in os.environ.items() if not k.startswith("KASSARO_")}
    return subprocess.run([str(TOP / "scripts" / "release")], env={**clean, **env}, capture_output=True, text=True,
                          timeout=60)


class Release(unittest.TestCase):
    def test_placeholders_aimed_at_baidu_stop(self):
        for env in ({}, {"KASSARO_SERVER_URL": "wss://hub.example.cn:9443", "KASSARO_TOKEN_HOST": "aip.baidubce.com"},
                    {"KASSARO_SPEECH_API_KEY": "mine", "KASSARO_SPEECH_HOST": "tsn.baidu.com"}):
            done = release(**env)
            self.assertEqual(done.returncode, 2, env)
            self.assertIn("placeholder", done.stderr)
            self.assertIn("every payment would be silent", done.stderr)
            self.assertNotIn("==", done.stdout)  # no preset was configured


if __name__ == "__main__":
    unittest.main()
