#!/usr/bin/python3
"""A busy counter, short form: 200 payments at 20 a second (scripts/bench runs 2,000)."""
import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from load import run_load  # noqa: E402


class BusyCounter(unittest.TestCase):
    def test_every_payment_is_listed_once_with_exact_totals_and_the_window_answers(self):
        figures = run_load(int(os.environ.get("KASSARO_LOAD_PAYMENTS", "200")))
        print("load:", figures, file=sys.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
