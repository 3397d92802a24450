#!/usr/bin/env python3
"""record_bench.py BUILD [ROUNDS]: what a version record of 10,000 names adds to a verification.

Signs the example plugin, makes a record of 10,000 other names (plus the plugin's own entry,
so that each timed run checks the record and finds nothing to write, as a host that loads its
plugins at start-up does), and times `plugin_verify` with and without `--record`, alternating
the two in one run so that the machine's load falls on both alike. Prints the median wall time
of each and their difference, and a second table for a run that records a new version (the
write: temporary file, fsync, rename, directory fsync)."""
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEMO_KEY = "wlzTOxY1BXW4vjAi0Hw5zkUbTHrq78owtIiI53D+16I="


def sign(build, work, version):
    plugin = work / f"p{version}"
    plugin.mkdir()
    text = (ROOT / "examples/hello/plugin.toml").read_text()
    text = text.replace('version = "0.1.0"', f'version = "{version}"')
    (plugin / "plugin.toml").write_text(text)
    (plugin / "main.wasm").write_bytes((ROOT / "examples/hello/main.wasm").read_bytes())
    package = work / f"hello-{version}.zip"
    env = dict(os.environ, KAVENTA_PLUGIN_SIGNING_KEY=DEMO_KEY)
    subprocess.run([str(build / "plugin_sign"), str(plugin), str(package)], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    return package


def big_record(path, names):
    rng = random.Random(10000)
    lines = []
    for i in range(names):
        key_id = "%016x" % rng.getrandbits(64)
        sha = "%064x" % rng.getrandbits(256)
        lines.append(f"plugin-{i:05d} {key_id} {rng.randrange(20)}.{rng.randrange(20)}.0 {sha}")
    path.write_text("plugin_sign version record 1\n" + "\n".join(sorted(lines)) + "\n")
    path.chmod(0o644)


def timed(command):
    """Wall seconds and CPU seconds (user + system, from wait4) of one run."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(f"record_bench: {command} exited with {child.returncode}")
    return wall, usage.ru_utime + usage.ru_stime


def main():
    build = Path(sys.argv[1]).resolve()
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    verify = str(build / "plugin_verify")
    with tempfile.TemporaryDirectory() as scratch:
        work = Path(scratch)
        work.chmod(0o700)
        package = sign(build, work, "1.0.0")
        record = work / "record"
        big_record(record, 10000)
        public = ["-P", "ho9ie8OoOFWkXfmlhnc3xasBxtLnk68NhzL5hy+9dRQ="]
        with_record = [verify, *public, "--record", str(record), str(package)]
        without = [verify, *public, str(package)]
        subprocess.run(with_record, check=True, stdout=subprocess.DEVNULL)  # its own entry
        size = record.stat().st_size
        plain, recorded = [], []
        for _ in range(rounds):
            plain.append(timed(without))
            recorded.append(timed(with_record))
        a = statistics.median(w for w, _ in plain)
        b = statistics.median(w for w, _ in recorded)
        ca = statistics.mean(c for _, c in plain)
        cb = statistics.mean(c for _, c in recorded)
        print(f"record of 10,001 entries, {size} bytes; {rounds} alternated runs; "
              f"load {os.getloadavg()[0]:.2f}")
        print("| run | median wall ms | mean CPU ms |")
        print("|---|---|---|")
        print(f"| plugin_verify, no record | {a * 1e3:.3f} | {ca * 1e3:.3f} |")
        print(f"| plugin_verify --record (checked, nothing to write) | {b * 1e3:.3f} | "
              f"{cb * 1e3:.3f} |")
        print(f"| difference | {(b - a) * 1e3:+.3f} | {(cb - ca) * 1e3:+.3f} |")

        # A new version each round: the record is written and flushed every time.
        writes = []
        packages = [sign(build, work, f"2.{i}.0") for i in range(min(rounds, 40))]
        for p in packages:
            writes.append(timed([verify, *public, "--record", str(record), str(p)]))
        w = statistics.median(w for w, _ in writes)
        cw = statistics.mean(c for _, c in writes)
        print(f"| plugin_verify --record, recording a new version ({len(packages)} runs) "
              f"| {w * 1e3:.3f} | {cw * 1e3:.3f} |")


if __name__ == "__main__":
    main()
