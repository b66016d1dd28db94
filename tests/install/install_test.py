"""The installed libraries, used the way a user uses them.

Installs the build folder into a temporary prefix (no second build), checks
what went where, moves the tree (it must be relocatable), then builds the
C hosts quoted in README.md against the installed files only, with the
README's pkg-config lines and with its CMake project using
find_package(zelk), and runs them against their known answers (Rosenbrock's
minimum at (1, 1), reached by "tolObjAbs"; the least-squares answer of the
perturbed fit) and against the output the README shows for them, exactly:
the lines of its text blocks after a "$ " command, the number of lines its
"What a run writes" gives for the standard error of each such run, and on
standard output nothing of the library's but the lines the README names.
The runs are deterministic, so any figure that differs is a README out of
date or a changed library. Builds a C++ host of the option entry points
(options_host.cpp, with the README's C++ lines in it) with pkg-config
against libzelk and with find_package(zelk) against libzelkcomp, and runs
it. Runs the installed demo and the export test on the installed
libraries, and watches the fit through its monitor on 127.0.0.1
(HTTP_PORT=0), which must serve the installed index.html, also after the
libraries are moved into a multiarch folder.

usage: install_test.py CMAKE BUILD_DIR SOURCE_DIR VERSION EXPORT_TEST
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

CMAKE, BUILD, SOURCE, VERSION, EXPORT_TEST = sys.argv[1:6]
sys.path.insert(0, os.path.join(SOURCE, "tests", "httpd", "scripts"))
import monitor_host  # noqa: E402  (the bounded child-process and HTTP helpers)

BOUND = 120  # seconds for any one command
MULTIARCH = "x86_64-linux-gnu"

# Nothing of the caller's may steer where the installed tree is looked for.
for name in ("DESTDIR", "ZELK_HOME", "ZELK_SHARE", "ZELK_HTMLROOT", "ZELK_HTTP_ALLOW_REMOTE_SET",
             "LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "CMAKE_PREFIX_PATH", "HTTP_PORT"):
    os.environ.pop(name, None)


def run(command, cwd=None, env=None, shell=False):
    """The completed process; fails the test on a non-zero status."""
    environment = dict(os.environ)
    environment.update(env or {})
    done = subprocess.run(command, cwd=cwd, env=environment, shell=shell, capture_output=True,
                          text=True, timeout=BOUND)
    if done.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s\n%s" % (command, done.returncode,
                                                         done.stdout[-3000:], done.stderr[-3000:]))
    return done


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def tree(root):
    """Every file and link below root, relative to it."""
    found = set()
    for folder, dirs, files in os.walk(root):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def dynamic(path):
    """SONAME and RUNPATH/RPATH entries of an ELF file."""
    text = run(["readelf", "-d", path]).stdout
    entries = {}
    for key in ("SONAME", "RUNPATH", "RPATH"):
        found = re.search(r"\(%s\)\s+[^\[]*\[([^\]]*)\]" % key, text)
        entries[key] = found.group(1) if found else None
    return entries


def check_layout(prefix):
    manifest = open(os.path.join(BUILD, "install_manifest.txt")).read().split()
    check(manifest and all(p.startswith(prefix + "/") for p in manifest),
          "installed outside the prefix: %s" % [p for p in manifest if not p.startswith(prefix)])
    check(tree(prefix) == {os.path.relpath(p, prefix) for p in manifest},
          "the prefix holds other files than installed")

    major = VERSION.split(".")[0]
    for lib in ("libzelk", "libzelkcomp"):
        base = os.path.join(prefix, "lib", lib + ".so")
        check(os.readlink(base) == "%s.so.%s" % (lib, major), base)
        check(os.readlink("%s.%s" % (base, major)) == "%s.so.%s" % (lib, VERSION), base)
        entries = dynamic("%s.%s" % (base, VERSION))
        check(entries["SONAME"] == "%s.so.%s" % (lib, major), entries)
        check(entries["RUNPATH"] is None and entries["RPATH"] is None, entries)
    check(dynamic(os.path.join(prefix, "bin", "linsolve_demo"))["RUNPATH"] == "$ORIGIN/../lib",
          "the demo finds the library beside it")

    for name in os.listdir(os.path.join(SOURCE, "include", "zelk")):
        check(open(os.path.join(SOURCE, "include", "zelk", name)).read() ==
              open(os.path.join(prefix, "include", "zelk", name)).read(), name)
    for name in os.listdir(os.path.join(SOURCE, "share", "html")):
        check(open(os.path.join(SOURCE, "share", "html", name), "rb").read() ==
              open(os.path.join(prefix, "share", "Zelk", "html", name), "rb").read(), name)

    # The package files must not name the folders they were made or put in.
    for folder in ("lib/pkgconfig", "lib/cmake/zelk"):
        for name in os.listdir(os.path.join(prefix, folder)):
            text = open(os.path.join(prefix, folder, name)).read()
            for path in (prefix, os.path.realpath(BUILD), os.path.realpath(SOURCE)):
                check(path not in text, "%s names %s" % (name, path))


def readme_text():
    return open(os.path.join(SOURCE, "README.md")).read()


def readme_sources():
    """The README's code blocks that start by naming their file, its compile
    commands, and the runs it shows: (command, expected output lines) from
    its text blocks."""
    readme = readme_text()
    blocks = re.findall(r"^```(\w+)\n(.*?)^```$", readme, re.M | re.S)
    files, commands, runs = {}, [], []
    for kind, body in blocks:
        named = re.match(r"(?:/\* |# )([\w.]+):", body)
        if named:
            files[named.group(1)] = body
        elif kind == "sh":
            commands += [line for line in body.splitlines() if line.strip()]
        elif kind == "text":
            for line in body.splitlines():
                if line.startswith("$ "):
                    runs.append((line[2:], []))
                elif runs:
                    runs[-1][1].append(line)
    check({"rosenbrock.c", "fit.c", "CMakeLists.txt"} <= set(files) and commands and runs,
          "README examples not found: %s" % sorted(files))
    return files, commands, runs


ROSENBROCK = (r"^status (\d+)  x = \(([^,]+), ([^)]+)\)  f = (\S+)", (1.0, 1.0), 1e-5)
# The least-squares answer of the README's perturbed samples (Gauss-Newton
# in 40-digit arithmetic).
FIT = (r"^status (\d+)  a = (\S+)  b = (\S+)", (1.9935547903855, 0.4978168742738), 1e-8)
# The library's own lines on standard output, which the README names.
LIBRARY_STDOUT = {"rosenbrock": ("CG beta: ",), "fit": ("Accept connections on socket port ",)}
HOST_STDOUT = {"rosenbrock": ("status ",), "fit": ("it ", "evaluations: ", "stop ", "status ")}


def check_result(text, known):
    """The host's last line gives status 0 and the known answer."""
    pattern, answer, tolerance = known
    found = re.search(pattern, text, re.M)
    check(found, "no result line:\n" + text[-2000:])
    check(found.group(1) == "0", found.group(0))
    check(all(abs(float(found.group(i + 2)) - answer[i]) < tolerance for i in range(2)),
          found.group(0))
    return found


