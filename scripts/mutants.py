#!/usr/bin/env python3
"""The mutation run over the drivers (make mutants).

Each mutant of the catalogue (scripts/mutants.catalogue) is one small fault
put into one source file of norva/ or tembris/: a guard taken out, a lock
removed, a clamp or bound moved, a status swapped, an early return.  For each
mutant the run compiles only that file, links only that driver's module into
a folder of its own, and runs the tests that load the module with
VCP_MODULE_DIR pointing at the folder (the PnP manager then loads the mutated
module in place of the built one).  The first failing test kills the mutant;
a mutant that no test kills survives and is printed with its file, line and
change.  Two workers run side by side (--jobs); each test has a time limit
and so has each mutant, and a mutant that makes a test hang is killed by it.

The run ends with one line: "mutants: K killed of N (P%)".  Mutants the
catalogue marks equivalent (no test can tell them from the original, for the
reason given there) are run too but not counted; one that is killed after all
is reported, since its mark is then wrong.

    scripts/mutants.py                 the whole catalogue (needs build/host)
    scripts/mutants.py --check         only resolve every mutant against the sources
    scripts/mutants.py --list          the mutants with file and line
    scripts/mutants.py --only REGEX    the mutants whose id matches
    scripts/mutants.py --tests REGEX   only the tests whose name matches
"""

import argparse
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CATALOGUE = os.path.join(ROOT, "scripts", "mutants.catalogue")

# The ctest labels whose tests load each driver module.  e2e.test_inf only
# checks the INF of the target build and loads nothing.
MODULE_LABELS = {
    "norva": ["norva", "lifecycle", "reliability", "reliability/races", "port", "perf", "e2e"],
    "tembris": ["tembris", "norva", "lifecycle", "reliability", "reliability/races", "port", "perf", "e2e"],
}
NOT_LOADING = {"e2e.test_inf"}


@dataclass
class Edit:
    old: str
    new: str
    every: bool = False  # every occurrence in the scope (else exactly one)


@dataclass
class Mutant:
    ident: str
    path: str = ""
    scope: str = ""
    note: str = ""
    equivalent: str = ""
    tests: str = ""  # a regular expression: the tests to try first
    edits: list = field(default_factory=list)
    origin: int = 0  # line of the catalogue
    # Resolved against the sources:
    line: int = 0
    text: str = ""

    @property
    def module(self):
        return self.path.split("/")[0]

    def change(self):
        return "; ".join(f"`{e.old.strip()}` -> `{e.new.strip()}`" if e.new.strip() else f"`{e.old.strip()}` removed"
                         for e in self.edits)


class CatalogueError(Exception):
    pass


def parse_catalogue(path):
    mutants = []
    current = None
    defaults = {"path": "", "scope": ""}
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            key, _, rest = line.strip().partition(" ")
            rest = rest.strip()
            if key == "file":
                defaults = {"path": rest, "scope": ""}
                current = None
            elif key == "in" and current is None:
                defaults["scope"] = rest
            elif key == "mutant":
                if not rest or any(m.ident == rest for m in mutants):
                    raise CatalogueError(f"{path}:{number}: missing or repeated mutant id '{rest}'")
                current = Mutant(rest, path=defaults["path"], scope=defaults["scope"], origin=number)
                mutants.append(current)
            elif current is None:
                raise CatalogueError(f"{path}:{number}: '{key}' outside a mutant")
            elif key == "in":
                current.scope = rest
            elif key == "note":
                current.note = rest
            elif key == "equivalent":
                current.equivalent = rest
            elif key == "tests":
                current.tests = rest
            elif key in ("replace", "replace-all", "delete", "delete-all"):
                if key.startswith("delete"):
                    old, new = rest, ""
                else:
                    split = re.match(r"(.*?) =>(?: (.*))?$", rest)
                    if not split:
                        raise CatalogueError(f"{path}:{number}: replace needs 'OLD => NEW'")
                    old, new = split.group(1), split.group(2) or ""
                current.edits.append(Edit(old, new, key.endswith("-all")))
            else:
                raise CatalogueError(f"{path}:{number}: unknown key '{key}'")
    for m in mutants:
        if not m.path or not m.edits:
            raise CatalogueError(f"{path}:{m.origin}: mutant {m.ident} needs a file and at least one change")
        if m.module not in MODULE_LABELS:
            raise CatalogueError(f"{path}:{m.origin}: {m.path} is not a driver source")
    return mutants


