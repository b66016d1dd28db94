"""Quitting, waiting and stopping the monitor; a host with its traps armed;
and a full connection table."""

import socket
import time
import unittest

from monitor_host import BOUND, PORT_LINE, HostTest, host_exe, wait_until

HostTest.exe = host_exe()


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
        # The peer went away: the delay ends without an answer.
        host.await_stderr("Remote closed the connection")
        self.assertEqual(host.get("/status").status, 200)

    def test_a_full_table_warns_and_service_resumes(self):
        # Idle peers hold their workers until they go away.
        host = self.run_host("--first-byte-ms", str(int(BOUND * 1000)))
        idle = []
        try:
            # One at a time, so that none waits in the kernel's short backlog.
            for n in range(1, 102):
                idle.append(socket.create_connection(("127.0.0.1", host.port), timeout=BOUND))
                host.await_stderr("Accept connection on", min(n, 100))
            host.await_stderr("WARNING: max connection processing capacity reached: 100")
            self.assertEqual(host.count_in_stderr("Accept connection on"), 100)
        finally:
            for s in idle:
                s.close()
        answer = host.get("/status")
        self.assertEqual((answer.status, len(answer.json())), (200, 3))
        wait_until(lambda: host.count_in_stderr(" completed") >= 102, what="every request reaped")


if __name__ == "__main__":
    unittest.main()