def check_hosts(folder, cwd, env=None):
    for name, known in (("rosenbrock", ROSENBROCK), ("fit", FIT)):
        out = run([os.path.join(folder, name)], cwd=cwd, env=env).stdout
        found = check_result(out, known)
        if name == "rosenbrock":
            check(float(found.group(4)) < 1e-12, "not ended by tolObjAbs: " + found.group(0))
        for line in out.splitlines():
            check(line.startswith(HOST_STDOUT[name] + LIBRARY_STDOUT[name]),
                  "%s printed an unnamed line: %r" % (name, line))


def stderr_lines_said():
    """What "What a run writes" says each shown run writes to standard error:
    {"./fit": 40, ...} from its "N lines (`./fit`), M (`./fit trust`)"."""
    section = readme_text().split("\n## What a run writes\n")[1].split("\n## ")[0]
    said = re.findall(r"(\d+)(?: lines)?\s+\(`(\./[^`]+)`\)", section)
    return {command: int(count) for count, command in said}


def check_runs(runs, cwd, env):
    """Each run the README shows prints the lines it shows, at its end ("..."
    stands for the lines before), and writes as many lines to the file its
    standard error goes to as the README says."""
    written = {}
    for command, shown in runs:
        check(shown and shown[0] == "...", "no '...' before the output of " + command)
        printed = run(command, cwd=cwd, env=env, shell=True).stdout.splitlines()
        tail = printed[-(len(shown) - 1):]
        check(tail == shown[1:], "%s printed\n%s\nnot as README.md shows:\n%s" %
              (command, "\n".join(tail), "\n".join(shown[1:])))
        redirected = re.match(r"(.*?)\s+2>(\S+)$", command)
        check(redirected, "no 2>FILE after " + command)
        with open(os.path.join(cwd, redirected.group(2))) as log:
            written[redirected.group(1)] = len(log.read().splitlines())
    check(stderr_lines_said() == written,
          "standard error: the runs wrote %s lines, README.md says %s" %
          (written, stderr_lines_said()))


