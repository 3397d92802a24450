"""Mutant schemata: every mutant of the tree compiled into one build, switched on at run time.

Building one object per mutant costs seconds, and a whole run would spend most of its time in
the compiler. Instead each mutated place (an if or while condition, an initialiser, a whole
statement) is written out once per mutant beside the original, chosen by a number read at the
start of every process from a file whose path is built in:

    if (x < n) ...           becomes   if ((mutant_on(7) ? static_cast<bool>(x <= n) : ...
    f(a, 0);                 becomes   if (mutant_on(9)) { f(a, 1); } else { f(a, 0); }

With no number in the file the program is the original. Tests that start the tools with an
environment of their own still switch them, since the number is not passed in the environment.

Written "trace" instead of a number, each process appends to a second file the numbers of the
places it reaches, once each: run test by test, this says which tests can see a mutant, and a
mutant then runs only those, cheapest first, up to the first failure. A mutant that no test
reaches survives without running anything.

A literal outside every such place (in a table, a for header, a constant) is written out alone,
as (mutant_on(7) ? 5 : 4); a constexpr variable holding one becomes const for the run, set when
the program starts, so its mutants run only the tests of their file's directory.

A place this cannot wrap (a template argument, an array's size, a member initialiser list), or
whose wrapping does not compile, keeps the old way: its own build (see mutants.py).
"""

import os
import re
import subprocess

SWITCH = "plugin_sign_mutant_on"

