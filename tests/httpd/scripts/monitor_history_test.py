"""The history routes and their long poll, against records the host appends."""

import time
import unittest

from monitor_host import BOUND, Background, Host, host_exe, raw, request, wait_until

EXE = host_exe()
POLL_HEADER = "HTTP header: GET /history/update"


class MonitorHistory(unittest.TestCase):
    def setUp(self):
        self.host = Host(EXE, "--long-poll-ms", str(int(BOUND * 1000)))
        self.port = self.host.port

    def tearDown(self):
        self.assertEqual(self.host.finish(), 0, self.host.stderr()[-3000:])

    def poll(self):
        return Background(self.port, "GET", "/history/update")

    def polls_waiting(self, count):
        # A poll waits once its worker has parsed it.
        self.host.await_stderr(POLL_HEADER, count)

    def test_empty_history_and_an_update_with_only_the_new_record(self):
        self.assertTrue(raw(self.port, b"GET /history HTTP/1.1\r\n\r\n").endswith(b"\r\n\r\n[\n]\n"))
        self.host.append(it=0, J=2.5)
        self.assertEqual(request(self.port, "GET", "/history").json(), [{"it": "0", "J": "2.5"}])
        poll = self.poll()
        self.polls_waiting(1)
        time.sleep(0.2)
        self.assertFalse(poll.done())
        self.host.append(it=1, J='a"b\\c')
        answer = poll.result()
        self.assertEqual((answer.status, answer.json()), (200, [{"it": "1", "J": 'a"b\\c'}]))
        self.assertEqual(len(request(self.port, "GET", "/history/").json()), 2)

    def test_two_pollers_share_what_was_delivered(self):
        polls = [self.poll(), self.poll()]
        self.polls_waiting(2)
        self.host.append(it=0)
        wait_until(lambda: any(p.done() for p in polls), what="one poll answered")
        time.sleep(0.2)
        self.assertEqual(sum(p.done() for p in polls), 1)
        first = next(p for p in polls if p.done())
        self.assertEqual(first.result().json(), [{"it": "0"}])
        self.host.append(it=1)
        second = next(p for p in polls if p is not first)
        self.assertEqual(second.result().json(), [{"it": "1"}])

    def test_queued_request_waits_for_a_worker_while_polls_are_woken(self):
        polls = [self.poll() for _ in range(5)]
        self.polls_waiting(5)
        status = Background(self.port, "GET", "/status")
        time.sleep(0.3)
        self.assertFalse(status.done())  # every worker holds a poll
        self.host.append(it=0)
        answer = status.result()
        self.assertEqual((answer.status, len(answer.json())), (200, 3))
        # The completed poll was answered before its worker took /status, but
        # its client thread may read the answer a moment later.
        wait_until(lambda: any(p.done() for p in polls), what="one poll answered")
        time.sleep(0.2)
        self.assertEqual(sum(p.done() for p in polls), 1)
        # Stopping the server ends the other polls with 408.
        self.host.send("!stop")
        self.host.expect(r"^stopped 0$")
        for p in polls:
            answer = p.result()
            if answer.status != 200:
                self.assertEqual((answer.status, answer.reason, answer.headers.get("connection")),
                                 (408, "Request Timeout", "close"))
                self.assertEqual(answer.json(), {"error": "Request Timeout"})
        self.assertEqual(sum(p.result().status == 408 for p in polls), 4)


class MonitorPollTimeout(unittest.TestCase):
    def test_a_poll_with_nothing_new_ends_with_408(self):
        host = Host(EXE, "--long-poll-ms", "300")
        try:
            answer = request(host.port, "GET", "/history/update")
            self.assertEqual((answer.status, answer.headers.get("connection"), answer.json()),
                             (408, "close", {"error": "Request Timeout"}))
            # A poll after the time-out still gets what comes next.
            poll = Background(host.port, "GET", "/history/update")
            host.append(it=7)
            self.assertEqual(poll.result().json(), [{"it": "7"}])
        finally:
            self.assertEqual(host.finish(), 0, host.stderr()[-3000:])


if __name__ == "__main__":
    unittest.main()
