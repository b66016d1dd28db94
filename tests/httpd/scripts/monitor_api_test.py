"""The monitor's read and set routes over the test host's synthetic run."""

import os
import shutil
import subprocess
import unittest

from monitor_host import BOUND, Host, end_clean, host_exe, strict_json

EXE = host_exe()
HTML = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(EXE))), "html")


class MonitorApi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = Host(EXE)
        cls.addClassCleanup(end_clean, cls.host)

    def option(self, name):
        return self.host.get("/option/" + name).json()["value"]

    def put(self, name, value, headers=None):
        return self.host.request("PUT", "/option/%s?value=%s" % (name, value), headers=headers)

    def test_options_status_and_data(self):
        answer = self.host.get("/options")
        self.assertEqual((answer.status, answer.headers["content-type"]), (200, "text/json"))
        names = [o["name"] for o in answer.json()]
        self.assertEqual((len(names), names), (97, sorted(names)))
        self.assertNotIn("c1", names)
        c1 = self.host.get("/option/c1/").json()
        self.assertEqual((c1["name"], c1["readonly"]), ("c1", 1))
        self.assertEqual([s["name"] for s in self.host.get("/status").json()],
                         ["error", "iter", "status"])
        self.assertEqual(self.host.get("/data/y/").body, b'[1, "NaN", "Inf"]')
        self.assertEqual(self.host.get("/data/z").json(), {"error": "Data item not found"})

    def test_static_files(self):
        self.assertEqual(self.host.get("/").headers["location"], "/index.html")
        for path, mime in [("/index.html", "text/html"), ("/html/index.html", "text/html"),
                           ("/js/app.js", "text/javascript"), ("/css/style.css", "text/css"),
                           ("/get/style.css", "text/css"),
                           ("/favicon.ico", "application/octet-stream")]:
            with open(os.path.join(HTML, os.path.basename(path)), "rb") as f:
                answer = self.host.get(path)
                self.assertEqual((answer.status, answer.headers.get("content-type"), answer.body),
                                 (200, mime, f.read()), path)
        for path, status in [("/get/a..b", 401), ("/get/.", 404), ("/get/nothing.txt", 404),
                             ("/file/a/b/c/d", 401)]:
            answer = self.host.get(path)
            self.assertEqual((answer.status, list(answer.json())), (status, ["error"]), path)

    def test_set_option_by_put_and_both_forms(self):
        multipart = "".join('--zz\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n' % f
                            for f in [("name", "maxrt"), ("value", "0.75")]) + "--zz--\r\n"
        for send, value in [
                (lambda: self.put("maxrt", "0.25"), 0.25),
                (lambda: self.host.request(
                    "POST", "/set-option", body="name=maxrt&value=0.5",
                    headers={"Content-Type": "application/x-www-form-urlencoded"}), 0.5),
                (lambda: self.host.request(
                    "POST", "/set-option/", body=multipart,
                    headers={"Content-Type": "multipart/form-data; boundary=zz"}), 0.75),
                (lambda: self.put("maxrt", "1e-3x"), "NaN")]:
            answer = send()
            self.assertEqual((answer.status, answer.headers.get("location"), answer.body),
                             (302, "/index.html", b""))
            self.assertEqual(self.option("maxrt"), value)

    def test_set_option_refused_by_the_parsed_host_and_origin_headers(self):
        for headers, refusal in [
                ({"Host": "monitor.example:%d" % self.host.port}, (421, "Misdirected Request")),
                ({"Origin": "http://monitor.example"}, (401, "Forbidden")),
                ({"Host": "192.0.2.7:%d" % self.host.port}, (401, "Forbidden"))]:
            answer = self.put("cgmode", "3", headers)
            self.assertEqual((answer.status, answer.json()), (refusal[0], {"error": refusal[1]}))
            self.assertEqual(self.option("cgmode"), 4)

    @unittest.skipIf(shutil.which("curl") is None, "no curl")
    def test_curl(self):
        base = "http://127.0.0.1:%d" % self.host.port

        def curl(*args):
            return subprocess.run(["curl", "-sS", "--max-time", str(int(BOUND)), *args],
                                  capture_output=True, check=True, timeout=BOUND + 5).stdout

        self.assertEqual(strict_json(curl(base + "/data/y")), [1, "NaN", "Inf"])
        for value, form in [("7", ("-X", "PUT", base + "/option/lsmaxit?value=7")),
                            ("8", ("-F", "name=lsmaxit", "-F", "value=8", base + "/set-option")),
                            ("9", ("-d", "name=lsmaxit&value=9", base + "/set-option"))]:
            self.assertEqual(curl("-o", "/dev/null", "-w", "%{http_code}", *form), b"302")
            self.assertEqual(self.option("lsmaxit"), int(value))


if __name__ == "__main__":
    unittest.main()
