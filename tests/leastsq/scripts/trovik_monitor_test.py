"""A monitor client against a live trovik run (tests/leastsq/host/): the
history delivered once and in order, the point and the status readable all
the time, option values the running trovik cannot work with refused and
those it reads with a meaning (or not at all) stored, and an option set
from 127.0.0.1 that ends the run. Waits are bounded, loops counted, traffic
goes to 127.0.0.1 only."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "httpd", "scripts"))

from monitor_host import BOUND, Host, host_exe, request  # noqa: E402

EXE = host_exe()

# Values the running trovik cannot work with (default "lstype" 1, "wolcheck" 1,
# "alpha" 0): answered 400, not stored.
REFUSED = [("nsweeps", "5000"), ("nsweeps", "-1"), ("nsweeps", "1e9"), ("sdirs", "0"),
           ("sdirs", "0.5"), ("sdirs", "-0.5"), ("sdirs", "-128"), ("sdirs", "1e9"),
           ("c1", "nan"), ("c1", "inf"),
           ("lstype", "0"),  # with "lsmaxit" 1e9 stored, its refinements would run for hours
           ("c2", "nan")]  # with "wolcheck" 5 stored, no step would pass its curvature test

# Values it reads with a meaning, or does not read at all: stored. They are
# set after "maxit" 3, which ends the run at the end of the iteration going
# on, whatever they do to it.
STORED = [("alpha0", "0", 0), ("lsmaxit", "1e9", 1000000000), ("wolcheck", "5", 5),
          ("tolCheckGrad", "-1", -1), ("tolCheckFunc", "nan", "NaN"), ("objLimit", "inf", "Inf"),
          ("alphamin", "1e308", 1e308)]


class TrovikMonitor(unittest.TestCase):
    def test_a_client_follows_a_run_that_maxit_set_from_loopback_ends(self):
        host = Host(EXE, "maxit=100000", "tolObjAbs=-1", "tolObjRel=-1",
                    "tolGradAbs=-1", "tolGradRel=-1")

        def values(names):
            return [request(host.port, "GET", "/option/" + n).json()["value"] for n in names]
        refused_names = [n for n, _ in REFUSED]

        def put(name, value):
            answer = request(host.port, "PUT", "/option/%s?value=%s" % (name, value))
            return answer.status, answer.json()["error"] if answer.status != 302 else ""
        try:
            before = values(refused_names)
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
                    answers.append(put("maxit", 3)[0])
                    stored = [put(name, value) for name, value, _ in STORED]
                    refusals = [put(name, value) for name, value in REFUSED]
                    # Fixed steps backwards, searching nothing: stored last.
                    stored.append(put("alpha", "-0.5"))
            host.expect(r"^final$")
            after = values(refused_names)
            kept = values([n for n, _, _ in STORED])
            host.send("done")
            result = host.expect(r"^result (-?\d+) (\d+)$")
        finally:
            code, err = host.finish(), host.stderr()
        self.assertNotIn("ThreadSanitizer", err, err[-6000:])
        self.assertEqual(code, 0, err[-3000:])
        self.assertEqual(answers, [302])
        self.assertEqual([(status, error.split(" = ")[0]) for status, error in refusals],
                         [(400, 'option "%s"' % name) for name, _ in REFUSED])
        self.assertEqual(after, before)
        self.assertEqual(stored, [(302, "")] * (len(STORED) + 1))
        self.assertEqual(kept, [v for _, _, v in STORED])
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