HEADER = """// Generated for a mutant run; never part of a normal build.
#pragma once
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>

inline unsigned char plugin_sign_mutant_seen[{count}];
// -2 not read yet, -3 tracing, otherwise the mutant switched on (-1: none). One load and one
// comparison per place once read: the switches sit in loops over every byte of a file.
inline long plugin_sign_mutant_state = -2;
inline int plugin_sign_mutant_trace = -1;

// Raw system calls: the fault-injection tests count and fail the C library's calls, and must
// not see these.
// The worker whose control file to read: from the environment, or else from the parent's,
// since the tests start the tools with an environment of their own.
inline bool plugin_sign_mutant_worker_in(const char* environ_text, long size, char* worker) {{
  const char kName[] = "PLUGIN_SIGN_MUTANT_WORKER=";
  for (long at = 0; at < size;) {{
    const char* entry = environ_text + at;
    long length = 0;
    while (at + length < size && entry[length] != '\\0') ++length;
    if (length > static_cast<long>(sizeof kName - 1) && length < static_cast<long>(sizeof kName + 8) &&
        __builtin_memcmp(entry, kName, sizeof kName - 1) == 0) {{
      __builtin_memcpy(worker, entry + sizeof kName - 1, static_cast<size_t>(length) - (sizeof kName - 1));
      return true;
    }}
    at += length + 1;
  }}
  return false;
}}

inline long plugin_sign_mutant_read_file(const char* path, char* text, long capacity) {{
  const long fd = ::syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  long total = 0;
  while (total < capacity) {{
    const long n = ::syscall(SYS_read, fd, text + total, capacity - total);
    if (n <= 0) break;
    total += n;
  }}
  ::syscall(SYS_close, fd);
  return total;
}}

// Raw system calls: the fault-injection tests count and fail the C library's calls, and must
// not see these.
inline long plugin_sign_mutant_read_control() {{
  char worker[16] = "0";
  if (const char* own = std::getenv("PLUGIN_SIGN_MUTANT_WORKER"); own && own[0] && own[1] == '\\0') {{
    worker[0] = own[0];
  }} else {{
    // The test's session, started by the runner, names its worker in a file anyone may read:
    // a tool run as another user cannot read its parent's environment.
    char path[512];
    std::snprintf(path, sizeof path, "{control}.session.%ld", static_cast<long>(::syscall(SYS_getsid, 0)));
    char named[2] = {{}};
    if (plugin_sign_mutant_read_file(path, named, 1) == 1) {{
      worker[0] = named[0];
    }} else {{
      static char parent[65536];
      std::snprintf(path, sizeof path, "/proc/%ld/environ", static_cast<long>(::syscall(SYS_getppid)));
      const long n = plugin_sign_mutant_read_file(path, parent, sizeof parent);
      if (n > 0) plugin_sign_mutant_worker_in(parent, n, worker);
    }}
  }}
  char control[512], trace[512];
  std::snprintf(control, sizeof control, "{control}.%s", worker);
  std::snprintf(trace, sizeof trace, "{trace}.%s", worker);
  long state = -1;
  char text[32] = {{}};
  const long n = plugin_sign_mutant_read_file(control, text, sizeof text - 1);
  if (n > 0 && text[0] == 't') {{
    // Above the standard three, which a test may have closed for the program to find.
    const long low = ::syscall(SYS_openat, AT_FDCWD, trace, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (low >= 0) {{
      const long high = ::syscall(SYS_fcntl, low, F_DUPFD_CLOEXEC, 100);
      ::syscall(SYS_close, low);
      __atomic_store_n(&plugin_sign_mutant_trace, static_cast<int>(high), __ATOMIC_RELAXED);
    }}
    state = -3;
  }} else if (n > 0) {{
    state = std::strtol(text, nullptr, 10);
  }}
  __atomic_store_n(&plugin_sign_mutant_state, state, __ATOMIC_RELEASE);
  return state;
}}

[[gnu::noinline]] inline bool plugin_sign_mutant_slow(long id, long state) {{
  if (state == -2) state = plugin_sign_mutant_read_control();
  if (state != -3) return id == state;
  const int trace = __atomic_load_n(&plugin_sign_mutant_trace, __ATOMIC_ACQUIRE);
  if (trace >= 0 && !__atomic_load_n(&plugin_sign_mutant_seen[id], __ATOMIC_RELAXED) &&
      !__atomic_exchange_n(&plugin_sign_mutant_seen[id], 1, __ATOMIC_RELAXED)) {{
    char line[24];
    const int n = std::snprintf(line, sizeof line, "%ld\\n", id);
    if (::syscall(SYS_write, trace, line, static_cast<size_t>(n)) < 0) std::abort();
  }}
  return false;
}}

// A switched literal inside braces: converts to the field's type as the literal would.
struct {switch}_literal {{
  unsigned long long value;
  template <class T>
  constexpr operator T() const {{
    return static_cast<T>(value);
  }}
}};

inline bool {switch}(long id) {{
  const long state = __atomic_load_n(&plugin_sign_mutant_state, __ATOMIC_ACQUIRE);
  if (__builtin_expect(state < -1, 0)) return plugin_sign_mutant_slow(id, state);
  return id == state;
}}
"""

# The optimiser's guesses about a variable used uninitialised get lost in the written-out
# branches; the original code compiles without them, warnings as errors.
QUIET = "-Wno-maybe-uninitialized"

CONTROL_KEYWORDS = ("if", "for", "while", "switch")
NOT_DECLARATION_WORDS = {"return", "throw", "delete", "co_return", "goto", "else", "case", "new"}
DECLARATION = re.compile(
    r"^(?:(?:const|static|constexpr|inline|thread_local|mutable|unsigned|signed|long|short)\s+)*"
    r"[A-Za-z_][\w:]*(?:<[^;]*>)?(?:\s*const)?[\s*&]+([A-Za-z_]\w*)\s*(=|;|\{|\(|\[)")
CONDITION_DECLARATION = re.compile(r"^\s*[\w:<>, ]+[\s*&]+[A-Za-z_]\w*\s*=[^=]")


class Unit:
    """A place that can be written out once per mutant: kind is "condition" (the text between
    an if's or while's parentheses), "initialiser" (after a declaration's =, before its ;) or
    "statement" (a whole statement, ; included)."""

    def __init__(self, start, end, kind, constant=None):
        self.start, self.end, self.kind = start, end, kind
        self.mutants = []   # (id, mutant)
        self.children = []
        # For a literal in a constexpr variable's initialiser: (where "constexpr" starts, the
        # variable's name). The schema declares it const instead, initialised at run time.
        self.constant = constant
        self.source = ""  # the original text, once it holds mutants


