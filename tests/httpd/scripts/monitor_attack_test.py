"""The monitor under hostile and heavy clients on 127.0.0.1. Each attack is
answered within its bound, and the figure it used to blow up is measured:
log lines and bytes, memory, the time a stop takes, the share of requests
served while slow clients hold connections or read slowly, what two
followers of the history receive up to a stop, and how long a fit waits for
its lock while readers fetch the history. The attacks are scaled down from
the ones that were measured, with the same shape."""

import contextlib
import os
import select
import socket
import tempfile
import threading
import time
import unittest

from monitor_host import (BOUND, PORT_LINE, HostTest, RawAnswer, host_exe, raw, read_to_end,
                          request, wait_until)

HostTest.exe = host_exe()
FORM = b"Content-Type: application/x-www-form-urlencoded\r\n"
MIB = 1 << 20


def post(path, body, extra=FORM, host=b"127.0.0.1"):
    return (b"POST " + path + b" HTTP/1.1\r\nHost: " + host + b"\r\n" + extra +
            b"Content-Length: %d\r\n\r\n" % len(body) + body)


def opened(port, data=b"", bound=BOUND):
    s = socket.create_connection(("127.0.0.1", port), timeout=bound)
    if data:
        s.sendall(data)
    return s


def answer_of(sock, bound=BOUND):
    return RawAnswer(read_to_end(sock, bound))


def big_file_root(size):
    """A document root holding big.txt of size bytes."""
    root = tempfile.TemporaryDirectory(prefix="zelk-root-")
    with open(os.path.join(root.name, "big.txt"), "wb") as f:
        f.truncate(size)
    return root


def stalled_readers(port, count):
    """Connections that ask for big.txt and read nothing: each holds a
    worker in its send."""
    readers = []
    for _ in range(count):
        s = opened(port, b"GET /get/big.txt HTTP/1.1\r\n\r\n")
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        readers.append(s)
    return readers


class Trickle(threading.Thread):
    """A client that sends data a few bytes at a time until told to stop."""

    def __init__(self, port, head, step=1, pause=0.1):
        super().__init__(daemon=True)
        self.sock = opened(port, head)
        self.step, self.pause, self.stop = step, pause, threading.Event()
        self.start()

    def run(self):
        with contextlib.suppress(OSError):
            while not self.stop.wait(self.pause):
                self.sock.sendall(b"x" * self.step)


