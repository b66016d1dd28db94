"""A monitor client against a live trovik run: the history delivered once
and in order while the run goes on, the point and the status readable all
the time, and an option set from 127.0.0.1 that ends the run.

The host (tests/leastsq/host/trovik_monitor_host.cpp) holds at its start
and final records until the client says so, so that the client sees the
whole run. Every wait is bounded and every loop counted; traffic goes to
127.0.0.1 only.
"""

import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "httpd", "scripts"))

from monitor_host import BOUND, Host, host_exe, request  # noqa: E402

EXE = host_exe()
NO_TOLERANCES = ["tolObjAbs=-1", "tolObjRel=-1", "tolGradAbs=-1", "tolGradRel=-1"]
N = 3  # Bard's variables


class Reader(threading.Thread):
    """Reads /data/x and /status over and over while the run goes on."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.done = threading.Event()
        self.failures = []
        self.reads = 0

    def run(self):
        while not self.done.is_set() and self.reads < 20000:
            try:
                x = request(self.port, "GET", "/data/x")
                status = request(self.port, "GET", "/status")
            except OSError:
                break  # the run ended and took the monitor with it
            self.reads += 1
            if x.status != 200 or len(x.json()) != N:
                self.failures.append(("x", x.status, x.body[:200]))
            names = [s["name"] for s in status.json()] if status.status == 200 else None
            if names != ["error", "iter", "status"]:
                self.failures.append(("status", status.status, names))


class TrovikMonitor(unittest.TestCase):
    def follow(self, host, on_records=None):
        """Every record as the client receives it (/history, then
        /history/update up to the final record), the run's return value and
        the number of records the host saw."""
        reader = Reader(host.port)
        records = request(host.port, "GET", "/history").json()
        host.send("go")
        reader.start()
        deadline = time.monotonic() + 10 * BOUND
        polls = 0
        while not any("exit" in r for r in records):
            self.assertLess(time.monotonic(), deadline, "the run did not end in time")
            polls += 1
            self.assertLess(polls, 100000)
            answer = request(host.port, "GET", "/history/update")
            if answer.status == 200:
                records.extend(answer.json())
            if on_records:
                on_records(records)
        reader.done.set()
        host.expect(r"^final$")
        host.send("done")
        result = host.expect(r"^result (-?\d+) (\d+)$")
        reader.join(BOUND)
        self.assertEqual(reader.failures, [])
        self.assertGreater(reader.reads, 0)
        return records, int(result.group(1)), int(result.group(2))

    def finish(self, host):
        code = host.finish()
        err = host.stderr()
        self.assertNotIn("ThreadSanitizer", err, err[-6000:])
        self.assertEqual(code, 0, err[-3000:])

    def test_a_client_follows_a_run_of_200_iterations(self):
        host = Host(EXE, "maxit=199", *NO_TOLERANCES)
        try:
            records, status, seen = self.follow(host)
        finally:
            self.finish(host)
        self.assertEqual(len(records), seen)  # each record once
        iterations = [int(r["it"]) for r in records if "tj" in r]
        self.assertEqual(iterations, list(range(200)))  # in order
        self.assertEqual((status, records[-1]["code"], records[-1]["exit"]),
                         (1, "12", "maxit reached"))
        self.assertIn("nv", records[0])

    def test_maxit_set_from_loopback_ends_the_run(self):
        host = Host(EXE, "maxit=100000", "--sleep-ms", "5", *NO_TOLERANCES)
        answers = []

        def set_maxit_once(records):
            if not answers and sum("tj" in r for r in records) >= 5:
                answers.append(request(host.port, "PUT", "/option/maxit?value=3"))

        try:
            records, status, _ = self.follow(host, set_maxit_once)
        finally:
            self.finish(host)
        self.assertEqual([a.status for a in answers], [302])
        self.assertEqual((status, records[-1]["code"], records[-1]["exit"]),
                         (1, "12", "maxit reached"))
        self.assertLess(int(records[-1]["it"]), 1000)


if __name__ == "__main__":
    unittest.main()