def skip_space(code, k):
    while k < len(code) and code[k].isspace():
        k += 1
    return k


def matching(code, open_at, opening, closing):
    depth = 0
    for k in range(open_at, len(code)):
        if code[k] == opening:
            depth += 1
        elif code[k] == closing:
            depth -= 1
            if depth == 0:
                return k
    return -1


def condition_units(text, code):
    units = []
    for m in re.finditer(r"\b(if|while)\s*\(", code):
        open_at = m.end() - 1
        close = matching(code, open_at, "(", ")")
        if close < 0 or ";" in code[open_at + 1:close] or CONDITION_DECLARATION.match(text[open_at + 1:close]):
            continue
        units.append(Unit(open_at + 1, close, "condition"))
    # The condition of a for header: between its two semicolons.
    for m in re.finditer(r"\bfor\s*\(", code):
        open_at = m.end() - 1
        close = matching(code, open_at, "(", ")")
        header = code[open_at + 1:close]
        if close < 0 or header.count(";") != 2:
            continue
        first = open_at + 1 + header.index(";") + 1
        second = open_at + 1 + header.rindex(";")
        if code[first:second].strip():
            units.append(Unit(first, second, "condition"))
    return units


def word_at(code, k):
    m = re.match(r"[A-Za-z_]\w*", code[k:])
    return m.group(0) if m else ""


def statement_units(code):
    """Statements at parenthesis depth 0 that start after ; { } a control header, else, do, or
    a case label, and end at their ;. Braces inside parentheses (lambdas, braced arguments)
    belong to the statement around them."""
    units = []
    n = len(code)
    k = 0
    while k < n:
        k = skip_space(code, k)
        if k >= n:
            break
        c = code[k]
        if c in "{};":
            k += 1
            continue
        if c == "#":  # a preprocessor line
            end = code.find("\n", k)
            k = n if end < 0 else end
            continue
        word = word_at(code, k)
        if word in CONTROL_KEYWORDS:
            open_at = skip_space(code, k + len(word))
            if open_at < n and code[open_at] == "(":
                close = matching(code, open_at, "(", ")")
                k = n if close < 0 else close + 1
                continue
        if word in ("else", "do", "try"):
            k += len(word)
            continue
        if word in ("case", "default", "public", "private", "protected"):
            colon = k
            while colon < n and not (code[colon] == ":" and code[colon + 1:colon + 2] != ":"
                                     and code[colon - 1:colon] != ":"):
                colon += 1
            k = colon + 1
            continue
        if c in "<>.=|?,/%^":  # the rest of an expression cut by a brace: no statement
            k += 1
            continue
        # An ordinary statement or a declaration: up to ; at depth 0, unless a { at depth 0
        # comes first (a function body, a class, a block after a header that is not one).
        depth, j = 0, k
        while j < n:
            ch = code[j]
            if ch in "([":
                depth += 1
            elif ch in ")]":
                depth -= 1
                if depth < 0:
                    break
            elif ch == "{" and depth == 0 and (code[j - 1].isalnum() or code[j - 1] in "_>"):
                j = matching(code, j, "{", "}")  # a braced value, std::size_t{128}: not a body
                if j < 0:
                    break
            elif ch == "{" and depth == 0:
                break
            elif ch == "}" and depth == 0:
                break
            elif ch == ";" and depth == 0:
                units.append(Unit(k, j + 1, "statement"))
                break
            j += 1
        k = j + 1 if j < n and code[j] == ";" else max(j, k + 1)
    return units