def build_readme_hosts(prefix, work):
    files, commands, runs = readme_sources()
    host_dir = os.path.join(work, "hosts")
    os.mkdir(host_dir)
    for name, body in files.items():
        with open(os.path.join(host_dir, name), "w") as f:
            f.write(body)

    # The README's compile lines, as they stand, through pkg-config.
    pkg = {"PKG_CONFIG_PATH": os.path.join(prefix, "lib", "pkgconfig")}
    for command in commands:
        run(command, cwd=host_dir, env=pkg, shell=True)
    installed = {"LD_LIBRARY_PATH": os.path.join(prefix, "lib"), "HTTP_PORT": "0"}
    check_hosts(host_dir, host_dir, installed)
    check_runs(runs, host_dir, installed)

    # The README's CMake project; its build tree finds the library itself.
    cmake_build = os.path.join(work, "cmake-build")
    run([CMAKE, "-S", host_dir, "-B", cmake_build, "-DCMAKE_PREFIX_PATH=" + prefix])
    run([CMAKE, "--build", cmake_build])
    check_hosts(cmake_build, host_dir, {"HTTP_PORT": "0"})
    return os.path.join(host_dir, "fit")


# A CMake project of the options host: the imported target alone must give
# it the headers and the language level they need.
OPTIONS_CMAKE = """cmake_minimum_required(VERSION 3.20)
project(options_host CXX)
find_package(zelk 0.1 REQUIRED)
add_executable(options_host options_host.cpp)
target_link_libraries(options_host PRIVATE zelk::zelkcomp)
"""


def readme_options_lines():
    """The README's C++ lines on the option entry points: its one cpp block."""
    blocks = re.findall(r"^```cpp\n(.*?)^```$", readme_text(), re.M | re.S)
    check(len(blocks) == 1, "README.md has %d C++ blocks, not one" % len(blocks))
    return blocks[0]


def check_options_host(prefix, work):
    folder = os.path.join(work, "options")
    os.mkdir(folder)
    shutil.copy(os.path.join(SOURCE, "tests", "install", "host", "options_host.cpp"), folder)
    with open(os.path.join(folder, "readme_options.inc"), "w") as f:
        f.write(readme_options_lines())
    with open(os.path.join(folder, "CMakeLists.txt"), "w") as f:
        f.write(OPTIONS_CMAKE)

    run("c++ -std=c++20 -Wall -Wextra -Werror options_host.cpp "
        "$(pkg-config --cflags --libs zelk) -o options_host", cwd=folder, shell=True,
        env={"PKG_CONFIG_PATH": os.path.join(prefix, "lib", "pkgconfig")})
    cmake_build = os.path.join(work, "options-build")
    run([CMAKE, "-S", folder, "-B", cmake_build, "-DCMAKE_PREFIX_PATH=" + prefix])
    run([CMAKE, "--build", cmake_build])
    for host, env in ((os.path.join(folder, "options_host"),
                       {"LD_LIBRARY_PATH": os.path.join(prefix, "lib")}),
                      (os.path.join(cmake_build, "options_host"), {})):
        out = run([host], env=env).stdout
        check(out == "options ok\n", "%s printed:\n%s" % (host, out))


