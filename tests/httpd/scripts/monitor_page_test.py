"""The monitor page in headless chromium: the option rows and the history
rows that arrive by long poll while the page runs, every record once while
another client follows the history too. Skips without chromium."""

import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

from monitor_host import BOUND, HostTest, host_exe, request

HostTest.exe = host_exe()
BROWSER = next((b for b in ("chromium", "chromium-browser") if shutil.which(b)), None)


class MonitorPage(HostTest):
    def test_page_shows_options_and_the_appended_history(self):
        host = self.run_host("--long-poll-ms", "1000")  # a pending poll holds virtual time
        for it in range(3):
            host.append(it=it, J=10.0 ** (2 - it))
        stop = threading.Event()

        page_loaded = threading.Event()

        def append_while_the_page_polls():
            host.await_stderr("HTTP header: GET /history HTTP")  # the page's first load
            page_loaded.set()
            for it in range(3, 23):
                if stop.wait(0.1):
                    break
                host.append(it=it, J=10.0 ** -it)

        # Clients that poll without a position of their own take the records
        # no client has had yet; the page must not lose them to them.
        def rival():
            page_loaded.wait(BOUND)
            while not stop.is_set():
                request(host.port, "GET", "/history/update", timeout=2)

        threads = [threading.Thread(target=append_while_the_page_polls)] + [
            threading.Thread(target=rival) for _ in range(3)]
        for thread in threads:
            thread.start()
        with tempfile.TemporaryDirectory(prefix="zelk-chromium-") as profile:
            try:
                dom = subprocess.run(
                    [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--user-data-dir=" + profile, "--virtual-time-budget=3000", "--dump-dom",
                     "http://127.0.0.1:%d/index.html" % host.port],
                    capture_output=True, text=True, timeout=BOUND * 2).stdout
            finally:
                stop.set()
                for thread in threads:
                    thread.join(BOUND)
        option_rows = re.findall(r'<tr class="option-row" data-name="([A-Za-z0-9_]+)"', dom)
        self.assertEqual((len(option_rows), "maxit" in option_rows, "c1" in option_rows),
                         (97, True, False))
        self.assertEqual(len(re.findall(r'<tr class="status-row"', dom)), 3)
        self.assertEqual(re.findall(r'<tr class="data-row" data-name="(\w+)"', dom), ["x", "y"])
        rows = re.findall(r'<tr class="history-row" data-index="(\d+)"><td class="num">\d+</td>'
                          r'<td class="num">(\d+)</td>', dom)
        self.assertGreater(len(rows), 3)  # the three there, and one or more by a poll
        # In order, none twice, none missing.
        self.assertEqual([(int(i), int(it)) for i, it in rows], [(i, i) for i in range(len(rows))])


if __name__ == "__main__":
    if BROWSER is None:
        print("no chromium: skipped")
        sys.exit(77)
    unittest.main()