def declaration_initialiser(text, code, unit):
    """For a declaration statement: (start, end) of its initialiser after = ; None if it has
    none (or cannot be switched at run time); False if the statement is not a declaration."""
    stripped = code[unit.start:unit.end]
    m = DECLARATION.match(stripped)
    first = word_at(stripped, 0)
    if not m or first in NOT_DECLARATION_WORDS:
        return False
    if m.group(2) != "=" or re.match(r"^\s*(constexpr|static_assert|using|template|enum)\b", stripped):
        return None
    if "constexpr" in stripped.split("=")[0].split():
        return None
    equals = unit.start + m.end(2)
    depth = 0
    for ch in code[equals:unit.end - 1]:
        depth += ch in "([{"
        depth -= ch in ")]}"
        if ch == "," and depth == 0:
            return None  # more than one declarator
    return equals, unit.end - 1


def build_units(text, code):
    """Every unit of a file: conditions, initialisers and statements that are not declarations."""
    units = condition_units(text, code)
    for unit in statement_units(code):
        stripped = code[unit.start:unit.end]
        if re.match(r"^(using|template|namespace|typedef|friend|static_assert|extern)\b", stripped):
            continue
        initialiser = declaration_initialiser(text, code, unit)
        if initialiser is False:
            units.append(unit)
        elif initialiser is not None:
            units.append(Unit(initialiser[0], initialiser[1], "initialiser"))
    return units


def innermost(units, start, end):
    best = None
    for u in units:
        if u.start <= start and end <= u.end and (best is None or u.end - u.start < best.end - best.start):
            best = u
    return best


def nest(units):
    """Units that hold mutants, as a forest by containment; partial overlaps are dropped (their
    mutants return to the caller)."""
    live = sorted((u for u in units if u.mutants), key=lambda u: (u.start, -(u.end)))
    roots, stack, dropped = [], [], []
    for u in live:
        while stack and stack[-1].end <= u.start:
            stack.pop()
        if stack and u.end > stack[-1].end:
            dropped.append(u)
            continue
        (stack[-1].children if stack else roots).append(u)
        stack.append(u)
    return roots, dropped


def render_range(text, lo, hi, units):
    """The text of [lo, hi) with its units written out, and where each unit and each mutant's
    branch landed in it: (start, end, unit, ident or None), ident None for a whole unit."""
    out, spans, at, length = [], [], lo, 0
    for u in units:
        piece = text[at:u.start]
        out.append(piece)
        length += len(piece)
        rendered, inner = render_unit(text, u)
        spans += [(length + s0, length + e0, unit, ident) for s0, e0, unit, ident in inner]
        out.append(rendered)
        length += len(rendered)
        at = u.end
    out.append(text[at:hi])
    return "".join(out), spans


def render_unit(text, u):
    original, inner = render_range(text, u.start, u.end, u.children)
    if u.kind == "statement":
        opening, before, after = "{ ", f"if ({SWITCH}({{}})) {{{{ ", " } else "
        closing, end = "{ ", " } }"
    elif u.kind == "condition":
        opening, before, after = "(", f"{SWITCH}({{}}) ? static_cast<bool>(", ") : "
        closing, end = "static_cast<bool>(", "))"
    elif u.kind == "literal":
        opening, before, after = "(", f"{SWITCH}({{}}) ? (", ") : "
        closing, end = "(", "))"
    elif u.kind == "braced literal":
        opening, before, after = f"{SWITCH}_literal{{static_cast<unsigned long long>((", f"{SWITCH}({{}}) ? (", ") : "
        closing, end = "(", ")))}"
    else:
        opening, before, after = " (", f"{SWITCH}({{}}) ? (", ") : "
        closing, end = "(", "))"
    out, spans = [opening], []
    length = len(opening)
    for ident, m in u.mutants:
        head = before.format(ident)
        raw = text[u.start:m.start] + m.replacement + text[m.end:u.end]
        spans.append((length, length + len(head) + len(raw) + len(after), u, ident))
        piece = head + raw + after
        out.append(piece)
        length += len(piece)
    out.append(closing)
    length += len(closing)
    spans += [(length + s0, length + e0, unit, ident) for s0, e0, unit, ident in inner]
    out.append(original + end)
    result = "".join(out)
    spans.append((0, len(result), u, None))
    return result, spans


