"""The monitor test host as a child process, and HTTP on 127.0.0.1 to it.

Every wait is bounded (BOUND seconds unless said otherwise) and every loop
counted; traffic goes to 127.0.0.1 only. Bodies said to be JSON go through
json.loads with NaN and Infinity refused.
"""

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

BOUND = 30.0  # longest any single wait of these tests may take


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
        self.port = int(self.expect(r"Accept connections on socket port (\d+)").group(1))
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
        deadline = time.monotonic() + bound
        while self.count_in_stderr(text) < count:
            if time.monotonic() > deadline:
                raise AssertionError("%d x %r not logged" % (count, text))
            time.sleep(0.01)

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def append(self, **record):
        self.send(" ".join("%s=%s" % item for item in record.items()))
        return int(self.expect(r"^appended (\d+)$").group(1))

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


class Background:
    """A request on a thread of its own, to be collected later."""

    def __init__(self, port, method, path, **kwargs):
        self.answer = None
        self.error = None
        self._thread = threading.Thread(target=self._run, args=(port, method, path), kwargs=kwargs,
                                        daemon=True)
        self._thread.start()

    def _run(self, port, method, path, **kwargs):
        try:
            self.answer = request(port, method, path, **kwargs)
        except Exception as e:  # collected by the test
            self.error = e

    def done(self):
        return not self._thread.is_alive()

    def result(self, bound=BOUND):
        self._thread.join(bound)
        if self._thread.is_alive():
            raise AssertionError("request still open")
        if self.error:
            raise self.error
        return self.answer


def wait_until(predicate, bound=BOUND, what="condition"):
    deadline = time.monotonic() + bound
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(what + " not reached")
        time.sleep(0.01)


def host_exe():
    if len(sys.argv) < 2:
        sys.exit("usage: %s MONITOR_TEST_HOST" % sys.argv[0])
    return os.path.abspath(sys.argv.pop(1))
