"""The folders of src/ and httpd/ use only what lies below them.

  dense <- options <- linear <- eigen <- driver <- minimize, steps <- leastsq
  httpd needs options (and what lies below it); leastsq runs the monitor.

The one arrow across on purpose: the linear-solve table's haircut methods
(linear/linsolve_haircut.cpp) use the eigen-block filter of eigen/.

Checked twice: on the sources' #include lines (no include up the layers,
no circle of files), and on the compiled objects given after the source
folder (no object needing a definition from a layer above its own, no
circle of objects needing each other's definitions, which a header shared
by several files hides from the includes).

usage: layers_test.py SOURCE_DIR OBJECT...
"""

import os
import re
import subprocess
import sys

SOURCE = sys.argv[1]
# CMake hands each target's objects over as one ";"-separated list.
OBJECTS = [path for arg in sys.argv[2:] for path in arg.split(";") if path]

BELOW = {
    "dense": set(),
    "options": {"dense"},
    "linear": {"dense", "options"},
    "eigen": {"dense", "options", "linear"},
    "driver": {"dense", "options", "linear", "eigen"},
    "minimize": {"dense", "options", "linear", "eigen", "driver"},
    "steps": {"dense", "options", "linear", "eigen", "driver"},
    "leastsq": {"dense", "options", "linear", "eigen", "driver", "steps", "httpd"},
    "httpd": {"dense", "options"},
}
CROSSING = {("linear/linsolve_haircut", "eigen/eigen_block_iter")}

failures = []


def module(path):
    """A file's module: its folder and name without the extension
    ("linear/cg_solver" for src/linear/cg_solver.h and .cpp)."""
    path = os.path.splitext(path)[0]
    return path[len("src/"):] if path.startswith("src/") else path


def allowed(source, target):
    """May module source use module target?"""
    a, b = source.split("/")[0], target.split("/")[0]
    return a == b or b in BELOW[a] or (source, target) in CROSSING


def circles(graph):
    """The strongly connected groups of more than one module (Tarjan)."""
    index, low, stack, on, found = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                found.append(sorted(group))

    sys.setrecursionlimit(10000)
    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


def check(graph, what):
    for source, targets in sorted(graph.items()):
        for target in sorted(targets):
            if target.split("/")[0] in BELOW and not allowed(source, target):
                failures.append("%s: %s uses %s, above it" % (what, source, target))
    for group in circles(graph):
        failures.append("%s: circle of %s" % (what, ", ".join(group)))


def include_graph():
    graph = {}
    for top in ("src", "httpd"):
        for folder, _, names in os.walk(os.path.join(SOURCE, top)):
            for name in names:
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.relpath(os.path.join(folder, name), SOURCE)
                text = open(os.path.join(SOURCE, path)).read()
                for included in re.findall(r'^\s*#\s*include\s+"([^"]+)"', text, re.M):
                    target = module(included)
                    if target.split("/")[0] in BELOW and target != module(path):
                        graph.setdefault(module(path), set()).add(target)
    return graph


def object_graph():
    """Module -> modules whose objects define what its object needs."""
    defines, needs = {}, {}
    out = subprocess.run(["nm", "--print-file-name", *OBJECTS], capture_output=True, text=True,
                         check=True).stdout
    for line in out.splitlines():
        path, _, entry = line.partition(": ")
        # .../zelk_comp_objs.dir/src/dense/matrix.cpp.o
        name = module(path.split(".dir/", 1)[1][:-len(".o")])
        fields = entry.split()
        if len(fields) == 3 and fields[1] in "TDBR":
            defines.setdefault(name, set()).add(fields[2])
        elif len(fields) == 2 and fields[0] == "U":
            needs.setdefault(name, set()).add(fields[1])
    owner = {}
    for name, symbols in defines.items():
        for symbol in symbols:
            owner.setdefault(symbol, name)
    graph = {}
    for name, symbols in needs.items():
        for symbol in symbols:
            if symbol in owner and owner[symbol] != name:
                graph.setdefault(name, set()).add(owner[symbol])
    return graph


def main():
    check(include_graph(), "include")
    if OBJECTS:
        check(object_graph(), "link")
    if failures:
        print("\n".join(failures))
        sys.exit(1)
    print("layers hold: %d objects" % len(OBJECTS))


if __name__ == "__main__":
    main()