def schema_text(text, code, assigned):
    """The file with its units written out, the spans of its units and branches, and the units
    that overlap another and cannot be written out."""
    units = []
    for u, ms in assigned.items():
        u.mutants = ms
        u.children = []
        units.append(u)
    roots, dropped = nest(units)
    # "const    " for "constexpr": the same length, so that every offset holds.
    for start in {u.constant[0] for u in units if u.constant}:
        text = text[:start] + "const    " + text[start + len("constexpr"):]
    body, spans = render_range(text, 0, len(text), roots)
    return body, spans, dropped


def constexpr_variables(code):
    """(start of "constexpr", end of the declaration, the variable's name) of every constexpr
    variable with an initialiser; functions and `if constexpr` are not variables."""
    found = []
    for m in re.finditer(r"\bconstexpr\b", code):
        k, depth = m.end(), 0
        while k < len(code) and code[k] not in "=;({" :
            depth += code[k] == "<"
            k += 1
        if k >= len(code) or code[k] != "=" or code[k + 1:k + 2] == "=":
            continue
        name = re.search(r"([A-Za-z_]\w*)\s*(\[[^\]]*\])?\s*$", code[m.end():k])
        depth, end = 0, k
        while end < len(code):
            depth += code[end] in "([{"
            depth -= code[end] in ")]}"
            if code[end] == ";" and depth == 0:
                break
            end += 1
        if name:
            found.append((m.start(), end, name.group(1)))
    return found


def in_template_arguments(code, k):
    """Whether k sits between a template's angle brackets (std::array<std::byte, 32>), where
    only a constant will do. A comparison is written with a space on each side; a template's
    opening bracket follows its name."""
    depth = 0
    for j in range(k - 1, max(-1, k - 200), -1):
        ch = code[j]
        if ch in ";{}":
            return False
        if ch == ">" and code[j - 1:j] not in (" ", "-") and code[j + 1:j + 2] != " ":
            depth += 1
        elif ch == "<" and code[j - 1:j].isalnum() or ch == "<" and code[j - 1:j] == "_":
            if depth == 0:
                return True
            depth -= 1
    return False


def literal_unit(code, m, constants):
    """A unit of the literal alone, for a literal outside every statement and condition: in a
    table, a for header's other parts, a constant."""
    if m.operator not in ("literal", "mode bit") or in_template_arguments(code, m.start):
        return None
    line_start = code.rfind("\n", 0, m.start) + 1
    if re.search(r"[\w>]\s+[*&]?\w+\s*\[[^\]]*$", code[line_start:m.start]):
        return None  # an array's size in its declaration, std::byte probe[64]: a constant
    constant = next(((start, name) for start, end, name in constants if start < m.start < end), None)
    # Inside braces a literal converts to a narrower type only as a constant; the switched one
    # is not, so it goes through a wrapper that converts to whatever the field is.
    depth, k = 0, m.start - 1
    while k >= 0:
        if code[k] in ")]}":
            depth += 1
        elif code[k] in "([{":
            if depth == 0:
                break
            depth -= 1
        k -= 1
    whole = code[:m.start].rstrip()[-1:] in ("{", ",") and code[m.end:].lstrip()[:1] in (",", "}")
    braced = k >= 0 and code[k] == "{" and whole
    return Unit(m.start, m.end, "braced literal" if braced else "literal", constant)


def plan_file(path, text, code, mutants, first_id):
    """Gives each mutant that a unit can hold an id; returns (assigned units, ids, fallback)."""
    units = build_units(text, code)
    constants = constexpr_variables(code)
    literals = {}
    assigned, fallback, ids = {}, [], {}
    ident = first_id
    for m in mutants:
        u = innermost(units, m.start, m.end)
        if u is None:
            u = literals.get((m.start, m.end)) or literal_unit(code, m, constants)
            if u is None:
                fallback.append(m)
                continue
            literals[(m.start, m.end)] = u
        u.source = text[u.start:u.end]
        assigned.setdefault(u, []).append((ident, m))
        ids[ident] = m
        ident += 1
    return assigned, ids, fallback, ident


