"""The monitor test host as a child process, and HTTP on 127.0.0.1 to it."""

import concurrent.futures
import contextlib
import http.client
import json
import os
import queue
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BOUND = 30.0  # longest any single wait may take; every loop is counted
PORT_LINE = r"Accept connections on socket port (\d+)"


def _refuse(constant):
    raise ValueError("not JSON: " + constant)


def strict_json(text):  # NaN and Infinity are not JSON
    return json.loads(text, parse_constant=_refuse)


def _pump(stream, sink, end):
    for line in stream:
        sink(line.rstrip("\n"))
    if end:
        sink(None)


class Host:
    """The host program, once it serves on an ephemeral port and printed ready."""

    def __init__(self, exe, *args, env=None, ready=r"^started$"):
        self.workdir = tempfile.TemporaryDirectory(prefix="zelk-monitor-")
        self.proc = subprocess.Popen(
            [exe, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, env={**os.environ, "HTTP_PORT": "0", **(env or {})},
            cwd=self.workdir.name, bufsize=1)
        self._out, self._err = queue.Queue(), []  # list.append is atomic
        self._readers = [threading.Thread(target=_pump, args=a, daemon=True) for a in
                         [(self.proc.stdout, self._out.put, True),
                          (self.proc.stderr, self._err.append, False)]]
        for reader in self._readers:
            reader.start()
        self.port = int(self.expect(PORT_LINE).group(1))
        self.expect(ready)

    def expect(self, pattern, bound=BOUND):
        deadline = time.monotonic() + bound
        while True:
            try:
                line = self._out.get(timeout=max(deadline - time.monotonic(), 0.001))
            except queue.Empty:
                raise AssertionError("no line matching %r on the host's output" % pattern) from None
            if line is None:
                raise AssertionError("host ended before %r; stderr:\n%s"
                                     % (pattern, self.stderr()[-3000:]))
            found = re.search(pattern, line)
            if found:
                return found

    def stderr(self):
        return "\n".join(list(self._err))

    def log_mark(self):
        """A mark for log_since: the number of log lines so far."""
        return len(self._err)

    def log_since(self, mark):
        """The log lines that came after mark."""
        return list(self._err)[mark:]

    def count_in_stderr(self, text):
        return sum(text in line for line in list(self._err))

    def await_stderr(self, text, count=1, bound=BOUND):
        wait_until(lambda: self.count_in_stderr(text) >= count, bound,
                   "%d x %r logged" % (count, text))

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def command(self, line, answer):
        self.send(line)
        return self.expect(answer)

    def append(self, **record):
        self.command(" ".join("%s=%s" % item for item in record.items()), r"^appended \d+$")

    def finish(self, bound=BOUND):
        self.proc.stdin.close()
        try:
            code = self.proc.wait(timeout=bound)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=bound)
            raise AssertionError("host did not end") from None
        for reader in self._readers:
            reader.join(bound)
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.workdir.cleanup()
        return code

    def request(self, method, path, **kwargs):
        return request(self.port, method, path, **kwargs)

    def get(self, path, **kwargs):
        return request(self.port, "GET", path, **kwargs)

    def peak_memory_reset(self):
        """Sets the process's peak resident size back to its present size."""
        with open("/proc/%d/clear_refs" % self.proc.pid, "w") as f:
            f.write("5")

    def peak_memory(self):
        """The process's peak resident size in bytes since peak_memory_reset."""
        with open("/proc/%d/status" % self.proc.pid) as f:
            return int(re.search(r"VmHWM:\s+(\d+) kB", f.read()).group(1)) * 1024

    def held(self, path):
        """background() of a GET of path, once the server has read it."""
        logged = "HTTP header: GET " + path
        before = self.count_in_stderr(logged)
        pending = background(self.port, "GET", path)
        self.await_stderr(logged, before + 1)
        return pending


def request(port, method, path, body=None, headers=None, timeout=BOUND):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        answer = connection.getresponse()  # its headers: any case
        answer.body = answer.read()
        answer.json = lambda: strict_json(answer.body.decode("utf-8"))
        return answer
    finally:
        connection.close()


class RawAnswer:
    """An answer read off a socket: status line, headers (names lower-cased,
    each with the list of its values) and body."""

    def __init__(self, data):
        head, _, self.body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        self.status_line = lines[0]
        parts = self.status_line.split(" ", 2)
        self.status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        self.headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(": ")
            self.headers.setdefault(name.lower(), []).append(value)

    def header(self, name):
        values = self.headers.get(name, [])
        return values[0] if len(values) == 1 else values or None

    def json(self):
        return strict_json(self.body.decode("utf-8"))


