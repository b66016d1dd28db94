"""The history routes and their long poll, against records the host appends;
quitting, waiting and stopping the monitor; a host with its traps armed; and
a full connection table."""

import contextlib
import socket
import time
import unittest

from monitor_host import BOUND, PORT_LINE, HostTest, background, host_exe, wait_until

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

    def test_an_update_returns_only_the_new_record_and_pollers_share_delivered(self):
        self.assertEqual(self.host.get("/history").body, b"[\n]\n")
        self.host.append(it=0, J=2.5)
        self.assertEqual(self.host.get("/history").json(), [{"it": "0", "J": "2.5"}])
        polls = [self.host.held("/history/update") for _ in range(2)]
        self.host.append(it=1, J='a"b\\c')
        first = self.answered_once(polls).result(BOUND)
        self.assertEqual((first.status, first.json()), (200, [{"it": "1", "J": 'a"b\\c'}]))
        self.host.append(it=2)
        self.assertEqual([p.result(BOUND).json() for p in polls].count([{"it": "2"}]), 1)
        self.assertEqual(len(self.host.get("/history/").json()), 3)

    def test_polls_hold_no_worker_and_are_woken(self):
        polls = [self.host.held("/history/update") for _ in range(12)]  # more than the workers
        answer = self.host.get("/status")
        self.assertEqual((answer.status, len(answer.json())), (200, 3))
        self.assertFalse(any(p.done() for p in polls))
        self.host.append(it=0)
        first = self.answered_once(polls)
        self.assertEqual(first.result(BOUND).json(), [{"it": "0"}])
        self.host.command("!stop", r"^stopped 0$")  # ends the other polls with 408
        others = [timed_out(p.result(BOUND)) for p in polls if p is not first]
        self.assertEqual(others, [TIMEOUT_408] * 11)

    def test_a_poll_with_nothing_new_ends_with_408_and_the_next_gets_what_comes(self):
        host = self.run_host("--long-poll-ms", "300")
        self.assertEqual(timed_out(host.get("/history/update")), TIMEOUT_408)
        poll = background(host.port, "GET", "/history/update")  # before or after the append
        host.append(it=7)
        self.assertEqual(poll.result(BOUND).json(), [{"it": "7"}])



class MonitorLifecycle(HostTest):
    def test_quits_and_stops(self):
        host = self.run_host()

        def quit(text):
            return host.request("POST", "/server-quit/" + text).json()

        # A stop cancels a pending delayed quit and ends a waiting delay.
        quit("999999")
        delay = host.held("/delay/600000")
        host.command("!stop", r"^stopped 0$")
        self.assertEqual(delay.result(BOUND).json(), {"dur": 600000})
        # Of several delayed quits the earliest ends the listener, and the wait
        # (a later one that postponed it would outlast the wait's bound).
        for delays in [("000999999", "200", "600000"), ("0",)]:
            host.port = int(host.command("!start", PORT_LINE).group(1))
            started = time.monotonic()
            for text in delays:
                self.assertEqual(quit(text), {"quit-in": int(text)})
            host.command("!wait", r"^waited 0$")
            self.assertGreaterEqual(time.monotonic() - started, min(map(int, delays)) / 1000)
            host.command("!stop", r"^stopped 0$")

    def test_exit_with_the_server_running_stops_it_first(self):
        host = self.run_host()
        poll = host.held("/history/update")
        host.send("!exit")
        self.assertEqual(poll.result(BOUND).status, 408)
        host.await_stderr("Closing listen socket")

    def test_traps_of_the_host_never_reach_the_monitor(self):
        host = self.run_host("--traps")
        self.assertEqual(host.request("PUT", "/option/maxrt?value=1e999").status, 302)
        self.assertEqual(host.get("/option/maxrt").json()["value"], "Inf")
        self.assertEqual(host.request("PUT", "/option/maxit?value=-1e999").status, 302)
        with socket.create_connection(("127.0.0.1", host.port), timeout=BOUND) as s:
            s.sendall(b"GET /delay/99999999999 HTTP/1.1\r\n\r\n")
            host.await_stderr("HTTP header: GET /delay/99999999999")
        host.await_stderr("Remote closed the connection")  # the delay ends unanswered
        self.assertEqual(host.get("/status").status, 200)

    def test_a_full_table_sheds_idle_peers_and_service_goes_on(self):
        host = self.run_host("--first-byte-ms", str(int(BOUND * 1000)))  # idle peers hold on
        with contextlib.ExitStack() as idle:
            peers = [idle.enter_context(socket.create_connection(("127.0.0.1", host.port), BOUND))
                     for _ in range(130)]
            host.await_stderr("Accept connection on", 130)
            host.await_stderr(": the table is full", 30)  # the oldest 30 made room
            answer = host.get("/status")
            self.assertEqual((answer.status, len(answer.json())), (200, 3))
            shed = peers[0].recv(4096)
            self.assertTrue(shed.startswith(b"HTTP/1.1 408 Request Timeout\r\n"), shed)
        wait_until(lambda: host.count_in_stderr(" completed") >= 131, what="every request reaped")

if __name__ == "__main__":
    unittest.main()