def prelude(header):
    return f'#include "{header}"\n#line 1\n'


def compile_errors(command, directory):
    """The line numbers of the source that the compiler complains about, or [] when it builds."""
    result = subprocess.run(command, cwd=directory, shell=True, capture_output=True, text=True)
    if result.returncode == 0:
        return None
    return result.stdout + result.stderr


def fit_file(path, text, code, assigned, header, command, directory, target):
    """Writes the schema of one file into target, compiled alone with the object's own command,
    until it compiles: a mutant whose branch the compiler names goes back to its own build
    (where it will likely not build either), a unit it names goes back whole, and when it names
    none of ours (an error met only later, a name declared in a wrapped statement, say), half of
    the units go back. Returns the units kept and the mutants that fell back."""
    fallback = []
    active = {u: list(ms) for u, ms in assigned.items()}
    command += " -fdiagnostics-column-unit=byte " + QUIET
    for _ in range(60):
        body, spans, dropped = schema_text(text, code, active)
        if dropped:
            for u in dropped:
                fallback += [m for _, m in active.pop(u)]
            continue
        with open(target, "w", encoding="utf-8") as f:
            f.write(prelude(header) + body)
        report = compile_errors(command, directory)
        if report is None:
            return active, fallback
        bad_mutants, bad_units = culprits(body, spans, report, target)
        # A mutant that does not parse breaks what follows it: it goes first. Then a constant
        # made const that a constant expression needs (an array's size, a template argument),
        # named in the report, then the units named, then all the constants.
        constants = [u for u in active if u.constant]
        named = {u for u in constants if re.search(rf"\b{u.constant[1]}\b", report)}
        if bad_mutants:
            bad_units = set()
        elif named:
            bad_units = named
        elif not bad_units:
            bad_units = set(constants)
        if not bad_mutants and not bad_units:
            ordered = sorted(active, key=lambda u: u.start)
            bad_units = ordered[len(ordered) // 2:] if len(ordered) > 1 else ordered
        for u in list(active):
            keep = []
            for ident, m in active[u]:
                (fallback.append(m) if ident in bad_mutants or u in bad_units else keep.append((ident, m)))
            if keep:
                active[u] = keep
            else:
                del active[u]
        if not active:
            break
    with open(target, "w", encoding="utf-8") as f:
        f.write(text)
    return {}, fallback + [m for ms in active.values() for _, m in ms]


def culprits(body, spans, report, target):
    """The mutants and units whose written-out text holds a place the compiler reports."""
    name = re.escape(os.path.basename(target))
    places = {(int(a), int(b)) for a, b in re.findall(rf"{name}:(\d+):(\d+):", report)}
    starts = [0]
    for k, ch in enumerate(body):
        if ch == "\n":
            starts.append(k + 1)
    bad_mutants, bad_units = set(), set()
    for line, column in places:
        if line - 1 >= len(starts):
            continue
        offset = starts[line - 1] + column - 1
        holding = [sp for sp in spans if sp[0] <= offset < sp[1]]
        if not holding:
            # A place outside every unit, such as a function's first line ("noreturn function
            # does return"): the units of the body that follows go back.
            # ("control reaches end", "noreturn function does return" name its last line.)
            if body[offset:offset + 1] == "}":
                closing, depth, opening = offset, 0, -1
                for k in range(offset, -1, -1):
                    depth += (body[k] == "}") - (body[k] == "{")
                    if depth == 0:
                        opening = k
                        break
            else:
                opening = body.find("{", offset)
                closing = matching(body, opening, "{", "}") if opening >= 0 else -1
            inside = [sp for sp in spans if opening <= sp[0] and sp[1] <= closing]
            # A deleted exit, throw or return is what lets a function end where it must not.
            deleted = {sp[3] for sp in inside if sp[3] is not None and
                       any(i == sp[3] and m.operator == "statement deleted" for i, m in sp[2].mutants)}
            # Or a while (true) whose condition a mutant changed.
            forever = {sp[3] for sp in inside if sp[3] is not None and sp[2].source.strip() == "true"}
            if deleted:
                bad_mutants |= deleted
            elif forever:
                bad_mutants |= forever
            else:
                bad_units |= {sp[2] for sp in inside if sp[3] is None}
            continue
        innermost = min(holding, key=lambda sp: sp[1] - sp[0])
        if innermost[3] is not None:
            bad_mutants.add(innermost[3])
        else:
            bad_units.add(innermost[2])
    return bad_mutants, bad_units


# ---------------------------------------------------------------------------------------------
# The tree with every schema written in


def object_command(build, source):
    """The command that compiles source into its static library's object, writing nothing."""
    import json
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = [e for e in json.load(f) if os.path.realpath(e["file"]) == os.path.realpath(source)]
    if not entries:
        return None, None
    entry = sorted(entries, key=lambda e: "shared" in e.get("output", e["command"]))[0]
    command = entry["command"]
    command = re.sub(r"\s-o\s+\S+", " -o /dev/null", command)
    command = re.sub(r"\s-(MD|MMD)\b", "", command)
    command = re.sub(r"\s-M[TFQ]\s+\S+", "", command)
    return command, entry["directory"]


def write_schemata(tree_root, build, work, files, generate, blank):
    """Writes the schema of every file into the copy; returns ({id: mutant}, [fallback mutants],
    {ids of the mutants set when a program starts})."""
    header = os.path.join(work, "mutant_switch.hpp")
    control = os.path.join(work, "control")
    trace = os.path.join(work, "trace")
    plans, ident = [], 0
    fallback = []
    for path in files:
        with open(os.path.join(tree_root, path), encoding="utf-8") as f:
            text = f.read()
        code = blank(text)
        assigned, ids, rest, ident = plan_file(path, text, code, generate(path, text), ident)
        plans.append((path, text, code, assigned))
        fallback += rest
    with open(header, "w") as f:
        f.write(HEADER.format(count=max(ident, 1), control=control, trace=trace, switch=SWITCH))
    ids, at_start = {}, set()
    for path, text, code, assigned in plans:
        source = os.path.join(tree_root, path)
        command, directory = object_command(build, source)
        if command is None or not assigned:
            fallback += [m for ms in assigned.values() for _, m in ms]
            continue
        kept, rest = fit_file(path, text, code, assigned, header, command, directory, source)
        fallback += rest
        for u, ms in kept.items():
            for i, m in ms:
                # A constant is set when the program starts, and so reached by every test that
                # runs it; such a mutant runs only the tests of its file's directory.
                if u.constant is not None:
                    at_start.add(i)
                ids[i] = m
        print(f"schema {path}: {sum(len(v) for v in kept.values())} switched, {len(rest)} built one by one",
              flush=True)
    return ids, fallback, at_start


# ---------------------------------------------------------------------------------------------
# Tests, run one by one


def list_tests(build):
    import json
    listed = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"], check=True,
                            capture_output=True, text=True).stdout
    tests = []
    for t in json.loads(listed)["tests"]:
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        if not props.get("LABELS"):
            continue  # the install, package and Node tests: no label, no mutant of ours to see
        env = dict(os.environ)
        for pair in props.get("ENVIRONMENT", []):
            key, _, value = pair.partition("=")
            env[key] = value
        tests.append({"name": t["name"], "command": t["command"],
                      "cwd": props.get("WORKING_DIRECTORY", build), "env": env,
                      "skip": props.get("SKIP_RETURN_CODE"), "labels": props["LABELS"]})
    return tests


