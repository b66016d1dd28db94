"""The history routes and their long poll, against records the host appends."""

import time
import unittest

from monitor_host import BOUND, HostTest, background, host_exe, wait_until

HostTest.exe = host_exe()
TIMEOUT_408 = (408, "Request Timeout", "close", {"error": "Request Timeout"})


def timed_out(answer):
    return (answer.status, answer.reason, answer.headers.get("connection"), answer.json())


class MonitorHistory(HostTest):
    def setUp(self):
        self.host = self.run_host("--long-poll-ms", str(int(BOUND * 1000)))

    def answered_once(self, polls):
        """The one poll answered; a second answer would show within 0.2 s."""
        wait_until(lambda: any(p.done() for p in polls), what="one poll answered")
        time.sleep(0.2)
        self.assertEqual(sum(p.done() for p in polls), 1)
        return next(p for p in polls if p.done())

    def test_empty_history_and_an_update_with_only_the_new_record(self):
        self.assertEqual(self.host.get("/history").body, b"[\n]\n")
        self.host.append(it=0, J=2.5)
        self.assertEqual(self.host.get("/history").json(), [{"it": "0", "J": "2.5"}])
        poll = self.host.held("/history/update")
        self.host.append(it=1, J='a"b\\c')
        answer = poll.result(BOUND)
        self.assertEqual((answer.status, answer.json()), (200, [{"it": "1", "J": 'a"b\\c'}]))
        self.assertEqual(len(self.host.get("/history/").json()), 2)

    def test_two_pollers_share_what_was_delivered(self):
        polls = [self.host.held("/history/update") for _ in range(2)]
        self.host.append(it=0)
        first = self.answered_once(polls)
        self.assertEqual(first.result(BOUND).json(), [{"it": "0"}])
        self.host.append(it=1)
        self.assertEqual(polls[polls[0] is first].result(BOUND).json(), [{"it": "1"}])

    def test_queued_request_waits_for_a_worker_while_polls_are_woken(self):
        polls = [self.host.held("/history/update") for _ in range(5)]
        status = background(self.host.port, "GET", "/status")
        time.sleep(0.3)
        self.assertFalse(status.done())  # every worker holds a poll
        self.host.append(it=0)
        answer = status.result(BOUND)
        self.assertEqual((answer.status, len(answer.json())), (200, 3))
        first = self.answered_once(polls)
        # Stopping the server ends the other polls with 408.
        self.host.command("!stop", r"^stopped 0$")
        others = [timed_out(p.result(BOUND)) for p in polls if p is not first]
        self.assertEqual(others, [TIMEOUT_408] * 4)

    def test_a_poll_with_nothing_new_ends_with_408_and_the_next_gets_what_comes(self):
        host = self.run_host("--long-poll-ms", "300")
        self.assertEqual(timed_out(host.get("/history/update")), TIMEOUT_408)
        poll = background(host.port, "GET", "/history/update")  # before or after the append
        host.append(it=7)
        self.assertEqual(poll.result(BOUND).json(), [{"it": "7"}])


if __name__ == "__main__":
    unittest.main()
