"""A monitor client against a live trovik run (tests/leastsq/host/): the
history delivered once and in order, the point and the status readable all
the time, and an option set from 127.0.0.1 that ends the run. Waits are
bounded, loops counted, traffic goes to 127.0.0.1 only."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "httpd", "scripts"))

from monitor_host import BOUND, Host, host_exe, request  # noqa: E402

EXE = host_exe()


class TrovikMonitor(unittest.TestCase):
    def test_a_client_follows_a_run_that_maxit_set_from_loopback_ends(self):
        host = Host(EXE, "maxit=100000", "tolObjAbs=-1", "tolObjRel=-1",
                    "tolGradAbs=-1", "tolGradRel=-1")
        try:
            records = request(host.port, "GET", "/history").json()
            host.send("go")
            deadline, answers = time.monotonic() + 10 * BOUND, []
            for _ in range(100000):
                if any("exit" in r for r in records) or time.monotonic() > deadline:
                    break
                update = request(host.port, "GET", "/history/update")
                records.extend(update.json() if update.status == 200 else [])
                x, status = (request(host.port, "GET", p) for p in ("/data/x", "/status"))
                self.assertEqual((x.status, len(x.json())), (200, 3))  # Bard's variables
                self.assertEqual([s["name"] for s in status.json()], ["error", "iter", "status"])
                if not answers and sum("tj" in r for r in records) >= 200:
                    answers.append(request(host.port, "PUT", "/option/maxit?value=3").status)
            host.expect(r"^final$")
            host.send("done")
            result = host.expect(r"^result (-?\d+) (\d+)$")
        finally:
            code, err = host.finish(), host.stderr()
        self.assertNotIn("ThreadSanitizer", err, err[-6000:])
        self.assertEqual(code, 0, err[-3000:])
        self.assertEqual(answers, [302])
        self.assertEqual(len(records), int(result.group(2)))  # each record once
        iterations = [int(r["it"]) for r in records if "tj" in r]
        self.assertEqual(iterations, list(range(len(iterations))))  # in order
        self.assertGreaterEqual(len(iterations), 200)
        self.assertLess(len(iterations), 1000)
        self.assertEqual((int(result.group(1)), records[-1]["code"], records[-1]["exit"]),
                         (1, "12", "maxit reached"))
        self.assertIn("nv", records[0])


if __name__ == "__main__":
    unittest.main()
