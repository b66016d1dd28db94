"""The monitor's read and set routes over the test host's synthetic run."""

import os
import shutil
import subprocess
import unittest

from monitor_host import BOUND, Host, host_exe, raw, request, strict_json

EXE = host_exe()
HTML = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(EXE))), "html")


class MonitorApi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = Host(EXE)
        cls.port = cls.host.port

    @classmethod
    def tearDownClass(cls):
        assert cls.host.finish() == 0, cls.host.stderr()[-3000:]

    def get(self, path, **kwargs):
        return request(self.port, "GET", path, **kwargs)

    def option(self, name):
        answer = self.get("/option/" + name)
        self.assertEqual(answer.status, 200)
        return answer.json()["value"]

    def put(self, name, value, headers=None):
        return request(self.port, "PUT", "/option/%s?value=%s" % (name, value), headers=headers)

    def test_options_leave_out_read_only_ones(self):
        answer = self.get("/options")
        self.assertEqual((answer.status, answer.headers["content-type"]), (200, "text/json"))
        options = answer.json()
        self.assertEqual(len(options), 97)
        names = [o["name"] for o in options]
        self.assertEqual(names, sorted(names))
        self.assertNotIn("c1", names)
        self.assertIn("maxit", names)
        for o in options:
            self.assertEqual(set(o), {"value", "name", "min", "max", "readonly", "needsrestart", "choices"})
            self.assertEqual((o["readonly"], o["choices"]), (0, []))
            self.assertIn(o["needsrestart"], (0, 2))

    def test_single_option_and_status(self):
        c1 = self.get("/option/c1/").json()
        self.assertEqual((c1["name"], c1["readonly"]), ("c1", 1))
        missing = self.get("/option/nosuch")
        self.assertEqual((missing.status, missing.reason, missing.json()),
                         (404, "Option not found", {"error": "Option not found"}))
        status = self.get("/status").json()
        self.assertEqual([s["name"] for s in status], ["error", "iter", "status"])

    def test_data(self):
        cases = [
            ("/data", b'[\n {"name": "x", "size": 3}, \n {"name": "y", "size": 3}\n]'),
            ("/data/x", b"[1, 2, 3]"),
            ("/data/y/", b'[1, "NaN", "Inf"]'),
        ]
        for path, body in cases:
            answer = self.get(path)
            self.assertEqual((answer.status, answer.body), (200, body), path)
            strict_json(answer.body.decode())
        self.assertEqual(self.get("/data/z").status, 404)

    def test_root_redirects_to_the_page(self):
        answer = self.get("/")
        self.assertEqual((answer.status, answer.reason, answer.headers.get("location"), answer.body),
                         (302, "OK", "/index.html", b""))
        self.assertNotIn("content-length", answer.headers)

    def test_static_files(self):
        cases = [
            ("/index.html", "index.html", "text/html"),
            ("/html/index.html", "index.html", "text/html"),
            ("/js/app.js", "app.js", "text/javascript"),
            ("/css/style.css", "style.css", "text/css"),
            ("/favicon.ico", "favicon.ico", "application/octet-stream"),
            ("/get/style.css", "style.css", "text/css"),
        ]
        for path, name, mime in cases:
            with open(os.path.join(HTML, name), "rb") as f:
                want = f.read()
            answer = self.get(path)
            self.assertEqual((answer.status, answer.headers.get("content-type")), (200, mime), path)
            self.assertEqual(answer.body, want, path)
        for path, status in [("/get/a..b", 401), ("/get/.", 404), ("/get/nothing.txt", 404),
                             ("/file/a/b/c/d", 401)]:
            answer = self.get(path)
            self.assertEqual(answer.status, status, path)
            self.assertIn("error", answer.json())

    def test_set_option_by_put_and_both_forms(self):
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        boundary = "zzbound"
        multipart = ("--%s\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nmaxrt\r\n"
                     "--%s\r\nContent-Disposition: form-data; name=\"value\"\r\n\r\n0.75\r\n"
                     "--%s--\r\n") % (boundary, boundary, boundary)
        sets = [
            (lambda: self.put("maxrt", "0.25"), 0.25),
            (lambda: request(self.port, "POST", "/set-option", body="name=maxrt&value=0.5",
                             headers=form), 0.5),
            (lambda: request(self.port, "POST", "/set-option/", body=multipart,
                             headers={"Content-Type": "multipart/form-data; boundary=" + boundary}),
             0.75),
            (lambda: self.put("maxrt", "1e-3x"), "NaN"),
        ]
        for send, value in sets:
            answer = send()
            self.assertEqual((answer.status, answer.headers.get("location"), answer.body),
                             (302, "/index.html", b""))
            self.assertEqual(self.option("maxrt"), value)

    def test_set_option_refusals(self):
        self.assertEqual(self.put("cgmode", "2").status, 302)
        port = self.port
        refusals = [
            (self.put("cgmode", "abc"), 501, "JSON error: "),
            (self.put("cgmode", "3", {"Host": "monitor.example:%d" % port}), 401, "Forbidden"),
            (self.put("cgmode", "3", {"Origin": "http://elsewhere.example"}), 401, "Forbidden"),
            (self.put("cgmode", "3", {"Origin": "null"}), 401, "Forbidden"),
            (request(port, "POST", "/server-quit/0", headers={"Host": "monitor.example"}), 401,
             "Forbidden"),
        ]
        for answer, status, error in refusals:
            self.assertEqual((answer.status, answer.json()), (status, {"error": error}))
        self.assertEqual(self.option("cgmode"), 2)
        for headers in [{"Host": "localhost:%d" % port, "Origin": "http://localhost:%d" % port},
                        {"Host": "[::1]:%d" % port}, {"Origin": "http://127.0.0.1:%d" % port}]:
            self.assertEqual(self.put("cgmode", "1", headers).status, 302, headers)
        self.assertEqual(self.option("cgmode"), 1)

    def test_raw_requests(self):
        cases = [
            (b"GET /status HTTP/1.0\r\n\r\n", b"HTTP/1.1 200 OK\r\n"),
            (b"GET /status\r\n\r\n", b"HTTP/1.1 200 OK\r\n"),
            (b"DELETE /options HTTP/1.1\r\n\r\n", b"HTTP/1.1 404 Not found\r\n"),
            (b"GET /delay/0 HTTP/1.1\r\n\r\n", b"HTTP/1.1 200 OK\r\n"),
        ]
        for data, status_line in cases:
            answer = raw(self.port, data)
            self.assertTrue(answer.startswith(status_line), answer[:80])
            strict_json(answer.split(b"\r\n\r\n", 1)[1].decode())
        self.assertEqual(self.get("/delay/0050").json(), {"dur": 50})

    @unittest.skipIf(shutil.which("curl") is None, "no curl")
    def test_curl(self):
        base = "http://127.0.0.1:%d" % self.port

        def curl(*args):
            return subprocess.run(["curl", "-sS", "--max-time", str(int(BOUND)), *args],
                                  capture_output=True, check=True, timeout=BOUND + 5).stdout

        self.assertEqual(len(strict_json(curl(base + "/options"))), 97)
        self.assertEqual(curl("-o", "/dev/null", "-w", "%{http_code}", "-X", "PUT",
                              base + "/option/lsmaxit?value=7"), b"302")
        self.assertEqual(self.option("lsmaxit"), 7)
        curl("-F", "name=lsmaxit", "-F", "value=8", base + "/set-option")
        self.assertEqual(self.option("lsmaxit"), 8)
        curl("-d", "name=lsmaxit&value=9", base + "/set-option")
        self.assertEqual(self.option("lsmaxit"), 9)
        self.assertEqual(strict_json(curl(base + "/data/y")), [1, "NaN", "Inf"])


if __name__ == "__main__":
    unittest.main()
