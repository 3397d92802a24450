#!/usr/bin/env python3
"""Generated one-line mutants of the C++ sources, each built and tested on a copy of the tree.

    scripts/mutants.py [--files GLOB...] [--limit N] [--seed S] [--list] [--summary]

Where scripts/mutations.txt holds the faults someone thought of, this makes them by operator,
everywhere: a relational operator swapped, && and || swapped, a condition negated or made
constant, an integer literal moved by one, a failure returned as success, a flag or a mode bit
dropped, a statement deleted. Comments, strings and lines marked "mutants: skip" (logging, say)
are left alone. The order is deterministic: by file, line and operator; --seed picks a random
but repeatable sample of --limit mutants instead of the first ones.

Most mutants are switched, not built: every mutant that a schema can hold (see
mutant_schemata.py) is compiled into one build of a copy of the tree (MUTANTS_DIR/schemata/),
each test is run once to learn which mutants it reaches, and then each mutant is switched on in
turn and run by the tests that reach it, cheapest first, up to the first failure. A mutant that
no test reaches survives without running. The rest (template arguments, array sizes, member
initialiser lists, and what does not compile) are applied one at a time to a second copy (MUTANTS_DIR/tree/), built
incrementally (the tools and the test binaries concerned, through ccache) and run by the tests
that reach the switched mutants of the same function (or of the same file). --one-by-one builds
every mutant on its own instead and runs the tests whose CTest label names its directory. The
file is put back whatever happens, Ctrl-C included. A mutant is
  killed      a test failed;
  timed out   a test ran past its time (a loop that no longer ends);
  survived    every test passed: a missing test, or an equivalent mutant to list, with its
              reason, in scripts/mutants-equivalent.txt (those are not run again);
  not built   the mutated code does not compile (warnings are errors).
Results are kept in MUTANTS_DIR/results.json, so that a tree can be covered in chunks
(--survivors --and-new: the survivors again, then what has no result yet);
--summary prints the table of the mutants of --files from what was recorded, run or not.
Exits non-zero when a survivor is not listed as equivalent.
"""

import argparse
import fnmatch
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EQUIVALENTS = os.path.join(ROOT, "scripts", "mutants-equivalent.txt")
SKIP_MARK = "mutants: skip"


@dataclass(frozen=True)
class Mutant:
    file: str      # relative to the root, e.g. src/io/utf8.cpp
    line: int      # 1-based line of the first character changed
    start: int     # offsets into the file's text
    end: int
    replacement: str
    operator: str
    original_line: str  # the whole original line(s), stripped
    mutant_line: str    # the same with the change made

    def key(self):
        # Line numbers move as the code does; the text of the line and of its mutant do not.
        return f"{self.file}\t{self.original_line}\t{self.mutant_line}"


# ---------------------------------------------------------------------------------------------
# The generator


