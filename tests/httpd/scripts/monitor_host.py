"""The monitor test host as a child process, and HTTP on 127.0.0.1 to it.

Every wait is bounded (BOUND seconds unless said otherwise) and every loop
counted; traffic goes to 127.0.0.1 only. Bodies said to be JSON go through
json.loads with NaN and Infinity refused.
"""

import concurrent.futures
import http.client
import json
import os
import queue
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BOUND = 30.0  # longest any single wait of these tests may take
PORT_LINE = r"Accept connections on socket port (\d+)"


def strict_json(text):
    def refuse(constant):
        raise ValueError("not JSON: " + constant)

    return json.loads(text, parse_constant=refuse)


class Host:
    """The host program with the monitor on an ephemeral port, once it has
    printed a line matching ready."""

    def __init__(self, exe, *args, env=None, ready=r"^started$"):
        self.workdir = tempfile.TemporaryDirectory(prefix="zelk-monitor-")
        environment = dict(os.environ)
        environment["HTTP_PORT"] = "0"
        environment.update(env or {})
        self.proc = subprocess.Popen(
            [exe, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, env=environment, cwd=self.workdir.name, bufsize=1)
        self._out = queue.Queue()
        self._err_lock = threading.Lock()
        self._err = []
        self._readers = [
            threading.Thread(target=self._read_out, daemon=True),
            threading.Thread(target=self._read_err, daemon=True),
        ]
        for reader in self._readers:
            reader.start()
        self.port = int(self.expect(PORT_LINE).group(1))
        self.expect(ready)

    def _read_out(self):
        for line in self.proc.stdout:
            self._out.put(line.rstrip("\n"))
        self._out.put(None)

    def _read_err(self):
        for line in self.proc.stderr:
            with self._err_lock:
                self._err.append(line.rstrip("\n"))

    def expect(self, pattern, bound=BOUND):
        """The match of the next stdout line that matches pattern."""
        deadline = time.monotonic() + bound
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no line matching %r on the host's output" % pattern)
            try:
                line = self._out.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise AssertionError("host ended before %r; stderr:\n%s" % (pattern, self.stderr()[-3000:]))
            found = re.search(pattern, line)
            if found:
                return found

    def stderr(self):
        with self._err_lock:
            return "\n".join(self._err)

    def count_in_stderr(self, text):
        with self._err_lock:
            return sum(text in line for line in self._err)

    def await_stderr(self, text, count=1, bound=BOUND):
        wait_until(lambda: self.count_in_stderr(text) >= count, bound,
                   "%d x %r logged" % (count, text))

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def append(self, **record):
        line = " ".join("%s=%s" % item for item in record.items())
        return int(self.command(line, r"^appended (\d+)$").group(1))

    def finish(self, bound=BOUND):
        """Ends the host; its exit code (0 when it ran clean)."""
        if self.proc.stdin and not self.proc.stdin.closed:
            self.proc.stdin.close()
        try:
            code = self.proc.wait(timeout=bound)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=bound)
            raise AssertionError("host did not end")
        for reader in self._readers:
            reader.join(bound)
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.workdir.cleanup()
        return code

    def alive(self):
        return self.proc.poll() is None

    def command(self, line, answer):
        """A command line of the test host, and the line it answers."""
        self.send(line)
        return self.expect(answer)

    def restart(self):
        """A new server after a stop, on a new port."""
        self.port = int(self.command("!start", PORT_LINE).group(1))
        self.expect(r"^started$")

    def request(self, method, path, **kwargs):
        return request(self.port, method, path, **kwargs)

    def get(self, path, **kwargs):
        return request(self.port, "GET", path, **kwargs)

    def held(self, path):
        """background() of a GET of path, returned once the server has read
        the request (an endpoint that waits then holds it)."""
        logged = "HTTP header: GET " + path
        before = self.count_in_stderr(logged)
        pending = background(self.port, "GET", path)
        self.await_stderr(logged, before + 1)
        return pending


class Answer:
    def __init__(self, response, body):
        self.status = response.status
        self.reason = response.reason
        self.headers = {k.lower(): v for k, v in response.getheaders()}
        self.body = body

    def json(self):
        return strict_json(self.body.decode("utf-8"))


def request(port, method, path, body=None, headers=None, timeout=BOUND):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return Answer(response, response.read())
    finally:
        connection.close()


def raw(port, data, timeout=BOUND):
    """All the server sends back to data, until it closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        chunks = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
        return b"".join(chunks)


# Requests on threads of their own (long polls, requests that queue).
_background = concurrent.futures.ThreadPoolExecutor(max_workers=8)


def background(port, method, path, **kwargs):
    """A request sent on another thread: the future of its Answer."""
    return _background.submit(request, port, method, path, **kwargs)


def wait_until(predicate, bound=BOUND, what="condition"):
    deadline = time.monotonic() + bound
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(what + " not reached")
        time.sleep(0.01)


def end_clean(host):
    """Ends the host; it must exit with 0."""
    code = host.finish()
    assert code == 0, "host exit code %s; stderr:\n%s" % (code, host.stderr()[-3000:])


class HostTest(unittest.TestCase):
    exe = None  # the host program: host_exe() of the script

    def run_host(self, *args, **kwargs):
        """A host for this test alone, ended cleanly after it."""
        host = Host(self.exe, *args, **kwargs)
        self.addCleanup(end_clean, host)
        return host


def host_exe():
    if len(sys.argv) < 2:
        sys.exit("usage: %s MONITOR_TEST_HOST" % sys.argv[0])
    return os.path.abspath(sys.argv.pop(1))