def read_to_end(sock, bound=BOUND):
    """Everything the peer sends until it closes or resets, within bound."""
    sock.settimeout(bound)
    deadline, out = time.monotonic() + bound, b""
    while time.monotonic() < deadline:
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        out += chunk
    return out


def raw(port, data, bound=BOUND):
    """data sent as it is on a fresh connection; the answer as a RawAnswer."""
    with socket.create_connection(("127.0.0.1", port), timeout=bound) as s:
        s.sendall(data)
        return RawAnswer(read_to_end(s, bound))


_background = concurrent.futures.ThreadPoolExecutor(max_workers=16)


def background(port, method, path, **kwargs):
    return _background.submit(request, port, method, path, **kwargs)


def wait_until(predicate, bound=BOUND, what="condition"):
    deadline = time.monotonic() + bound
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(what + " not reached")
        time.sleep(0.01)


def end_clean(host):
    code = host.finish()
    assert code == 0, "host exit code %s; stderr:\n%s" % (code, host.stderr()[-3000:])


class HostTest(unittest.TestCase):
    exe = None  # the host program: host_exe() of the script

    def run_host(self, *args, **kwargs):
        host = Host(self.exe, *args, **kwargs)
        self.addCleanup(end_clean, host)
        return host


def host_exe():
    if len(sys.argv) < 2:
        sys.exit("usage: %s MONITOR_TEST_HOST" % sys.argv[0])
    return os.path.abspath(sys.argv.pop(1))


BROWSER = next((b for b in ("chromium", "chromium-browser") if shutil.which(b)), None)


class Browser:
    """Headless chromium showing url, driven over its DevTools pipe (file
    descriptors 3 and 4, NUL-terminated JSON), so that a test reads the live
    page whenever it likes. Every read is bounded."""

    def __init__(self, url):
        self.profile = tempfile.TemporaryDirectory(prefix="zelk-chromium-")
        to_browser, self._to = os.pipe()
        self._from, from_browser = os.pipe()
        # The browser reads descriptor 3 and writes 4; the shell puts the
        # pipes there by way of two descriptors no test holds (bash, as sh takes
        # one digit only).
        redirect = "98<&%d 99>&%d %d<&- %d>&- 3<&98 4>&99 98<&- 99>&-" % (
            to_browser, from_browser, to_browser, from_browser)
        self.proc = subprocess.Popen(
            ["/bin/bash", "-c", 'exec "$0" "$@" ' + redirect, BROWSER, "--headless",
             "--no-sandbox", "--disable-gpu", "--no-first-run", "--remote-debugging-pipe",
             "--user-data-dir=" + self.profile.name, url],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            pass_fds=(to_browser, from_browser))
        os.close(to_browser)
        os.close(from_browser)
        self._next_id, self._buffer = 0, b""
        # A browser that starts slowly may answer before its page exists.
        deadline, pages = time.monotonic() + BOUND, []
        while not pages:
            if time.monotonic() > deadline:
                raise AssertionError("the browser shows no page")
            pages = [t for t in self._call("Target.getTargets")["targetInfos"]
                     if t["type"] == "page"]
            if not pages:
                time.sleep(0.05)
        self._session = self._call("Target.attachToTarget",
                                   targetId=pages[0]["targetId"], flatten=True)["sessionId"]

    def _call(self, method, session=None, **params):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._to, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + BOUND
        while True:
            while b"\0" in self._buffer:
                raw_message, _, self._buffer = self._buffer.partition(b"\0")
                answer = json.loads(raw_message)
                if answer.get("id") == self._next_id:
                    if "error" in answer:
                        raise AssertionError("%s: %s" % (method, answer["error"]))
                    return answer["result"]
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._from], [], [], left)[0]:
                raise AssertionError("no answer from the browser to " + method)
            chunk = os.read(self._from, 1 << 16)
            if not chunk:
                raise AssertionError("the browser ended")
            self._buffer += chunk

    def dom(self):
        """The page's document as HTML now."""
        result = self._call("Runtime.evaluate", self._session,
                            expression="document.documentElement.outerHTML", returnByValue=True)
        return result["result"].get("value", "")

    def await_dom(self, predicate, bound=BOUND, what="page state", shown=lambda html: html[-3000:]):
        """The document once predicate(html) holds, looked at every 50 ms;
        on failure, shown(html) tells what the page showed."""
        deadline = time.monotonic() + bound
        while True:
            html = self.dom()
            if predicate(html):
                return html
            if time.monotonic() > deadline:
                raise AssertionError(what + " not reached; page:\n" + shown(html))
            time.sleep(0.05)

    def close(self):
        with contextlib.suppress(OSError, AssertionError):
            self._call("Browser.close")
        try:
            self.proc.wait(timeout=BOUND)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=BOUND)
        os.close(self._to)
        os.close(self._from)
        self.profile.cleanup()