class Attacks(HostTest):
    def logged_by(self, host, send):
        """(answer, seconds, log lines, log bytes) of one request."""
        mark, answered = host.log_mark(), host.count_in_stderr("Response: pr=")
        started = time.monotonic()
        answer = send()
        elapsed = time.monotonic() - started
        host.await_stderr("Response: pr=", answered + 1)
        time.sleep(0.3)  # the request's last lines
        lines = host.log_since(mark)
        return answer, elapsed, len(lines), sum(len(line) + 1 for line in lines)

    def test_form_bodies_cost_bounded_work_and_log(self):
        host = self.run_host()
        amps = b"&" * (4 * MIB)
        cases = [  # request, status
            (post(b"/x", amps), 404),  # no route takes it: never parsed
            (post(b"/set-option", amps, host=b"rebound.example"), 421),  # before any parse
            (post(b"/set-option", amps), 404),  # parsed: four million empty pairs, no name
            (post(b"/set-option", b"name=maxit&value=" + b"%" * MIB), 501),  # bad escapes
            # The value lies past the pairs a form may have: it is never looked at.
            (post(b"/set-option", b"name=maxit&" + b"v=1&" * (MIB // 4) + b"value=7"), 501),
            (post(b"/set-option", b"name=maxit&" + b"v=1&" * 900 + b"value=7"), 302),
        ]
        for request, status in cases:
            answer, seconds, lines, size = self.logged_by(host, lambda: raw(host.port, request))
            print("%s: %d in %.2f s, %d log lines, %d log bytes"
                  % (request[:24], answer.status, seconds, lines, size))
            self.assertEqual(answer.status, status, request[:40])
            self.assertLess(seconds, 5, request[:40])
            self.assertLess(lines, 20, request[:40])
            self.assertLess(size, 8192, request[:40])
        self.assertEqual(host.get("/option/maxit").json()["value"], 7)  # set by the last only

    def test_multipart_without_boundary_costs_bounded_memory(self):
        host = self.run_host()
        body = b"--" * (4 * MIB)  # 8 MiB
        for content_type in [b"multipart/form-data", b'multipart/form-data; boundary=""']:
            host.peak_memory_reset()
            before = host.peak_memory()
            answer = raw(host.port, post(b"/set-option", body,
                                         b"Content-Type: " + content_type + b"\r\n"))
            grown = host.peak_memory() - before
            print("%s: %d, peak memory +%.1f MiB" % (content_type, answer.status, grown / MIB))
            self.assertEqual(answer.status, 400)
            # The body itself is held once or twice on its way; one string per
            # "--" was 30 times its size (more under ThreadSanitizer, whose
            # shadow memory grows with every byte the program touches).
            self.assertLess(grown, (20 if "TSAN_OPTIONS" in os.environ else 5) * len(body))

    def test_stop_waits_at_most_its_second(self):
        root = big_file_root(16 * MIB)
        self.addCleanup(root.cleanup)
        host = self.run_host(env={"ZELK_HTMLROOT": root.name})
        poll = opened(host.port, b"GET /history/update HTTP/1.1\r\n\r\n")
        delay = opened(host.port, b"GET /delay/600000 HTTP/1.1\r\n\r\n")
        trickle = Trickle(host.port, b"POST /set-option HTTP/1.1\r\n" + FORM +
                          b"Content-Length: 1048576\r\n\r\nname=maxit&value=", step=1024)
        readers = stalled_readers(host.port, 1)
        parsed = opened(host.port, post(b"/set-option", b"&" * (8 * MIB)))
        host.await_stderr("HTTP header: GET /get/big.txt")
        started = time.monotonic()
        host.command("!stop", r"^stopped 0$")
        seconds = time.monotonic() - started
        trickle.stop.set()
        print("stop took %.2f s" % seconds)
        self.assertLess(seconds, 2.0)
        self.assertEqual(answer_of(poll).status, 408)
        self.assertEqual(answer_of(delay).json(), {"dur": 600000})
        self.assertEqual(answer_of(trickle.sock).status, 408)
        self.assertIn(answer_of(parsed).status, (404, 408))
        for s in [poll, delay, trickle.sock, parsed, *readers]:
            s.close()

    def test_stop_answers_every_request_it_holds(self):
        root = big_file_root(16 * MIB)
        self.addCleanup(root.cleanup)
        host = self.run_host(env={"ZELK_HTMLROOT": root.name})
        readers = stalled_readers(host.port, 5)  # every worker sends to one of them
        wait_until(lambda: host.count_in_stderr("HTTP header: GET /get/big.txt") == 5)
        # Served by the workers kept for new requests; then polls with nothing
        # new, and a request that never arrives whole.
        queued = [opened(host.port, b"GET /status HTTP/1.1\r\n\r\n") for _ in range(3)]
        polls = [opened(host.port, b"GET /history/update HTTP/1.1\r\n\r\n") for _ in range(3)]
        reading = opened(host.port, b"GET /status HTTP/1.1\r\n")
        wait_until(lambda: host.count_in_stderr("HTTP header: GET /history/update") == 3)
        host.command("!stop", r"^stopped 0$")
        statuses = [answer_of(s).status for s in queued + polls + [reading]]
        self.assertEqual(statuses, [200] * 3 + [408] * 4)
        for s in queued + polls + readers + [reading]:
            s.close()

    def test_readers_hold_no_worker_and_get_their_answers_at_the_floor_or_above(self):
        """Readers of long answers, all at once: five far below the send
        budget's floor of 64 KiB/s (a few bytes now and then, of a file the
        size of a real run's /data/y), and eight above it (512 KiB/s, of a
        history of about 6 MB: more than the kernel's buffers take, so each
        answer is still being sent long after it began). Fresh requests are
        answered within a second meanwhile, and every reader above the floor
        gets every byte."""
        cases = [  # name, readers, path, bytes a second, whole answers expected
            ("five far below the floor", 5, "/get/big.txt", 1024, None),
            ("eight above the floor", 8, "/history", 512 * 1024, 8),
        ]
        for name, count, path, rate, expected in cases:
            root = big_file_root(8800 * 1000)
            self.addCleanup(root.cleanup)
            host = self.run_host(env={"ZELK_HTMLROOT": root.name})
            host.command("!fit 15000 0", r"^fit ")
            size = len(host.get(path).body)
            stop, received = threading.Event(), []

            def read(sock):  # at most rate bytes a second, to the end or the stop
                started, data = time.monotonic(), bytearray()
                with contextlib.suppress(OSError):
                    while not stop.wait(0.005):
                        allowed = int(rate * (time.monotonic() - started)) - len(data)
                        chunk = sock.recv(min(allowed, 65536)) if allowed > 0 else None
                        if chunk == b"":
                            break
                        data += chunk or b""
                received.append(len(data.partition(b"\r\n\r\n")[2]))

            readers = []
            for _ in range(count):
                readers.append(socket.create_connection(("127.0.0.1", host.port), timeout=BOUND))
                readers[-1].setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
                readers[-1].sendall(b"GET %s HTTP/1.1\r\n\r\n" % path.encode())
            threads = [threading.Thread(target=read, args=(r,)) for r in readers]
            for t in threads:
                t.start()
            try:
                host.await_stderr("HTTP header: GET " + path, count + 1)
                time.sleep(0.5)  # each answer under way
                asked, served, slowest = 0, 0, 0.0
                while asked < 15 or (expected and any(t.is_alive() for t in threads)
                                     and asked < 200):
                    started = time.monotonic()
                    asked += 1
                    with contextlib.suppress(OSError):  # no answer within its second
                        served += raw(host.port, b"GET /status HTTP/1.1\r\n\r\n", 1.0).status == 200
                    slowest = max(slowest, time.monotonic() - started)
                    time.sleep(0.3)
            finally:
                stop.set()
                for t in threads:
                    t.join(2 * BOUND)
                for r in readers:
                    r.close()
            whole = received.count(size)
            print("%s: %d of %d fresh requests served within a second, slowest %.2f s; %d of %d "
                  "readers got all %d bytes" % (name, served, asked, slowest, whole, count, size))
            self.assertEqual(served, asked, name)
            if expected is not None:
                self.assertEqual(whole, expected, name)

    def test_slow_and_idle_clients_leave_service_running(self):
        host = self.run_host()
        with contextlib.ExitStack() as attack:
            slow = [Trickle(host.port, b"GET /status HTTP/1.1\r\nX-Slow: ") for _ in range(30)]
            for t in slow:
                attack.callback(t.stop.set)
            for _ in range(150):  # more than the connection table holds
                attack.enter_context(opened(host.port))
            for path in [b"/history/update"] * 40 + [b"/delay/60000"] * 10:
                attack.enter_context(opened(host.port, b"GET " + path + b" HTTP/1.1\r\n\r\n"))
            served, slowest = 0, 0.0
            for _ in range(20):
                started = time.monotonic()
                with contextlib.suppress(OSError):
                    served += raw(host.port, b"GET /status HTTP/1.1\r\n\r\n", 5).status == 200
                slowest = max(slowest, time.monotonic() - started)
            print("served %d of 20 during the attack, slowest %.2f s" % (served, slowest))
            self.assertEqual(served, 20)

    def test_a_burst_of_clients_is_served_without_dropped_handshakes(self):
        host = self.run_host()
        slowest = 0.0
        for _ in range(3):
            clients = [socket.socket() for _ in range(64)]
            started = time.monotonic()
            for c in clients:  # 64 handshakes at once
                c.setblocking(False)
                c.connect_ex(("127.0.0.1", host.port))
            waiting = select.poll()
            for c in clients:
                waiting.register(c, select.POLLOUT)
            pending = {c.fileno() for c in clients}
            while pending and time.monotonic() - started < BOUND:
                for fd, _ in waiting.poll(50):
                    waiting.unregister(fd)
                    pending.discard(fd)
            slowest = max(slowest, time.monotonic() - started)
            for c in clients:
                c.setblocking(True)
                c.sendall(b"GET /status HTTP/1.1\r\n\r\n")
            self.assertEqual([answer_of(c).status for c in clients], [200] * 64)
            for c in clients:
                c.close()
        print("3 bursts of 64 handshakes: slowest burst %.2f s" % slowest)
        self.assertLess(slowest, 0.9)  # a dropped handshake is retried after 1 s

    def test_followers_get_every_record_up_to_the_stop(self):
        """A host that appends a burst of records and stops at once, as a
        run ends, while two followers poll as the page does: each follower
        gets every record, the last one among them, in every one of 50 runs;
        the stop stays within its grace."""
        host = self.run_host()
        runs, complete, stops, history = 50, 0, [], []
        deadline = time.monotonic() + 4 * BOUND
        for run in range(runs):
            self.assertLess(time.monotonic(), deadline, "run %d" % run)
            if run:
                host.port = int(host.command("!start", PORT_LINE).group(1))
            for it in range(3):
                host.append(it=it)
            received = {}

            def follow(name, port=host.port):
                records, end = request(port, "GET", "/history").json(), "polls"
                for _ in range(1000):
                    try:
                        update = request(port, "GET", "/history/update?last=%d"
                                         % (len(records) - 1), timeout=5)
                    except OSError as error:
                        end = type(error).__name__
                        break
                    if update.status != 200:
                        end = update.status
                        break
                    records.extend(update.json())
                received[name] = ([r["it"] for r in records], end)

            mark = host.count_in_stderr("HTTP header: GET /history/update")
            followers = [threading.Thread(target=follow, args=(n,)) for n in ("a", "b")]
            for f in followers:
                f.start()
            host.await_stderr("HTTP header: GET /history/update", mark + 2)
            burst = ["it=%d" % it for it in range(3, 40)] + ["it=40 exit=done", "!stop"]
            started = time.monotonic()
            host.send("\n".join(burst))
            host.expect(r"^stopped 0$")
            stops.append(time.monotonic() - started)
            for f in followers:
                f.join(BOUND)
            history += [str(it) for it in range(41)]
            for name in ("a", "b"):
                its, end = received.get(name, ([], "none"))
                complete += its == history
                if its != history:
                    print("run %d, follower %s: %d of %d records, ended by %s"
                          % (run, name, len(its), len(history), end))
        print("followers that got every record: %d of %d; stop %.3f s at most, %.3f s on average"
              % (complete, 2 * runs, max(stops), sum(stops) / len(stops)))
        self.assertEqual(complete, 2 * runs)
        self.assertLess(max(stops), 1.5)

    def test_a_stop_waits_for_a_follower_behind_it_and_for_no_other(self):
        """A follower has just been answered when the host appends (or not)
        and stops at once; the follower asks again 600 ms later, as a page
        busy between two polls on a loaded machine does. Behind, it still
        gets the final record, and the stop ends once it has; caught up, the
        stop ends at once and the late poll finds nobody."""
        host = self.run_host()
        cases = [  # name, appended before the stop, answer of the late poll, stop in s
            ("caught up", [], None, (0, 0.5)),
            ("behind by the final record", ["it=1 exit=done"], [{"it": "1", "exit": "done"}],
             (0.5, 1.5)),
            ("read whole, behind", ["it=2", "it=3 exit=done"],
             [{"it": "2"}, {"it": "3", "exit": "done"}], (0.5, 1.5)),
        ]
        for name, appended, late, (fastest, slowest) in cases:
            if name != cases[0][0]:
                host.port = int(host.command("!start", PORT_LINE).group(1))
            held = len(host.get("/history").json())
            if name.startswith("read whole"):
                position = held  # the whole read was the last answer
            else:
                host.append(it=held)
                answer = host.get("/history/update?last=%d" % (held - 1))
                self.assertEqual(answer.status, 200, name)
                position = held + 1
            late_poll, port = [None], host.port

            def ask_late():
                time.sleep(0.6)
                with contextlib.suppress(OSError):
                    late_poll[0] = request(port, "GET", "/history/update?last=%d" % (position - 1))

            follower = threading.Thread(target=ask_late)
            follower.start()
            started = time.monotonic()
            host.send("\n".join(appended + ["!stop"]))
            host.expect(r"^stopped 0$")
            seconds = time.monotonic() - started
            follower.join(BOUND)
            got = late_poll[0] and (late_poll[0].status, late_poll[0].json())
            print("%s: stop took %.3f s, the late poll got %s" % (name, seconds, got))
            self.assertEqual(got, late and (200, late), name)
            self.assertGreaterEqual(seconds, fastest, name)
            self.assertLess(seconds, slowest, name)

    def test_a_stop_waits_for_nobody_who_is_not_behind(self):
        """Stops with clients about that hold nothing up: none of them is a
        follower known to have records left to fetch and to be still
        polling. Each stop ends within half the stop's second of grace (it
        took all of it, and more with long answers on their way)."""
        def half_request(host):  # held once accepted: a peer still queued gets no answer
            accepted = host.count_in_stderr("Accept connection on")
            sock = opened(host.port, b"GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            host.await_stderr("Accept connection on", accepted + 1)
            return [sock]

        def whole_reads(host):
            for _ in range(100):
                host.get("/history")
            return []

        def hung_up_follower(host):  # the records come after it left
            held = len(host.get("/history").json())
            poll = opened(host.port, b"GET /history/update?last=%d HTTP/1.1\r\n\r\n" % (held - 1))
            host.await_stderr("CGI param: last=%d" % (held - 1))
            poll.close()
            host.await_stderr("Remote closed the connection")
            return []

        def quit_after_follower(host):  # a quit: the run goes on, no last record to wait for
            host.get("/history")
            return []

        def long_answer_readers(host):  # megabytes of history, of which they read nothing
            host.command("!fit 15000 0", r"^fit ")
            answered = host.count_in_stderr("Response: pr=0")
            for _ in range(40):
                reader = opened(host.port, b"GET /history HTTP/1.1\r\n\r\n")
                reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                self.addCleanup(reader.close)
            host.await_stderr("Response: pr=0", answered + 40)
            return []

        cases = [  # name, clients, lines before the stop, stop by a quit
            ("a peer holding half a request", half_request, [], False),
            ("100 reads of the whole history", whole_reads, [], False),
            ("a follower that hung up, then records", hung_up_follower, ["it=1", "it=2"], False),
            ("a quit after a follower left, then a record", quit_after_follower, ["it=1"], True),
            ("40 readers of a long history", long_answer_readers, [], False),
        ]
        host = self.run_host()
        host.append(it=0)
        for name, clients, lines, by_quit in cases:
            if name != cases[0][0]:
                host.port = int(host.command("!start", PORT_LINE).group(1))
            held = clients(host)
            for line in lines:
                host.append(**dict(pair.split("=") for pair in line.split()))
            started = time.monotonic()
            if by_quit:
                request(host.port, "POST", "/server-quit/0")
                host.command("!wait", r"^waited 0$")
            seconds = time.monotonic() - started
            host.command("!stop", r"^stopped 0$")
            if not by_quit:
                seconds = time.monotonic() - started
            print("%s: the stop took %.3f s" % (name, seconds))
            self.assertLess(seconds, 0.5, name)
            for sock in held:
                self.assertEqual(answer_of(sock).status, 408, name)
                sock.close()

    def test_history_readers_hold_the_fits_lock_briefly(self):
        host = self.run_host()
        stop, reads = threading.Event(), [0]

        def reader():
            while not stop.is_set():
                for path in ("/history", "/data/x"):
                    self.assertEqual(host.get(path).status, 200)
                    reads[0] += 1

        alone = host.command("!fit 1500 200", r"^fit (\d+) (\d+) (\d+)$")
        readers = [threading.Thread(target=reader) for _ in range(16)]
        for r in readers:
            r.start()
        try:
            wait_until(lambda: reads[0] >= 16)
            busy = host.command("!fit 1500 200", r"^fit (\d+) (\d+) (\d+)$")
        finally:
            stop.set()
            for r in readers:
                r.join(BOUND)
        total, waited = int(busy.group(2)), int(busy.group(3))
        print("fit of 1500 iterations: %.3f s alone (%.3f s waiting for the lock), %.3f s under "
              "16 readers, %.3f s of it waiting for the lock (%d reads)"
              % (int(alone.group(2)) / 1e6, int(alone.group(3)) / 1e6, total / 1e6, waited / 1e6,
                 reads[0]))
        # Answers written while the lock was held made the fit wait 70 % of
        # its time; the copies it is held for now are a few records long. The
        # bound leaves room for a lock holder that the scheduler pauses.
        self.assertLess(waited, 0.2 * total)


if __name__ == "__main__":
    unittest.main()