def check_headers(prefix, work):
    """Every installed header compiles on its own; the C ones (which guard
    their C++ parts with __cplusplus) as C too."""
    flags = run(["pkg-config", "--cflags", "zelk"],
                env={"PKG_CONFIG_PATH": os.path.join(prefix, "lib", "pkgconfig")}).stdout.split()
    for name in sorted(os.listdir(os.path.join(prefix, "include", "zelk"))):
        source = os.path.join(work, "header.cpp")
        with open(source, "w") as f:
            f.write("#include <zelk/%s>\n" % name)
        run(["c++", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-fsyntax-only", *flags, source])
        if "__cplusplus" in open(os.path.join(prefix, "include", "zelk", name)).read():
            run(["cc", "-Wall", "-Wextra", "-Werror", "-fsyntax-only", "-x", "c", *flags, source])


def watch_fit(fit, libdir, html):
    """The fit of the library in libdir, paused at its start record, is
    watched through its monitor: / leads to the installed page, /history
    holds the start record. Then it runs to its known answer."""
    host = monitor_host.Host(fit, "pause", env={"LD_LIBRARY_PATH": libdir}, ready=r"^it 0  J ")
    try:
        host.await_stderr("Found libzelk in /proc//maps: ")
        check(os.path.join(os.path.realpath(libdir), "libzelk.so") in host.stderr(),
              "the monitor ran another library:\n" + host.stderr()[-2000:])
        root = monitor_host.request(host.port, "GET", "/")
        check(root.status in (301, 302, 303, 307) and root.headers.get("location") == "/index.html",
              "GET / answered %d %s" % (root.status, root.headers))
        page = monitor_host.request(host.port, "GET", "/index.html")
        check(page.status == 200, "GET /index.html answered %d" % page.status)
        check(page.body == open(os.path.join(html, "index.html"), "rb").read(),
              "not the installed index.html")
        history = monitor_host.request(host.port, "GET", "/history").json()
        check(history and history[0].get("it") == "0", "history %s" % history[:2])
        host.proc.stdin.close()  # no more pauses
        check_result(host.expect(FIT[0]).string, FIT)
    finally:
        code = host.finish()
    check(code == 0, "fit ended with %d" % code)


def main():
    with tempfile.TemporaryDirectory(prefix="zelk-install-") as work:
        installed = os.path.join(work, "installed")
        run([CMAKE, "--install", BUILD, "--prefix", installed])
        check_layout(installed)

        # Everything from here uses a moved tree.
        prefix = os.path.join(work, "moved")
        os.rename(installed, prefix)
        check_headers(prefix, work)
        fit = build_readme_hosts(prefix, work)
        check_options_host(prefix, work)

        demo = subprocess.run([os.path.join(prefix, "bin", "linsolve_demo")], capture_output=True,
                              text=True, timeout=BOUND, cwd=work)
        check(demo.returncode == 0 and "CG Result: " in demo.stderr, demo.stderr[-2000:])

        libdir = os.path.join(prefix, "lib")
        exports = run([EXPORT_TEST, "--gtest_filter=Exports.*"], env={
            "ZELK_EXPORT_TEST_LIB": os.path.join(libdir, "libzelk.so"),
            "ZELKCOMP_EXPORT_TEST_LIB": os.path.join(libdir, "libzelkcomp.so")})
        check("[  PASSED  ] 3 tests" in exports.stdout, exports.stdout[-2000:])

        html = os.path.join(prefix, "share", "Zelk", "html")
        watch_fit(fit, libdir, html)

        # The same tree with its libraries in a multiarch folder.
        os.rename(libdir, os.path.join(work, "lib"))
        os.mkdir(libdir)
        multiarch = os.path.join(libdir, MULTIARCH)
        os.rename(os.path.join(work, "lib"), multiarch)
        watch_fit(fit, multiarch, html)
    print("install test passed")


if __name__ == "__main__":
    main()
