"""What the monitor accepts and how it answers, over raw sockets on
127.0.0.1: header fields as HTTP/1.1 defines them, the Host names it
answers for, the headers of every answer, and static files that stay inside
the document root."""

import os
import shutil
import socket
import tempfile
import unittest

from monitor_host import HostTest, host_exe, raw

HostTest.exe = host_exe()
EXE_HTML = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(HostTest.exe))), "html")


def put_maxit(value, fields):
    return b"PUT /option/maxit?value=%d HTTP/1.1\r\n%s\r\n" % (value, fields)


class Protocol(HostTest):
    def setUp(self):
        self.host = self.run_host()

    def maxit(self):
        return self.host.get("/option/maxit").json()["value"]

    def test_header_fields(self):
        port = self.host.port
        form = b"Content-Type:application/x-www-form-urlencoded\r\n"
        cases = [  # request, status, maxit afterwards
            (put_maxit(5, b"Host:evil.example\r\n"), 421, 10000),
            (put_maxit(5, b"Host:\tevil.example \r\n"), 421, 10000),
            (put_maxit(5, b"Host: 127.0.0.1\0.evil.example\r\n"), 400, 10000),
            (put_maxit(5, b"Host: 127.0.0.1\r\nHost: evil.example\r\n"), 400, 10000),
            (put_maxit(5, b"Origin: http://127.0.0.1\r\nOrigin: http://evil.example\r\n"), 400,
             10000),
            (put_maxit(5, b"Host : 127.0.0.1\r\n"), 400, 10000),
            (put_maxit(5, b"X-A: 1\r\n folded\r\n"), 400, 10000),
            (put_maxit(5, b"X-A: a\x7fb\r\n"), 400, 10000),
            (put_maxit(5, b"Content-Length: 0\r\nContent-Length: 0\r\n"), 400, 10000),
            (put_maxit(5, b"Transfer-Encoding: chunked\r\n"), 501, 10000),
            (put_maxit(6, b"Host:127.0.0.1:%d\r\nX-A:\tv: w\t\r\n" % port), 302, 6),
            (b"POST /set-option HTTP/1.1\r\n" + form + b"Content-Length:18\r\n\r\n"
             b"name=maxit&value=7", 302, 7),
        ]
        for request, status, maxit in cases:
            answer = raw(port, request)
            self.assertEqual(answer.status, status, request)
            if status >= 400:
                self.assertEqual(list(answer.json()), ["error"], request)
            self.assertEqual(self.maxit(), maxit, request)

    def test_hosts_that_are_answered(self):
        names = ["127.0.0.1", "127.0.0.1:%d" % self.host.port, "localhost", "LOCALHOST:1",
                 "[::1]:8881", "192.0.2.7", "[2001:db8::1]", socket.gethostname()]
        # The machine's canonical name, as the resolver gives it for its host
        # name (only this machine's own name is resolved).
        try:
            canonical = socket.getaddrinfo(socket.gethostname(), None,
                                           flags=socket.AI_CANONNAME)[0][3]
        except socket.gaierror:
            canonical = ""
        if canonical:
            names += [canonical, canonical.upper() + ".:%d" % self.host.port]
        for name in names:
            answer = raw(self.host.port, b"GET /status HTTP/1.1\r\nHost: %s\r\n\r\n"
                         % name.encode())
            self.assertEqual(answer.status, 200, name)
        answer = raw(self.host.port, b"GET /status HTTP/1.0\r\n\r\n")  # no Host at all
        self.assertEqual(answer.status, 200)
        for name, status in [("rebound.example", 421), ("rebound.example:%d" % self.host.port, 421),
                             ("localhost.example", 421), ("127.0.0.1.nip.io", 421),
                             ("[::1", 400), ("::1", 400), ("a b", 400), ("127.0.0.1:x", 400)]:
            answer = raw(self.host.port, b"GET /history HTTP/1.1\r\nHost: %s\r\n\r\n"
                         % name.encode())
            self.assertEqual((answer.status, list(answer.json())), (status, ["error"]), name)
            if status == 421:
                self.assertEqual(answer.status_line, "HTTP/1.1 421 Misdirected Request")

    def test_any_host_with_remote_set_allowed(self):
        host = self.run_host(env={"ZELK_HTTP_ALLOW_REMOTE_SET": "1"})
        answer = raw(host.port, put_maxit(9, b"Host: rebound.example\r\n"))
        self.assertEqual(answer.status, 302)
        self.assertEqual(host.get("/option/maxit").json()["value"], 9)

    def test_answer_headers(self):
        port = self.host.port
        cases = [  # request, status line, content type
            (b"GET / HTTP/1.1", "HTTP/1.1 302 Found", None),
            (b"GET /status HTTP/1.1", "HTTP/1.1 200 OK", "text/json"),
            (b"GET /nowhere HTTP/1.1", "HTTP/1.1 404 Not Found", "text/json"),
            (b"GET /get/a..b HTTP/1.1", "HTTP/1.1 401 Unauthorized", "text/json"),
            (b"GET /history/update HTTP/1.1\r\nHost: x.example", "HTTP/1.1 421 Misdirected Request",
             "text/json"),
            (b"BREW / HTTP/1.1", "HTTP/1.1 501 Not Implemented", "text/json"),
            (b"GET /js/app.js HTTP/1.1", "HTTP/1.1 200 OK", "text/javascript"),
            (b"GET /html/app.js HTTP/1.1", "HTTP/1.1 200 OK", "text/javascript"),
            (b"GET /get/app.js?type=html HTTP/1.1", "HTTP/1.1 200 OK", "text/javascript"),
            (b"GET /css/style.css HTTP/1.1", "HTTP/1.1 200 OK", "text/css"),
            (b"GET /index.html HTTP/1.1", "HTTP/1.1 200 OK", "text/html"),
        ]
        for request, status_line, content_type in cases:
            answer = raw(port, request + b"\r\n\r\n")
            self.assertEqual(answer.status_line, status_line, request)
            self.assertEqual(answer.header("content-type"), content_type, request)
            self.assertEqual(answer.header("connection"), "close", request)
            self.assertEqual(answer.header("x-content-type-options"), "nosniff", request)
            self.assertEqual(answer.header("content-security-policy"), "frame-ancestors 'none'",
                             request)

    def test_static_files_stay_inside_the_document_root(self):
        with tempfile.TemporaryDirectory(prefix="zelk-root-") as outside:
            root = os.path.join(outside, "root")
            os.mkdir(root)
            shutil.copy(os.path.join(EXE_HTML, "index.html"), root)
            with open(os.path.join(outside, "secret.txt"), "w") as f:
                f.write("secret")
            os.mkdir(os.path.join(root, "sub"))
            os.symlink("/etc/passwd", os.path.join(root, "passwd.txt"))
            os.symlink("../secret.txt", os.path.join(root, "secret.txt"))
            os.symlink("../index.html", os.path.join(root, "sub", "page.html"))
            os.symlink(outside, os.path.join(root, "out"))
            os.symlink(root, os.path.join(outside, "linked-root"))
            for document_root in [root, os.path.join(outside, "linked-root")]:
                host = self.run_host(env={"ZELK_HTMLROOT": document_root})
                for path, status in [("/index.html", 200), ("/get/sub/page.html", 200),
                                     ("/get/passwd.txt", 404), ("/get/secret.txt", 404),
                                     ("/get/out/secret.txt", 404)]:
                    answer = raw(host.port, b"GET %s HTTP/1.1\r\n\r\n" % path.encode())
                    self.assertEqual(answer.status, status, (document_root, path))
                    self.assertNotIn(b"secret", answer.body)
                    self.assertNotIn(b"root:", answer.body)


if __name__ == "__main__":
    unittest.main()
