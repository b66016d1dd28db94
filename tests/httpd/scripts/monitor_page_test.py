"""The monitor page in headless chromium: the option rows and the history
rows that arrive by long poll while the page runs. Skips without chromium."""

import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

from monitor_host import BOUND, HostTest, host_exe

HostTest.exe = host_exe()
BROWSER = next((b for b in ("chromium", "chromium-browser") if shutil.which(b)), None)


class MonitorPage(HostTest):
    def test_page_shows_options_and_the_appended_history(self):
        host = self.run_host("--long-poll-ms", "1000")  # a pending poll holds virtual time
        for it in range(3):
            host.append(it=it, J=10.0 ** (2 - it))
        stop = threading.Event()
        appender = threading.Thread(target=lambda: [  # while the page loads: polls complete
            host.append(it=it, J=10.0 ** -it) for it in range(3, 23) if not stop.wait(0.15)])
        appender.start()
        with tempfile.TemporaryDirectory(prefix="zelk-chromium-") as profile:
            try:
                dom = subprocess.run(
                    [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--user-data-dir=" + profile, "--virtual-time-budget=3000", "--dump-dom",
                     "http://127.0.0.1:%d/index.html" % host.port],
                    capture_output=True, text=True, timeout=BOUND * 2).stdout
            finally:
                stop.set()
                appender.join(BOUND)
        option_rows = re.findall(r'<tr class="option-row" data-name="([A-Za-z0-9_]+)"', dom)
        self.assertEqual((len(option_rows), "maxit" in option_rows, "c1" in option_rows),
                         (97, True, False))
        self.assertEqual(len(re.findall(r'<tr class="status-row"', dom)), 3)
        self.assertEqual(re.findall(r'<tr class="data-row" data-name="(\w+)"', dom), ["x", "y"])
        history = [int(i) for i in re.findall(r'<tr class="history-row" data-index="(\d+)"', dom)]
        self.assertGreater(len(history), 3)  # the three there, and one or more by a poll
        self.assertEqual(history, list(range(len(history))))  # in order, none twice


if __name__ == "__main__":
    if BROWSER is None:
        print("no chromium: skipped")
        sys.exit(77)
    unittest.main()