def blank_non_code(text):
    """The text with comments, string and character literals replaced by spaces (newlines kept),
    so that offsets stay those of the original and no operator is found inside them."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                i += 1
                continue
            close = ")" + m.group(1) + '"'
            j = text.find(close, i + m.end())
            j = n if j < 0 else j + len(close)
            blank(i + 1, j)
            i = j
        elif c == '"' or (c == "'" and not (i > 0 and text[i - 1].isalnum())):
            # A ' after a digit or letter is a digit separator (1'000), not a character literal.
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            blank(i + 1, j - 1)
            i = j
        else:
            i += 1
    return "".join(out)


def matching_paren(code, open_at):
    depth = 0
    for k in range(open_at, len(code)):
        if code[k] == "(":
            depth += 1
        elif code[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
# Flags whose absence still compiles and changes what a system call does.
FLAG = re.compile(r"\b(O_[A-Z]+|S_I[RWX](?:USR|GRP|OTH|U|G|O)|MAP_[A-Z_]+|AT_[A-Z_]+|MFD_[A-Z_]+|"
                  r"RESOLVE_[A-Z_]+|MSG_[A-Z]+|FD_CLOEXEC|SOCK_CLOEXEC)\b")
INTEGER = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F']+|0[0-7']+|[0-9][0-9']*)([uUlL]*)(?![\w.'])")
# Lines that declare rather than do: deleting them does not build, so they are not tried.
NOT_A_STATEMENT = re.compile(
    r"^(return\b|const\b|constexpr\b|static\b|auto\b|using\b|struct\b|class\b|enum\b|"
    r"namespace\b|template\b|typedef\b|case\b|default\b|public\b|private\b|protected\b|"
    r"if\b|while\b|for\b|extern\b|friend\b|inline\b|explicit\b|virtual\b|\}|#)")
ASSIGNMENT = re.compile(r"^(\+\+|--)?[\w.\->\[\]]+\s*(\+\+|--|[-+*/|&^]?=)")
CONDITION_DECLARATION = re.compile(r"^\s*[\w:<>, ]+[\s*&]+[A-Za-z_]\w*\s*=[^=]")
DECLARATION = re.compile(r"^[A-Za-z_][\w:]*(<.*>)?[\s*&]+[A-Za-z_]\w*\s*(=|;|\{|\(|\[)")


def is_deletable_statement(stripped):
    if stripped in ("break;", "continue;"):
        return True
    if not stripped.endswith(";") or stripped.count(";") != 1:
        return False
    if stripped.endswith(("= delete;", "= default;")):
        return False
    if NOT_A_STATEMENT.match(stripped) or DECLARATION.match(stripped):
        return False
    return "(" in stripped or ASSIGNMENT.match(stripped) is not None


def line_bounds(text, offset):
    start = text.rfind("\n", 0, offset) + 1
    end = text.find("\n", offset)
    return start, (len(text) if end < 0 else end)


def make(path, text, code, start, end, replacement, operator):
    first, _ = line_bounds(text, start)
    _, last = line_bounds(text, max(start, end - 1))
    original = text[first:last]
    mutated = text[first:start] + replacement + text[end:last]

    def squeeze(s):
        return " ".join(s.split())

    return Mutant(path, text.count("\n", 0, start) + 1, start, end, replacement, operator,
                  squeeze(original), squeeze(mutated))


def skipped_lines(text):
    lines = set()
    for number, line in enumerate(text.split("\n"), 1):
        stripped = line.strip()
        if SKIP_MARK in line or stripped.startswith("#") or stripped.startswith("static_assert"):
            lines.add(number)
    return lines


def shifted_literal(literal, delta):
    digits = literal.replace("'", "")
    if digits[:2] in ("0x", "0X"):
        value = int(digits, 16) + delta
        upper = any(c in "ABCDEF" for c in digits[2:])
        return None if value < 0 else digits[:2] + format(value, "X" if upper else "x")
    if len(digits) > 1 and digits.startswith("0"):
        value = int(digits, 8) + delta
        return None if value < 0 else "0" + format(value, "o")
    value = int(digits) + delta
    return None if value < 0 else str(value)


def mode_bits_dropped(literal):
    """Each non-zero digit of an octal mode cleared in turn: 0644 -> 0044, 0604, 0640."""
    digits = literal.replace("'", "")
    for k in range(1, len(digits)):
        if digits[k] != "0":
            yield digits[:k] + "0" + digits[k + 1:]


def generate(path, text):
    code = blank_non_code(text)
    skip = skipped_lines(text)
    found = []

    def add(start, end, replacement, operator):
        m = make(path, text, code, start, end, replacement, operator)
        if m.line not in skip and m.original_line != m.mutant_line:
            found.append(m)

    # Binary operators are written with a space on each side here, which tells them from
    # template brackets, shifts, arrows and rvalue references.
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", code):
        add(m.start(), m.end(), RELATIONAL[m.group(1)], "relational")
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        add(m.start(), m.end(), "||" if m.group(1) == "&&" else "&&", "logical")

    for m in re.finditer(r"\b(if|while)\s*\(", code):
        open_at = m.end() - 1
        close = matching_paren(code, open_at)
        if close < 0:
            continue
        condition = text[open_at + 1:close]
        if ";" in code[open_at + 1:close] or CONDITION_DECLARATION.match(condition):
            continue  # a declaration in the condition: if (auto x = f()) does not negate
        add(open_at + 1, close, "!(" + condition + ")", "negated")
        if m.group(1) == "if":
            add(open_at + 1, close, "true", "always")
            add(open_at + 1, close, "false", "never")

    for m in INTEGER.finditer(code):
        literal, suffix = m.group(1), m.group(2)
        before = code[max(0, m.start() - 1):m.start()]
        if before == "[" and code[m.end():m.end() + 1] == "]":
            pass  # an index or an array size: moving it is as good a mutant as any
        for delta in (1, -1):
            shifted = shifted_literal(literal, delta)
            if shifted is not None:
                add(m.start(), m.end(), shifted + suffix, "literal")
        digits = literal.replace("'", "")
        if len(digits) > 2 and digits.startswith("0") and digits[1] in "01234567":
            for dropped in mode_bits_dropped(literal):
                add(m.start(), m.end(), dropped + suffix, "mode bit")

    for m in FLAG.finditer(code):
        # Drop "X | " or " | X": the flag and the operator that joins it to the rest.
        after = re.match(r"\s*\|\s*", code[m.end():])
        before = re.search(r"\s*\|\s*$", code[max(0, m.start() - 20):m.start()])
        if after:
            add(m.start(), m.end() + after.end(), "", "flag dropped")
        elif before:
            add(m.start() - len(before.group(0)), m.end(), "", "flag dropped")

    for m in re.finditer(r"\breturn\s+std::unexpected\s*\(", code):
        close = matching_paren(code, m.end() - 1)
        semicolon = code.find(";", close)
        if close > 0 and code[close + 1:semicolon].strip() == "":
            add(m.start(), semicolon, "return {}", "failure as success")
    for m in re.finditer(r"\breturn\s+false\s*;", code):
        add(m.start(), m.end(), "return true;", "failure as success")

    # Whole one-line statements deleted: calls, assignments, increments, break and continue.
    offset = 0
    for line in code.split("\n"):
        if is_deletable_statement(line.strip()):
            begin = offset + len(line) - len(line.lstrip())
            # The statement must start on this line, not be the tail of one begun above.
            previous = code[:offset].rstrip()
            if (previous == "" or previous[-1] in ";{}:"
                    or re.search(r"\b(if|for|while|else)\b[^;{}]*\)$", previous[-200:])
                    or previous.endswith("else")):
                add(begin, offset + len(line.rstrip()), "", "statement deleted")
        offset += len(line) + 1

    found.sort(key=lambda m: (m.start, m.end, m.operator, m.replacement))
    unique, seen = [], set()
    for m in found:
        if m.key() not in seen:
            seen.add(m.key())
            unique.append(m)
    return unique


def source_files(patterns):
    files = []
    for base, _, names in os.walk(os.path.join(ROOT, "src")):
        for name in names:
            if name.endswith(".cpp"):
                files.append(os.path.relpath(os.path.join(base, name), ROOT))
    files.sort()
    if patterns:
        files = [f for f in files if any(fnmatch.fnmatch(f, p) or f.startswith(p.rstrip("/") + "/")
                                         or f == p for p in patterns)]
    return files


def all_mutants(files):
    mutants = []
    for path in files:
        with open(os.path.join(ROOT, path), encoding="utf-8") as f:
            mutants += generate(path, f.read())
    return mutants


def read_equivalents():
    """Blocks of "file:", "line:", "mutant:" and "why:" lines, blank lines between."""
    entries, block = {}, {}

    def flush():
        if block:
            missing = {"file", "line", "mutant", "why"} - block.keys()
            if missing:
                sys.exit(f"{EQUIVALENTS}: a block lacks {', '.join(sorted(missing))}: {block}")
            entries[f"{block['file']}\t{block['line']}\t{block['mutant']}"] = block["why"]
        block.clear()

    if os.path.exists(EQUIVALENTS):
        with open(EQUIVALENTS, encoding="utf-8") as f:
            for raw in f:
                line = raw.rstrip("\n")
                if line.startswith("#"):
                    continue
                if not line.strip():
                    flush()
                    continue
                name, _, value = line.partition(":")
                if name not in ("file", "line", "mutant", "why"):
                    sys.exit(f"{EQUIVALENTS}: cannot read line: {line}")
                block[name] = " ".join(value.split())
        flush()
    return entries


# ---------------------------------------------------------------------------------------------
# The runner


def directory_label(path):
    """The CTest label of the tests that can see a source file: its directory under src/."""
    return os.path.dirname(os.path.relpath(path, "src"))


class Tree:
    """A copy of the working tree with its own build directory, sharing objects via ccache."""

    def __init__(self, work, jobs, timeout, flags=""):
        self.flags = flags
        self.work = work
        self.tree = os.path.join(work, "tree")
        self.build = os.path.join(self.tree, "build")
        self.jobs = jobs
        self.timeout = timeout
        self.env = dict(os.environ, CCACHE_BASEDIR=self.tree)

    def sync(self):
        """Copies the tracked and new files of the working tree; unchanged ones keep their
        times, so that nothing is rebuilt for them."""
        listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-co", "--exclude-standard", "-z"],
                                check=True, capture_output=True).stdout.decode().split("\0")
        for rel in filter(None, listed):
            source, target = os.path.join(ROOT, rel), os.path.join(self.tree, rel)
            if not os.path.isfile(source) or os.path.islink(source):
                continue
            with open(source, "rb") as f:
                data = f.read()
            try:
                with open(target, "rb") as f:
                    if f.read() == data:
                        continue
            except FileNotFoundError:
                os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(data)
            shutil.copymode(source, target)
        # The shared material (conformance corpus) sits next to the tree, as it does next to ours.
        shared = os.path.realpath(os.path.join(ROOT, "..", "shared"))
        link = os.path.join(self.work, "shared")
        if os.path.isdir(shared) and not os.path.lexists(link):
            os.symlink(shared, link)

    def configure(self):
        if os.path.exists(os.path.join(self.build, "CMakeCache.txt")):
            return
        launcher = []
        if shutil.which("ccache"):
            launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
        # The developers' flags, warnings as errors included: objects are shared with their
        # builds, and a mutant that only warns does not count as built.
        subprocess.run(["cmake", "-S", self.tree, "-B", self.build, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DPLUGIN_SIGN_WERROR=ON",
                        "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", f"-DCMAKE_CXX_FLAGS={self.flags}"] + launcher,
                       check=True, env=self.env, stdout=subprocess.DEVNULL)

    def compile(self, log):
        with open(log, "w") as out:
            return subprocess.run(["nice", "-n", "15", "cmake", "--build", self.build, "-j", str(self.jobs)],
                                  env=self.env, stdout=out, stderr=subprocess.STDOUT).returncode == 0

    def test(self, label, log):
        """'passed', 'failed' or 'timeout': the tests labelled with the directory, up to the
        first failure."""
        # Without the costs of earlier runs, ctest keeps the order of the test files: a layer's
        # own unit tests, quick and the likeliest to fail, before the end-to-end runs.
        for name in ("CTestCostData.txt",):
            try:
                os.remove(os.path.join(self.build, "Testing", "Temporary", name))
            except FileNotFoundError:
                pass
        command = ["nice", "-n", "15", "ctest", "--test-dir", self.build, "-L", f"^{re.escape(label)}$",
                   "--stop-on-failure", "--timeout", str(self.timeout), "-j", str(self.jobs),
                   "--no-tests=error"]
        with open(log, "w") as out:
            code = subprocess.run(command, env=self.env, stdout=out, stderr=subprocess.STDOUT).returncode
        if code == 0:
            return "passed"
        with open(log) as f:
            report = f.read()
        failed = re.findall(r"\*\*\*(Failed|Timeout|Exception)|\((Failed|Timeout|SEGFAULT|Subprocess aborted)\)", report)
        if failed and all("Timeout" in "".join(f) for f in failed):
            return "timeout"
        return "failed"


def apply(tree, mutant):
    """Writes the mutated file into the copy; returns the original text to put back."""
    path = os.path.join(tree.tree, mutant.file)
    with open(path, encoding="utf-8") as f:
        original = f.read()
    with open(path, "w", encoding="utf-8") as f:
        f.write(original[:mutant.start] + mutant.replacement + original[mutant.end:])
    return original


def restore(tree, mutant, original):
    path = os.path.join(tree.tree, mutant.file)
    with open(path, "w", encoding="utf-8") as f:
        f.write(original)


def interrupted(signum, frame):
    raise KeyboardInterrupt


def load_results(path):
    try:
        with open(path) as f:
            return json.load(f)
    except FileNotFoundError:
        return {}


def save_results(path, results):
    with open(path + ".new", "w") as f:
        json.dump(results, f, indent=0, sort_keys=True)
    os.replace(path + ".new", path)


def run(mutants, tree, results_path, baseline):
    results = load_results(results_path)
    tree.sync()
    tree.configure()
    os.makedirs(os.path.join(tree.work, "log"), exist_ok=True)
    log = os.path.join(tree.work, "log")
    print(f"building the unchanged tree in {tree.build}", flush=True)
    if not tree.compile(os.path.join(log, "build")):
        sys.exit(f"the unchanged tree does not build: {os.path.join(log, 'build')}")
    if baseline:
        for label in sorted({directory_label(m.file) for m in mutants}):
            if tree.test(label, os.path.join(log, "baseline")) != "passed":
                sys.exit(f"the unchanged tree fails the tests labelled {label}: {os.path.join(log, 'baseline')}")
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGHUP, interrupted)
    started = time.monotonic()
    done = 0
    try:
        for number, mutant in enumerate(mutants, 1):
            if mutant.key() in read_equivalents():
                continue  # listed while the run went on
            begun = time.monotonic()
            original = apply(tree, mutant)
            try:
                if not tree.compile(os.path.join(log, "mutant.build")):
                    verdict = "not built"
                else:
                    verdict = {"passed": "survived", "failed": "killed", "timeout": "timed out"}[
                        tree.test(directory_label(mutant.file), os.path.join(log, "mutant.tests"))]
            finally:
                restore(tree, mutant, original)
            seconds = time.monotonic() - begun
            results[mutant.key()] = {"verdict": verdict, "seconds": round(seconds, 1)}
            save_results(results_path, results)
            done += 1
            print(f"[{number}/{len(mutants)}] {verdict.upper():9} {mutant.file}:{mutant.line} "
                  f"{mutant.operator}: {mutant.original_line}  =>  {mutant.mutant_line}  ({seconds:.1f}s)",
                  flush=True)
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        # Leaves the copy's build matching the unchanged tree for the next run.
        tree.compile(os.path.join(log, "build"))
    elapsed = time.monotonic() - started
    if done:
        print(f"{done} mutants in {elapsed:.0f}s, {elapsed / done:.1f}s each", flush=True)


def run_switched(mutants, work, jobs, results_path, defer=None):
    """Runs the mutants that a schema can hold in one build (see mutant_schemata.py); returns
    those that need builds of their own."""
    import mutant_schemata as schemata
    tree = Tree(os.path.join(work, "schemata"), jobs, 0, schemata.QUIET)
    tree.sync()
    tree.configure()
    log = os.path.join(tree.work, "log")
    os.makedirs(log, exist_ok=True)
    files = sorted({m.file for m in mutants})
    ids, fallback, at_start = schemata.write_schemata(tree.tree, tree.build, tree.work, files, generate, blank_non_code)
    print(f"building the tree with {len(ids)} mutants switched in {tree.build}", flush=True)
    if not tree.compile(os.path.join(log, "build")):
        sys.exit(f"the tree with its mutants switched does not build: {os.path.join(log, 'build')}")
    tests = schemata.trace_tests(tree.work, schemata.list_tests(tree.build))
    print(f"traced {len(tests)} tests", flush=True)
    # Kept for the mutants built one by one, which may run later, from another invocation.
    with open(os.path.join(tree.work, "trace.json"), "w") as f:
        json.dump({"tests": [{"name": t["name"], "seconds": t["seconds"], "reached": sorted(t["reached"])}
                             for t in tests],
                   "switched": {str(i): m.key() for i, m in ids.items()},
                   "built": [m.key() for m in fallback]}, f)
    wanted = {m.key() for m in mutants}
    order = {m.key(): k for k, m in enumerate(mutants)}  # survivors before new ones, say
    chosen = sorted(((i, m) for i, m in ids.items() if m.key() in wanted), key=lambda p: order[p[1].key()])
    # Directory by directory in turn, so that every directory's survivors come in from the start.
    by_directory = {}
    for pair in chosen:
        by_directory.setdefault(os.path.dirname(pair[1].file), []).append(pair)
    queues = list(by_directory.values())
    chosen = [q[k] for k in range(max(map(len, queues), default=0)) for q in queues if k < len(q)]
    results = load_results(results_path)
    started = time.monotonic()
    lock = threading.Lock()
    queue = list(enumerate(chosen, 1))
    equivalents = read_equivalents()

    def work_through(worker):
        while True:
            with lock:
                if not queue:
                    return
                number, (ident, mutant) = queue.pop(0)
            if mutant.key() in equivalents:
                continue
            begun = time.monotonic()
            seeing = tests
            if ident in at_start:
                seeing = [t for t in tests if directory_label(mutant.file) in t["labels"]]
            verdict, ran, deferred = schemata.run_mutant(tree.work, ident, seeing, str(worker), defer)
            seconds = time.monotonic() - begun
            with lock:
                results[mutant.key()] = {"verdict": verdict, "seconds": round(seconds, 2), "tests": ran,
                                         "switched": True, "deferred": deferred}
                if number % 20 == 0 or verdict == "survived":
                    save_results(results_path, results)
                print(f"[{number}/{len(chosen)}] {verdict.upper():9} {mutant.file}:{mutant.line} "
                      f"{mutant.operator}: {mutant.original_line}  =>  {mutant.mutant_line}  "
                      f"({ran} tests, {seconds:.2f}s)", flush=True)

    # Each worker reads its own control file: the tests of one never see another's mutant.
    workers = [threading.Thread(target=work_through, args=(k,)) for k in range(min(jobs, 9))]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    save_results(results_path, results)
    if chosen:
        elapsed = time.monotonic() - started
        print(f"{len(chosen)} switched mutants in {elapsed:.0f}s on {len(workers)} workers, "
              f"{elapsed / len(chosen):.2f}s each", flush=True)
    return [m for m in fallback if m.key() in wanted]


def load_trace(work, mutants):
    """The traced tests and the switched mutants by file, from the last run of the schemata."""
    path = os.path.join(work, "schemata", "trace.json")
    if not os.path.exists(path):
        sys.exit(f"{path} is missing: run the switched mutants first")
    with open(path) as f:
        saved = json.load(f)
    tests = [dict(t, reached=set(t["reached"])) for t in saved["tests"]]
    by_key = {m.key(): m for m in all_mutants(sorted({m.file for m in mutants}))}
    switched = {}
    for ident, key in saved["switched"].items():
        if key in by_key:
            switched.setdefault(by_key[key].file, []).append((int(ident), by_key[key]))
    built = [by_key[k] for k in saved["built"] if k in by_key]
    return tests, switched, built


def run_built(mutants, work, jobs, timeout, results_path, defer=None):
    """Mutants that no schema could hold: each built on its own (only the tools and the test
    binaries that can see it), then run by the tests that reach its function, cheapest first."""
    import mutant_schemata as schemata
    traced, switched, _ = load_trace(work, mutants)
    tree = Tree(work, jobs, timeout)
    tree.sync()
    tree.configure()
    log = os.path.join(work, "log")
    os.makedirs(log, exist_ok=True)
    if not tree.compile(os.path.join(log, "build")):
        sys.exit(f"the unchanged tree does not build: {os.path.join(log, 'build')}")
    here = {t["name"]: t for t in schemata.list_tests(tree.build)}
    results = load_results(results_path)
    codes = {}
    signal.signal(signal.SIGTERM, interrupted)
    started = time.monotonic()
    try:
        for number, mutant in enumerate(mutants, 1):
            if mutant.key() in read_equivalents():
                continue
            if mutant.file not in codes:
                with open(os.path.join(tree.tree, mutant.file), encoding="utf-8") as f:
                    codes[mutant.file] = blank_non_code(f.read())
            reaching = [here[t["name"]] | {"seconds": t["seconds"]} for t in
                        schemata.reaching_tests(mutant, codes[mutant.file], switched.get(mutant.file, []), traced)
                        if t["name"] in here]
            deferred = 0
            if defer is not None:
                deferred = sum(1 for t in reaching if t["seconds"] > defer)
                reaching = [t for t in reaching if t["seconds"] <= defer]
            begun = time.monotonic()
            ran = 0
            if not reaching:
                verdict = "survived"
            else:
                targets = {"plugin_sign", "plugin_verify", "plugin_key"}
                targets |= {os.path.relpath(t["command"][0], tree.build) for t in reaching
                            if t["command"][0].startswith(tree.build + os.sep)}
                original = apply(tree, mutant)
                try:
                    with open(os.path.join(log, "mutant.build"), "w") as out:
                        built = subprocess.run(["nice", "-n", "15", "ninja", "-C", tree.build, "-j", str(jobs)]
                                               + sorted(targets), stdout=out, stderr=subprocess.STDOUT).returncode == 0
                    verdict = "not built" if not built else "survived"
                    for t in reaching if built else []:
                        ran += 1
                        outcome = schemata.run_test(t, schemata.test_timeout(t["seconds"]))
                        if outcome != "passed":
                            verdict = "killed" if outcome == "failed" else "timed out"
                            break
                finally:
                    restore(tree, mutant, original)
            seconds = time.monotonic() - begun
            results[mutant.key()] = {"verdict": verdict, "seconds": round(seconds, 1), "tests": ran,
                                     "deferred": deferred if verdict == "survived" else 0}
            save_results(results_path, results)
            print(f"[{number}/{len(mutants)}] {verdict.upper():9} {mutant.file}:{mutant.line} "
                  f"{mutant.operator}: {mutant.original_line}  =>  {mutant.mutant_line}  "
                  f"({ran} tests, {seconds:.1f}s)", flush=True)
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        tree.compile(os.path.join(log, "build"))
    if mutants:
        elapsed = time.monotonic() - started
        print(f"{len(mutants)} mutants built one by one in {elapsed:.0f}s, {elapsed / len(mutants):.1f}s each",
              flush=True)


def summary(mutants, results, equivalents):
    """The table per directory of the recorded verdicts; returns the survivors."""
    columns = ["mutants", "killed", "timed out", "survived", "equivalent", "not built", "not run",
               "slow tests left"]
    table, survivors = {}, []
    for m in mutants:
        row = table.setdefault(os.path.dirname(m.file), dict.fromkeys(columns, 0))
        row["mutants"] += 1
        if m.key() in equivalents:
            row["equivalent"] += 1
            continue
        result = results.get(m.key(), {})
        verdict = result.get("verdict", "not run")
        row[verdict] += 1
        if verdict == "survived" and result.get("deferred"):
            row["slow tests left"] += 1
        if verdict == "survived":
            survivors.append(m)
    width = max([len(d) for d in table] + [9])
    print(f"{'directory':{width}}  " + "  ".join(f"{c:>10}" for c in columns) + "   killed%")
    for directory in sorted(table):
        row = table[directory]
        tried = row["killed"] + row["timed out"] + row["survived"]
        score = f"{100 * (row['killed'] + row['timed out']) / tried:7.1f}%" if tried else "      -"
        print(f"{directory:{width}}  " + "  ".join(f"{row[c]:>10}" for c in columns) + "  " + score)
    for m in survivors:
        # In the equivalents file's own form, to paste with a reason when no test can tell.
        slow = results.get(m.key(), {}).get("deferred")
        note = f"; {slow} slow tests not run yet" if slow else ""
        print(f"# survivor at {m.file}:{m.line} ({m.operator}{note})\nfile: {m.file}\nline: {m.original_line}\n"
              f"mutant: {m.mutant_line}\n")
    return survivors


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", nargs="+", default=[], help="source files, directories or globs (default: src/**.cpp)")
    parser.add_argument("--limit", type=int, help="run at most this many mutants")
    parser.add_argument("--seed", type=int, help="a random sample of --limit mutants, repeatable by its seed")
    parser.add_argument("--list", action="store_true", help="print the mutants, run nothing")
    parser.add_argument("--summary", action="store_true", help="print the table of recorded results, run nothing")
    parser.add_argument("--rerun", action="store_true", help="run mutants that already have a result too")
    parser.add_argument("--survivors", action="store_true", help="run again only the recorded survivors (after adding tests)")
    parser.add_argument("--and-new", action="store_true",
                        help="with --survivors: the mutants without a result too, after the survivors")
    parser.add_argument("--timeout", type=int, default=120, help="seconds a test may run (default 120)")
    parser.add_argument("--jobs", type=int, default=1, help="build and test jobs (default 1: the machine is shared)")
    parser.add_argument("--no-baseline", action="store_true", help="skip testing the unchanged tree first")
    parser.add_argument("--one-by-one", action="store_true",
                        help="build every mutant on its own, none switched in one build")
    parser.add_argument("--switched-only", action="store_true",
                        help="run only the mutants switched in one build, not those needing their own")
    parser.add_argument("--defer", type=float, metavar="SECONDS",
                        help="leave tests slower than this for a later --survivors pass (the survivors "
                             "that skipped some are counted as such)")
    parser.add_argument("--built-only", action="store_true",
                        help="run only the mutants needing their own build (after a switched run)")
    args = parser.parse_args()

    work = os.path.abspath(os.environ.get("MUTANTS_DIR", os.path.join(ROOT, "build-mutants")))
    results_path = os.path.join(work, "results.json")
    files = source_files(args.files)
    if not files:
        sys.exit("no source file matches --files")
    mutants = all_mutants(files)
    equivalents = read_equivalents()
    if args.list:
        for m in mutants:
            mark = "  (equivalent)" if m.key() in equivalents else ""
            print(f"{m.file}:{m.line} {m.operator}: {m.original_line}  =>  {m.mutant_line}{mark}")
        print(f"{len(mutants)} mutants")
        return 0
    if args.summary:
        return 1 if summary(mutants, load_results(results_path), equivalents) else 0

    results = load_results(results_path)
    chosen = mutants
    if args.limit is not None:
        if args.seed is not None:
            # Drawn from every mutant, so that a sample stays the same as results come in.
            picked = set(random.Random(args.seed).sample(range(len(mutants)), min(args.limit, len(mutants))))
            chosen = [m for k, m in enumerate(mutants) if k in picked]
    if args.survivors:
        survivors = [m for m in chosen if results.get(m.key(), {}).get("verdict") == "survived"]
        new = [m for m in chosen if m.key() not in results] if args.and_new else []
        chosen = survivors + new
    elif not args.rerun:
        chosen = [m for m in chosen if m.key() not in results]
    chosen = [m for m in chosen if m.key() not in equivalents]
    if args.limit is not None and args.seed is None:
        chosen = chosen[:args.limit]
    os.makedirs(work, exist_ok=True)
    try:
        if args.one_by_one:
            run(chosen, Tree(work, args.jobs, args.timeout), results_path, not args.no_baseline)
        else:
            if not args.built_only:
                chosen = run_switched(chosen, work, args.jobs, results_path, args.defer)
            else:
                _, _, built = load_trace(work, chosen)
                keys = {m.key() for m in built}
                chosen = [m for m in chosen if m.key() in keys]
            if not args.switched_only:
                run_built(chosen, work, args.jobs, args.timeout, results_path, args.defer)
    except KeyboardInterrupt:
        print("interrupted; the tree is as it was", file=sys.stderr)
        return 130
    return 1 if summary(mutants, load_results(results_path), equivalents) else 0


if __name__ == "__main__":
    sys.exit(main())