def run_test(test, timeout, worker="0", work=None):
    """'passed', 'failed' or 'timeout'. With `work`, the test's session names its worker in
    a file (see the header) before the test starts."""
    import signal
    env = dict(test["env"], PLUGIN_SIGN_MUTANT_WORKER=worker)
    command = test["command"]
    control = os.path.join(work, "control") if work else None
    if control:
        command = ["/bin/sh", "-c", 'printf %s "$0" > "$1.session.$$" && shift && exec "$@"',
                   worker, control] + command
    process = subprocess.Popen(command, cwd=test["cwd"], env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        code = process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        return "timeout"
    finally:
        try:
            os.killpg(process.pid, signal.SIGKILL)  # what the test left running
        except ProcessLookupError:
            pass
        if control:
            try:
                os.remove(f"{control}.session.{process.pid}")
            except FileNotFoundError:
                pass
    return "passed" if code == 0 or (test["skip"] is not None and code == test["skip"]) else "failed"


def set_control(work, value, worker="0"):
    path = os.path.join(work, f"control.{worker}")
    with open(path + ".new", "w") as f:
        f.write(value)
    os.replace(path + ".new", path)


def trace_tests(work, tests):
    """Runs every test once with nothing switched on, noting what each reaches and how long it
    takes. A test that fails here is left out, and said so."""
    import time
    set_control(work, "trace")
    trace = os.path.join(work, "trace.0")
    traced = []
    for t in tests:
        open(trace, "w").close()
        os.chmod(trace, 0o666)  # some tests run the tools as another user
        begun = time.monotonic()
        verdict = run_test(t, 600, "0", work)
        seconds = time.monotonic() - begun
        with open(trace) as f:
            reached = {int(x) for x in f.read().split() if x.isdigit()}
        if verdict != "passed":
            print(f"left out, fails with nothing switched on: {t['name']} ({verdict})", flush=True)
            continue
        traced.append(dict(t, seconds=seconds, reached=reached))
    set_control(work, "-1")
    return traced


def test_timeout(seconds):
    # Generous against a loaded machine, short against a loop that no longer ends.
    return max(5.0, 4 * seconds + 3)


def run_mutant(work, ident, tests, worker="0", defer=None):
    """The verdict of one switched mutant: its reaching tests, cheapest first, up to a failure,
    and how many slow tests (over `defer` seconds) were left for a later pass over survivors."""
    reaching = sorted((t for t in tests if ident in t["reached"]), key=lambda t: t["seconds"])
    deferred = 0
    if defer is not None:
        deferred = sum(1 for t in reaching if t["seconds"] > defer)
        reaching = [t for t in reaching if t["seconds"] <= defer]
    if not reaching and not deferred:
        return "survived", 0, 0
    set_control(work, str(ident), worker)
    try:
        for k, t in enumerate(reaching, 1):
            outcome = run_test(t, test_timeout(t["seconds"]), worker, work)
            if outcome == "failed":
                return "killed", k, 0
            if outcome == "timeout":
                return "timed out", k, 0
        return "survived", len(reaching), deferred
    finally:
        set_control(work, "-1", worker)


# ---------------------------------------------------------------------------------------------
# Mutants built one by one, tested by what the trace says can see them


def function_block(code, offset):
    """(start, end) of the outermost function body holding offset; None outside every one.
    Namespace, class and extern blocks are looked through; a brace after = , ( or { opens a
    table or an initialiser, not a body."""
    stack, found = [], None
    for k, ch in enumerate(code):
        if ch == "{":
            before = code[max(0, k - 300):k].rstrip()
            transparent = bool(re.search(r"\b(namespace|struct|class|union|enum)\b[^;{}()]*$", before)
                               or re.search(r"\bextern\s+\"\s*\"$", before))
            table = before.endswith(("=", ",", "(", "{", "return"))
            stack.append((k, transparent or table))
        elif ch == "}" and stack:
            start, skip = stack.pop()
            body = not skip and not any(not s for _, s in stack)
            if body and start <= offset <= k:
                found = (start, k + 1)
        if k > offset and found:
            break
    return found


def reaching_tests(mutant, code, switched, traced):
    """The tests that run the code around a mutant that could not be switched, cheapest first:
    those reaching a switched mutant of the same function, or else of the same file."""
    block = function_block(code, mutant.start)
    near = {i for i, m in switched if block and block[0] <= m.start < block[1]}
    ids = near or {i for i, _ in switched}
    return sorted((t for t in traced if t["reached"] & ids), key=lambda t: t["seconds"])
