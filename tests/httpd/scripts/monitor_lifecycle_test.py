"""Quitting, waiting and stopping the monitor; a host with its traps armed;
and a full connection table."""

import socket
import time
import unittest

from monitor_host import BOUND, Background, Host, host_exe, request, wait_until

EXE = host_exe()


class MonitorLifecycle(unittest.TestCase):
    def run_host(self, *args):
        host = Host(EXE, *args)
        self.addCleanup(lambda: self.assertEqual(host.finish(), 0, host.stderr()[-3000:]))
        return host

    def test_server_quit_now_ends_the_wait(self):
        host = self.run_host()
        answer = request(host.port, "POST", "/server-quit/0")
        self.assertEqual((answer.status, answer.json()), (200, {"quit-in": 0}))
        host.send("!wait")
        host.expect(r"^waited 0$")
        host.await_stderr("Server thread exited")
        host.send("!stop")
        host.expect(r"^stopped 0$")

    def test_delayed_quit_earliest_deadline_wins(self):
        host = self.run_host()
        late = request(host.port, "POST", "/server-quit/000999999")
        self.assertEqual(late.json(), {"quit-in": 999999})
        started = time.monotonic()
        self.assertEqual(request(host.port, "POST", "/server-quit/200").json(), {"quit-in": 200})
        self.assertEqual(request(host.port, "POST", "/server-quit/5000").json(), {"quit-in": 5000})
        host.send("!wait")
        host.expect(r"^waited 0$")
        self.assertGreaterEqual(time.monotonic() - started, 0.2)

    def test_stop_with_a_delayed_quit_pending_and_a_restart(self):
        host = self.run_host()
        request(host.port, "POST", "/server-quit/999999")
        delay = Background(host.port, "GET", "/delay/600000")
        host.await_stderr("HTTP header: GET /delay/600000")
        host.send("!stop")
        host.expect(r"^stopped 0$")
        self.assertEqual(delay.result().json(), {"dur": 600000})
        host.send("!start")
        port = int(host.expect(r"Accept connections on socket port (\d+)").group(1))
        host.expect(r"^started$")
        self.assertEqual(request(port, "GET", "/status").status, 200)

    def test_exit_with_the_server_running_stops_it_first(self):
        host = self.run_host()
        poll = Background(host.port, "GET", "/history/update")
        host.await_stderr("HTTP header: GET /history/update")
        host.send("!exit")
        self.assertEqual(poll.result().status, 408)
        host.await_stderr("Closing listen socket")

    def test_traps_of_the_host_never_reach_the_monitor(self):
        host = self.run_host("--traps")
        self.assertEqual(request(host.port, "PUT", "/option/maxrt?value=1e999").status, 302)
        self.assertEqual(request(host.port, "GET", "/option/maxrt").json()["value"], "Inf")
        self.assertEqual(request(host.port, "PUT", "/option/maxit?value=-1e999").status, 302)
        with socket.create_connection(("127.0.0.1", host.port), timeout=BOUND) as s:
            s.sendall(b"GET /delay/99999999999 HTTP/1.1\r\n\r\n")
            host.await_stderr("HTTP header: GET /delay/99999999999")
        # The peer went away: the delay ends without an answer.
        host.await_stderr("Remote closed the connection")
        self.assertTrue(host.alive())
        self.assertEqual(request(host.port, "GET", "/status").status, 200)

    def test_a_full_table_warns_and_service_resumes(self):
        # Idle peers hold their workers until they go away.
        host = self.run_host("--first-byte-ms", str(int(BOUND * 1000)))
        idle = []
        try:
            # One at a time, so that none waits in the kernel's short backlog.
            for n in range(1, 101):
                idle.append(socket.create_connection(("127.0.0.1", host.port), timeout=BOUND))
                host.await_stderr("Accept connection on", n)
            idle.append(socket.create_connection(("127.0.0.1", host.port), timeout=BOUND))
            host.await_stderr("WARNING: max connection processing capacity reached: 100")
            self.assertEqual(host.count_in_stderr("Accept connection on"), 100)
        finally:
            for s in idle:
                s.close()
        answer = request(host.port, "GET", "/status")
        self.assertEqual((answer.status, len(answer.json())), (200, 3))
        wait_until(lambda: host.count_in_stderr(" completed") >= 102, what="every request reaped")


if __name__ == "__main__":
    unittest.main()