def function_span(lines, name):
    """First and last line index of the body of function `name` (a definition
    starting at column 0, its body closed by a '}' at column 0)."""
    pattern = re.compile(r"^[A-Za-z_].*\b" + re.escape(name) + r"\s*\(")
    for i, line in enumerate(lines):
        if pattern.match(line) and not line.rstrip().endswith(";"):
            for j in range(i, len(lines)):
                if lines[j].startswith("}"):
                    return i, j
    return None


def line_ends(text):
    """A catalogue text with each \\n outside a C string literal made a line end."""
    out, quoted, i = [], False, 0
    while i < len(text):
        c = text[i]
        if c == '"' and (i == 0 or text[i - 1] != "\\"):
            quoted = not quoted
        if c == "\\" and text[i + 1:i + 2] == "n" and not quoted:
            out.append("\n")
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def resolve(m):
    """Applies the mutant's edits to its file's text; sets m.text and m.line.
    An edit's text may span lines (\\n outside a string literal ends a line)."""
    source = os.path.join(ROOT, m.path)
    try:
        with open(source, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise CatalogueError(f"mutant {m.ident}: {e}")
    original = text
    lines = text.split("\n")
    begin, end = 0, len(text)
    if m.scope:
        span = function_span(lines, m.scope)
        if not span:
            raise CatalogueError(f"mutant {m.ident}: no function {m.scope} in {m.path}")
        begin = sum(len(l) + 1 for l in lines[:span[0]])
        end = sum(len(l) + 1 for l in lines[:span[1] + 1])
    first = None
    for e in m.edits:
        old = line_ends(e.old)
        new = line_ends(e.new)
        scope = text[begin:end]
        total = scope.count(old)
        if total == 0:
            raise CatalogueError(f"mutant {m.ident}: `{e.old}` not found in {m.path} {m.scope}")
        if total > 1 and not e.every:
            raise CatalogueError(f"mutant {m.ident}: `{e.old}` found {total} times in {m.path} {m.scope}")
        at = begin + scope.index(old)
        line = text.count("\n", 0, at) + 1
        first = line if first is None else min(first, line)
        text = text[:begin] + scope.replace(old, new) + text[end:]
        end += (len(new) - len(old)) * total
    if text == original:
        raise CatalogueError(f"mutant {m.ident} changes nothing")
    m.line = first
    m.text = text


# ---------------------------------------------------------------------------
# Building one mutant


class Builder:
    def __init__(self, build_dir):
        self.build_dir = build_dir
        with open(os.path.join(build_dir, "compile_commands.json")) as f:
            self.compile = {os.path.realpath(e["file"]): e for e in json.load(f)}

    def build(self, m, work):
        """Compiles the mutated file and links its module into work/module;
        returns (True, path) or (False, compiler output)."""
        source = os.path.realpath(os.path.join(ROOT, m.path))
        entry = self.compile.get(source)
        if entry is None:
            return False, f"{m.path} is not in compile_commands.json"
        srcdir = os.path.join(work, "src")
        moddir = os.path.join(work, "module")
        for d in (srcdir, moddir):
            os.makedirs(d, exist_ok=True)
        for old in os.listdir(moddir):
            os.unlink(os.path.join(moddir, old))
        mutated = os.path.join(srcdir, os.path.basename(source))
        with open(mutated, "w", encoding="utf-8") as f:
            f.write(m.text)
        obj = os.path.join(work, "mutant.o")

        args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
        out = args.index("-o")
        rel_obj = args[out + 1]
        args[out + 1] = obj
        args = [mutated if os.path.realpath(os.path.join(entry["directory"], a)) == source else a for a in args]
        # The mutated copy reads as the original: same includes, same __FILE__.
        args[1:1] = ["-iquote", os.path.dirname(source), f"-ffile-prefix-map={srcdir}={os.path.dirname(source)}"]
        r = subprocess.run(args, cwd=entry["directory"], capture_output=True, text=True)
        if r.returncode != 0:
            return False, r.stdout + r.stderr

        module_dir = os.path.join(self.build_dir, m.module)
        with open(os.path.join(module_dir, "CMakeFiles", f"{m.module}.dir", "link.txt")) as f:
            link = shlex.split(f.read())
        target = os.path.join(moddir, f"{m.module}.so")
        link = [obj if a == rel_obj else a for a in link]
        link[link.index("-o") + 1] = target
        r = subprocess.run(link, cwd=module_dir, capture_output=True, text=True)
        if r.returncode != 0:
            return False, r.stdout + r.stderr
        return True, moddir


# ---------------------------------------------------------------------------
# Tests


@dataclass
class Test:
    name: str
    command: list
    cwd: str
    env: dict
    labels: list
    limit: float
    seconds: float = 0.0  # the unmutated run's time
    kills: int = 0


def load_tests(build_dir):
    r = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"], capture_output=True, text=True,
                       check=True)
    tests = []
    for t in json.loads(r.stdout)["tests"]:
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        env = dict(v.split("=", 1) for v in props.get("ENVIRONMENT", []))
        tests.append(Test(t["name"], t["command"], props.get("WORKING_DIRECTORY", build_dir), env,
                          props.get("LABELS", []), float(props.get("TIMEOUT", 120))))
    return tests


