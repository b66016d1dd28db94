"""The monitor page in headless chromium follows real trovik runs on one
port (tests/leastsq/host/): each run appends its final record and stops the
monitor at once, and the page shows every record of it, the final one's
"exit" text among them, and keeps each run it followed listed with how it
ended. Nothing here depends on how fast the machine is: each step waits
(bounded) for what the page or the host shows. Skips without chromium.
Traffic goes to 127.0.0.1 only."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "httpd", "scripts"))

from monitor_host import BROWSER, Browser, Host, host_exe  # noqa: E402

EXE = host_exe()
UNTIL_MAXIT = ["tolObjAbs=-1", "tolObjRel=-1", "tolGradAbs=-1", "tolGradRel=-1"]
RUN_ROW = re.compile(r'<tr class="run-row" data-state="(\w+)"[^>]*>(.*?)</tr>')
HISTORY_ROW = re.compile(r'<tr class="history-row" data-index="\d+">(.*?)</tr>')


def cells(row):
    return re.findall(r"<td[^>]*>([^<]*)</td>", row)


def shown(html):
    """What the page shows of the runs it follows."""
    conn = re.search(r'<span id="conn"[^>]*>([^<]*)<', html)
    error = re.search(r'<p id="panel-error"[^>]*>([^<]*)<', html)
    history = HISTORY_ROW.findall(html)
    return "connection: %s; panels: %s; runs: %s; %d history rows, the last: %s" % (
        conn and conn.group(1), error and error.group(1),
        [(state, cells(row)) for state, row in RUN_ROW.findall(html)], len(history),
        history and cells(history[-1]))


class TrovikPage(unittest.TestCase):
    def test_the_page_shows_how_every_run_it_followed_ended(self):
        host = Host(EXE, "--no-final-hold", "maxit=40", *UNTIL_MAXIT)
        browser = None
        try:
            for run, maxit in enumerate([40, 3]):
                # The page's first poll of a run asks for the records after
                # its start record.
                polls = host.count_in_stderr("CGI param: last=0")
                if run:
                    host.send("again %d maxit=%d %s" % (host.port, maxit, " ".join(UNTIL_MAXIT)))
                    host.expect(r"^started$")
                else:
                    browser = Browser("http://127.0.0.1:%d/index.html" % host.port)
                # The page has the run's start record, and its poll for more
                # waits at the monitor.
                browser.await_dom(lambda html: len(RUN_ROW.findall(html)) == run + 1,
                                  what="run %d listed" % run, shown=shown)
                host.await_stderr("CGI param: last=0", polls + 1)
                host.send("go")
                records = int(host.expect(r"^result 1 (\d+)$").group(1))
                html = browser.await_dom(
                    lambda html: [s for s, _ in RUN_ROW.findall(html)] == ["ended"] * (run + 1),
                    what="run %d ended" % run, shown=shown)
                history = HISTORY_ROW.findall(html)
                self.assertEqual((len(history), "exit=maxit reached" in history[-1]),
                                 (records, True), history[-1])
            self.assertEqual([cells(row)[2:] for _, row in RUN_ROW.findall(html)],
                             [["40", "maxit reached (code 12, status 1)"],
                              ["3", "maxit reached (code 12, status 1)"]])
        finally:
            if browser:
                browser.close()
            code, err = host.finish(), host.stderr()
        self.assertEqual(code, 0, err[-3000:])
        self.assertNotIn("ThreadSanitizer", err, err[-6000:])


if __name__ == "__main__":
    if BROWSER is None:
        print("no chromium: skipped")
        sys.exit(77)
    unittest.main()
