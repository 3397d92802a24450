#!/usr/bin/env python3
"""startup_bench.py BUILD [ROUNDS]: what plugin_verify costs on a tiny package against a bare
process.

Signs the example plugin (a 41-byte main.wasm) with the demo key and times, rotated round
after round as bench.py does: the bare process (bench/bare.c, dynamically linked against the
C library alone), the same built static, `plugin_verify --version` (the tool's start-up with
nothing verified), plugin_verify on the package, and minisign -V on the bare main.wasm. Then
counts each one's user-space instructions once under callgrind (repeatable under any load),
and splits plugin_verify's between the loader, the Ed25519 checks and the rest. Rewrites the
startup section of RESULTS.md."""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
TARGET = 1.3  # plugin_verify on the tiny package, over the bare process
LABELS = ("bare", "bare static", "plugin_verify --version", "plugin_verify", "minisign")
# Functions whose inclusive instruction counts split plugin_verify's run.
PARTS = (
    ("the loader, before main (mapping, relocating, binding)", "_dl_start"),
    ("Ed25519 signature check (crypto_sign_verify_detached)", "crypto_sign_verify_detached"),
    ("the trusted key's point check (crypto_core_ed25519_is_valid_point)",
     "crypto_core_ed25519_is_valid_point"),
)


def signed_example(build, work):
    package = work / "hello.zip"
    env = dict(os.environ, KAVENTA_PLUGIN_SIGNING_KEY=bench.KEY_SEED_B64)
    subprocess.run([str(build / "plugin_sign"), str(ROOT / "examples/hello"), str(package)],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    return package


def minisign_command(module, work):
    quiet = dict(check=True, capture_output=True)
    public, secret, signature = work / "m.pub", work / "m.key", work / "m.minisig"
    subprocess.run(["minisign", "-G", "-W", "-f", "-p", str(public), "-s", str(secret)], **quiet)
    subprocess.run(["minisign", "-S", "-s", str(secret), "-m", str(module), "-x",
                    str(signature)], **quiet)
    return ["minisign", "-V", "-q", "-p", str(public), "-m", str(module), "-x", str(signature)]


def instructions(command, work):
    """The command's user-space instructions under callgrind, and its inclusive counts of the
    functions in PARTS; None without valgrind."""
    if not shutil.which("valgrind"):
        return None
    out = work / "callgrind.out"
    run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                          *command], capture_output=True, text=True)
    total = int(re.search(r"Collected : (\d+)", run.stderr).group(1))
    annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", str(out)],
                               capture_output=True, text=True).stdout
    parts = {}
    for _, function in PARTS:
        found = re.search(r"^\s*([\d,]+) \([^)]*\)\s+\S*:" + re.escape(function) + r"[ \[]",
                          annotated, re.M)
        parts[function] = int(found.group(1).replace(",", "")) if found else 0
    return total, parts


def needed_libraries(binary):
    dynamic = subprocess.run(["readelf", "-d", str(binary)], capture_output=True,
                             text=True).stdout
    return re.findall(r"\(NEEDED\).*\[(.+)\]", dynamic)


def main():
    build = Path(sys.argv[1]).resolve()
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 600
    runone = str(build / "bench" / "runone")
    work = Path(tempfile.mkdtemp(prefix="startup-bench-"))
    try:
        package = signed_example(build, work)
        module = ROOT / "examples/hello/main.wasm"
        verify = str(build / "plugin_verify")
        commands = dict(zip(LABELS, (
            [str(build / "bench" / "bare")],
            [str(build / "bench" / "bare-static")],
            [verify, "--version"],
            [verify, "-q", "-P", bench.demo_public_key(work), str(package)],
            minisign_command(module, work),
        )))
        env = dict(os.environ)
        env.pop("KAVENTA_PLUGIN_SIGNING_KEY", None)
        started, load_before = time.monotonic(), bench.load_average()
        r = bench.time_commands(runone, commands, "plugin_verify", "bare", rounds,
                                str(work / "stdout.txt"), env)
        counts = {label: instructions(command, work) for label, command in commands.items()}
        conditions = bench.conditions_lines("plugin_verify", started, load_before)
        write_report(r, counts, needed_libraries(verify), package.stat().st_size, conditions)
    finally:
        shutil.rmtree(work)


def write_report(r, counts, needed, package_size, conditions):
    med, cpu = r["med"], r["cpu_med"]
    lines = [
        "## Start-up", "", *conditions,
        f"The example plugin (examples/hello, a 41-byte main.wasm) signed by the demo key, a "
        f"{package_size}-byte package, verified by plugin_verify with the demo key given by -P. "
        "The bare process is bench/bare.c, a C main that returns 0, built by cc -O2 with no "
        "other option: linked dynamically against the C library alone, as any C program here "
        "is by default and as the tools are (they take every other library as an archive but "
        "ISA-L, which Debian ships shared only). So the bare process pays the kernel's exec and "
        "the loader's binding of the C library, and the ratio is what plugin_verify adds to "
        "that. bare static is the same main built with -static (the kernel's exec alone); "
        "`plugin_verify --version` is the tool's start-up with nothing verified; minisign -V "
        "verifies the bare 41-byte main.wasm. Rotation, medians, paired ratio and runone as "
        "above, the bare process as the floor; CPU is user plus system time. Instructions are "
        "user space, counted by callgrind once (the same in every run, whatever the load).", "",
        "| command | median wall (ms) | ratio to bare | median CPU (ms) | CPU ratio | "
        "instructions |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for label in LABELS:
        count = counts[label]
        lines.append(
            f"| {label} | {med[label]*1e3:.3f} | {med[label]/med['bare']:.3f} | "
            f"{cpu[label]*1e3:.3f} | {cpu[label]/cpu['bare']:.3f} | "
            f"{f'{count[0]:,}' if count else '-'} |")
    ratio = med["plugin_verify"] / med["bare"]
    lines += [
        "",
        f"- plugin_verify on the tiny package over the bare process: {ratio:.3f} "
        f"(paired {r['paired']:.3f}, {r['rounds']} rounds); target at most {TARGET}: "
        f"{bench.verdict(ratio <= TARGET)}.",
        f"- Libraries plugin_verify needs: {', '.join(needed)}.",
    ]
    if counts["plugin_verify"]:
        total, parts = counts["plugin_verify"]
        lines += ["", "Where plugin_verify's instructions go:", "",
                  "| part | instructions | share |", "|---|---:|---:|"]
        rest = total
        for name, function in PARTS:
            lines.append(f"| {name} | {parts[function]:,} | {parts[function]/total:.1%} |")
            rest -= parts[function]
        lines += [f"| the rest (reading, inflating, hashing, plugin.toml, report) | {rest:,} | "
                  f"{rest/total:.1%} |", f"| total | {total:,} | 100% |"]
    lines.append("")
    bench.replace_section("startup", lines)
    print("\n".join(lines))


if __name__ == "__main__":
    main()