# Tests run in sessions of their own (so that a timed-out one is killed with
# its children); an interrupted run ends the ones still going.
RUNNING = set()
RUNNING_LOCK = threading.Lock()


def end_running_tests(signum, frame):
    with RUNNING_LOCK:
        for proc in RUNNING:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    os._exit(128 + signum)


def run_test(test, module_dir, limit):
    """'pass', 'fail' or 'timeout', and the seconds taken."""
    env = dict(os.environ)
    env.update(test.env)
    if module_dir:
        env["VCP_MODULE_DIR"] = module_dir
    env.setdefault("GTEST_COLOR", "no")
    start = time.monotonic()
    proc = subprocess.Popen(test.command, cwd=test.cwd, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, start_new_session=True)
    with RUNNING_LOCK:
        RUNNING.add(proc)
    try:
        code = proc.wait(timeout=limit)
        verdict = "pass" if code == 0 else "fail"
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        verdict = "timeout"
    with RUNNING_LOCK:
        RUNNING.discard(proc)
    return verdict, time.monotonic() - start


# ---------------------------------------------------------------------------
# The run


class Run:
    def __init__(self, args, mutants, tests):
        self.args = args
        self.queue = list(mutants)
        self.tests = tests
        self.lock = threading.Lock()
        self.results = {}
        self.done = 0
        self.total = len(mutants)

    def tests_for(self, m):
        labels = MODULE_LABELS[m.module]
        chosen = [t for t in self.tests if t.name not in NOT_LOADING and any(l in labels for l in t.labels)]
        hint = re.compile(m.tests) if m.tests else None
        with self.lock:
            # The tests named by the catalogue first, then those that have
            # killed most so far, then the quickest.
            return sorted(chosen, key=lambda t: (not (hint and hint.search(t.name)), -t.kills, t.seconds))

    def worker(self, index, builder):
        work = os.path.join(self.args.work, f"w{index}")
        while True:
            with self.lock:
                if not self.queue:
                    return
                m = self.queue.pop(0)
            start = time.monotonic()
            ok, where = builder.build(m, work)
            if not ok:
                result = ("unbuilt", where.strip().splitlines()[-1] if where.strip() else "")
            else:
                result = ("survived", "")
                deadline = start + self.args.mutant_timeout
                for t in self.tests_for(m):
                    left = deadline - time.monotonic()
                    if left <= 0:
                        result = ("killed", "time limit of the mutant")
                        break
                    limit = min(left, t.limit, max(self.args.test_timeout, 20 * t.seconds))
                    verdict, _ = run_test(t, where, limit)
                    if verdict != "pass":
                        result = ("killed", t.name + (" (timed out)" if verdict == "timeout" else ""))
                        with self.lock:
                            t.kills += 1
                        break
            with self.lock:
                self.results[m.ident] = result
                self.done += 1
                status, detail = result
                mark = " [equivalent]" if m.equivalent else ""
                print(f"[{self.done}/{self.total}] {m.ident}{mark}: {status}"
                      f"{' by ' + detail if status == 'killed' else ''} ({time.monotonic() - start:.0f} s)", flush=True)

    def go(self):
        builder = Builder(self.args.build)
        threads = [threading.Thread(target=self.worker, args=(i, builder)) for i in range(self.args.jobs)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()


def baseline(tests, jobs, modules):
    """Runs the tests the mutants will use on the unmutated modules: each must
    pass, and its time orders the mutant runs."""
    labels = {l for m in modules for l in MODULE_LABELS[m]}
    chosen = [t for t in tests if t.name not in NOT_LOADING and any(l in labels for l in t.labels)]
    failed = []
    lock = threading.Lock()
    queue = list(chosen)

    def work():
        while True:
            with lock:
                if not queue:
                    return
                t = queue.pop(0)
            verdict, seconds = run_test(t, None, t.limit)
            with lock:
                t.seconds = seconds
                if verdict != "pass":
                    failed.append(f"{t.name} ({verdict})")

    threads = [threading.Thread(target=work) for _ in range(jobs)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return chosen, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "host"), help="the host build")
    parser.add_argument("--work", default=None, help="where mutants are built (default BUILD/mutants)")
    parser.add_argument("--jobs", type=int, default=2, help="mutants at once (2)")
    parser.add_argument("--test-timeout", type=float, default=60, help="a test's least time limit, seconds (60)")
    parser.add_argument("--mutant-timeout", type=float, default=900, help="a mutant's time limit, seconds (900)")
    parser.add_argument("--only", default=None, help="only the mutants whose id matches this regular expression")
    parser.add_argument("--tests", default=None,
                        help="only the tests whose name matches this regular expression (while iterating)")
    parser.add_argument("--check", action="store_true", help="resolve the catalogue against the sources and stop")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.work = os.path.abspath(args.work or os.path.join(args.build, "mutants"))

    try:
        mutants = parse_catalogue(CATALOGUE)
        for m in mutants:
            resolve(m)
    except CatalogueError as e:
        print(f"mutants: catalogue error: {e}", file=sys.stderr)
        return 2
    if args.only:
        mutants = [m for m in mutants if re.search(args.only, m.ident)]
    if args.check:
        print(f"mutants: {len(mutants)} in the catalogue, each resolved against its source "
              f"({sum(1 for m in mutants if m.equivalent)} marked equivalent)")
        return 0
    if args.list:
        for m in mutants:
            mark = f"  [equivalent: {m.equivalent}]" if m.equivalent else ""
            print(f"{m.ident}: {m.path}:{m.line} {m.change()}{mark}")
        return 0
    if not mutants:
        print("mutants: none selected")
        return 2

    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, end_running_tests)
    started = time.monotonic()
    tests = load_tests(args.build)
    if args.tests:
        tests = [t for t in tests if re.search(args.tests, t.name)]
    chosen, failed = baseline(tests, args.jobs, {m.module for m in mutants})
    if failed:
        print("mutants: the unmutated drivers fail these tests; mend them first:\n  " + "\n  ".join(failed))
        return 2
    print(f"mutants: baseline of {len(chosen)} tests passed in {time.monotonic() - started:.0f} s; "
          f"{len(mutants)} mutants, {args.jobs} at a time", flush=True)
    shutil.rmtree(args.work, ignore_errors=True)

    run = Run(args, mutants, tests)
    run.go()

    counted = [m for m in mutants if not m.equivalent]
    killed = [m for m in counted if run.results[m.ident][0] == "killed"]
    survivors = [m for m in counted if run.results[m.ident][0] == "survived"]
    unbuilt = [m for m in mutants if run.results[m.ident][0] == "unbuilt"]
    wrongly = [m for m in mutants if m.equivalent and run.results[m.ident][0] == "killed"]
    equivalent = [m for m in mutants if m.equivalent and run.results[m.ident][0] == "survived"]

    print()
    for m in survivors:
        print(f"SURVIVED {m.path}:{m.line} {m.ident}: {m.change()}" + (f"  ({m.note})" if m.note else ""))
    for m in equivalent:
        print(f"equivalent {m.path}:{m.line} {m.ident}: {m.change()}  ({m.equivalent})")
    for m in wrongly:
        print(f"KILLED BUT MARKED EQUIVALENT {m.path}:{m.line} {m.ident} by {run.results[m.ident][1]}")
    for m in unbuilt:
        print(f"DOES NOT BUILD {m.path}:{m.line} {m.ident}: {run.results[m.ident][1]}")
    minutes = (time.monotonic() - started) / 60
    print(f"time: {minutes:.1f} min with {args.jobs} jobs")
    n = len(counted) - len([m for m in unbuilt if not m.equivalent])
    share = 100.0 * len(killed) / n if n else 0.0
    print(f"mutants: {len(killed)} killed of {n} ({share:.1f}%)")
    return 1 if unbuilt or wrongly else 0


if __name__ == "__main__":
    sys.exit(main())
