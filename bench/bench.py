#!/usr/bin/env python3
"""Times plugin_sign and plugin_verify, each beside a floor program and the shell pipeline a
user would write instead.

Usage: bench.py BUILD_DIR CORPUS_DIR OUT_DIR [sign|verify|bomb|peers|all]   (default: all)

Each round runs the three commands of a part on one input in turn (alternating, so that a
noisy moment hits all three alike), each round starting one command further on, so that none
always follows the same other; medians over the rounds give the ratios to the floor. Peak
resident memory and CPU time come from wait4. Each part rewrites its own section of
RESULTS.md and its own plot next to this script, so one part can be run alone.
"""
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
TARGETS = {"tiny-add": 1.5, "olm": 1.15, "libfaust": 0.65, "synth-64m": 0.6, "synth-256m": 0.6}
VERIFY_TARGETS = {"libfaust": 1.15, "synth-64m": 0.7}
# plugin_verify on the package at most this many times minisign on the bare module.
PEER_TARGETS = {"libfaust": 1.0, "synth-64m": 1.0}
# Before the signature: a module of zeros within this ratio of the floor on the same package,
# and a bomb with a wrong signature at most this many seconds per declared GiB.
ZEROS_TARGET = 2.2
BOMB_SECONDS_PER_GIB = 1.5
SIGN_RSS_EXTRA_MIB = 8  # peak memory allowance of the signer over its input
RSS_EXTRA_MIB = 4  # peak memory allowance of the verifier over package + main.wasm
SIZE_TOLERANCE = 0.002  # main.wasm's compressed size at most this much above one stream's
KEY_SEED_B64 = "wlzTOxY1BXW4vjAi0Hw5zkUbTHrq78owtIiI53D+16I="  # the public demo key
PKCS8_PREFIX = bytes.fromhex("302e020100300506032b657004220420")


def rounds_for(size):
    if size < 1 << 20:
        return 300
    if size < 16 << 20:
        return 40
    if size < 128 << 20:
        return 9
    return 11


def run_once(runone, command, stdout_file, env, expected_status=0):
    """`command` is an argument list, or (argument list, file for its standard input)."""
    stdin_path = None
    if isinstance(command, tuple):
        command, stdin_path = command
    with open(stdin_path or os.devnull, "rb") as stdin:
        line = subprocess.run([runone, stdout_file, *command], env=env, check=True,
                              stdin=stdin, capture_output=True).stdout.decode().split()
    seconds, rss_kib, status = float(line[0]), int(line[1]), int(line[2])
    if status != expected_status:
        sys.exit(f"command ended with {status}, not {expected_status}: {' '.join(command)}")
    return seconds, rss_kib, float(line[3]) + float(line[4])


def time_commands(runone, commands, subject, floor, rounds, stdout_file, env, statuses=None):
    """Runs the commands in rotated order for `rounds` rounds after one warm-up round."""
    times = {k: [] for k in commands}
    cpu = {k: [] for k in commands}
    rss = []
    labels = list(commands)
    for i in range(rounds + 1):
        for label in labels[i % len(labels):] + labels[:i % len(labels)]:
            seconds, peak, cpu_seconds = run_once(runone, commands[label], stdout_file, env,
                                                  (statuses or {}).get(label, 0))
            if i == 0:
                continue  # warm-up round: page cache, dynamic loader caches
            times[label].append(seconds)
            cpu[label].append(cpu_seconds)
            if label == subject:
                rss.append(peak)
    med = {k: statistics.median(v) for k, v in times.items()}
    # The same round's two times side by side: load that hits one round hits both.
    paired = statistics.median(t / f for t, f in zip(times[subject], times[floor]))
    cpu_ratio = statistics.median(cpu[subject]) / statistics.median(cpu[floor])
    return dict(med=med, paired=paired, cpu_ratio=cpu_ratio, rss_kib=max(rss), rounds=rounds,
                cpu_med={k: statistics.median(v) for k, v in cpu.items()})


def print_progress(row, subject):
    med = row["med"]
    print(f"{row['name']:12} {row['size']:>10} B  floor {med['floor']*1e3:9.2f} ms  "
          f"{subject} {med[subject]*1e3:9.2f} ms  ratio {med[subject]/med['floor']:.3f}  "
          f"pipeline {med['pipeline']*1e3:9.2f} ms  rss {row['rss_kib']/1024:.1f} MiB", flush=True)


def machine():
    model, flags = "unknown CPU", ""
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name") and model == "unknown CPU":
            model = line.split(":", 1)[1].strip()
        if line.startswith("flags") and not flags:
            flags = line
    sha = ", SHA extensions" if " sha_ni" in flags else ", no SHA extensions"
    mem_kib = int(Path("/proc/meminfo").read_text().split()[1])
    return (f"{model}{sha}, {os.cpu_count()} cores, {mem_kib / (1 << 20):.0f} GiB RAM, "
            f"Linux {platform.release()}")


def first_line(command):
    try:
        return subprocess.run(command, capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        return "unknown"


def load_average():
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


def conditions_lines(tool, started, load_before):
    return [
        f"- Machine: {machine()}.",
        f"- Compiler: {first_line(['c++', '--version'])}.",
        f"- {tool} at commit "
        f"{first_line(['git', '-C', str(HERE), 'log', '-1', '--format=%h %s'])}.",
        f"- Load average (1, 5, 15 min): {load_before} before, {load_average()} after; this "
        f"part took {(time.monotonic() - started) / 60:.1f} minutes.", "",
    ]


def verdict(ok):
    return "yes" if ok else "**no**"


def plot(out, data_name, svg_name, rows_data, subject):
    (out / data_name).write_text("\n".join(rows_data) + "\n")
    script = f"""
set terminal svg size 720,420 dynamic background rgb 'white'
set output '{HERE / svg_name}'
set logscale x
set logscale y
set xlabel 'main.wasm size (bytes)'
set ylabel 'median time / floor'
set key top right
set grid
plot '{out / data_name}' using 1:2 with linespoints title '{subject}', \\
     '' using 1:3 with linespoints title 'shell pipeline', 1 with lines dt 2 title 'floor'
"""
    subprocess.run(["gnuplot"], input=script.encode(), check=True)


def replace_section(name, lines):
    """Puts `lines` between this part's markers in RESULTS.md. Everything outside the markers
    is carried over unchanged: the other part's figures, and the hand-kept section of figures
    measured outside this bench that the code's comments refer to."""
    begin, end = f"<!-- {name} results: begin -->", f"<!-- {name} results: end -->"
    section = "\n".join([begin, *lines, end])
    path = HERE / "RESULTS.md"
    text = path.read_text() if path.exists() else ""
    if begin not in text:
        text = (text or "# Benchmark results\n") + f"\n{begin}\n{end}\n"
    pattern = re.escape(begin) + ".*?" + re.escape(end)
    path.write_text(re.sub(pattern, lambda _: section, text, flags=re.S))


def sorted_plugins(corpus):
    return sorted((corpus / "plugins").iterdir(), key=lambda p: (p / "main.wasm").stat().st_size)


def bench_sign(build, corpus, out, runone):
    key_pem = out / "key.pem"
    seed = subprocess.run(["base64", "-d"], input=KEY_SEED_B64.encode(), capture_output=True,
                          check=True).stdout
    subprocess.run(["openssl", "pkey", "-inform", "DER", "-out", str(key_pem)],
                   input=PKCS8_PREFIX + seed, check=True)
    env = dict(os.environ, KAVENTA_PLUGIN_SIGNING_KEY=KEY_SEED_B64)
    floor = str(build / "bench" / "floor")
    started, load_before = time.monotonic(), load_average()
    rows = []
    for plugin in sorted_plugins(corpus):
        name, size = plugin.name, (plugin / "main.wasm").stat().st_size
        commands = {
            "plugin_sign": [str(build / "plugin_sign"), str(plugin), str(out / "tool.zip")],
            "floor": [floor, str(plugin / "main.wasm"), str(out / "floor.bin")],
            "pipeline": ["bash", str(HERE / "pipeline.sh"), str(plugin), str(key_pem),
                         str(out / "pipeline.zip")],
        }
        r = time_commands(runone, commands, "plugin_sign", "floor", rounds_for(size),
                          str(out / "stdout.txt"), env)
        # main.wasm in the archive against the floor's one stream over the same bytes.
        with zipfile.ZipFile(out / "tool.zip") as archive:
            compressed = archive.getinfo("main.wasm").compress_size
        r.update(name=name, size=size,
                 size_ratio=compressed / (out / "floor.bin").stat().st_size)
        rows.append(r)
        print_progress(r, "plugin_sign")
    write_sign_report(rows, out, conditions_lines("plugin_sign", started, load_before))


def write_sign_report(rows, out, conditions):
    lines = [
        "## Signing", "", *conditions,
        "Three commands per input, run in turn round after round, so that a noisy moment on "
        "the shared machine hits all three alike, and each round starting one command further "
        "on, so that none always runs after the same other; one warm-up round is dropped, the "
        "table shows medians. The floor reads main.wasm whole and raw-deflates it at level 6 "
        "into a file, nothing else; ratio = plugin_sign's median over the floor's, the figure "
        "the targets are judged by; paired ratio = the median over rounds of the ratio within "
        "each round, which a burst of load disturbs less; CPU ratio = the same as ratio for "
        "user plus system CPU time, which time spent waiting does not enter. The pipeline is "
        "what a "
        "user would write instead: sha256sum, a JSON manifest with printf, "
        "`openssl pkeyutl -sign -rawin`, base64 and `zip -6 -X` (bench/pipeline.sh). "
        "plugin_sign compresses a main.wasm of 512 KiB or more in 256 KiB blocks on every core; "
        "the floor stays single-threaded, one stream, so ratios below 1 are the gain. "
        "Size ratio = main.wasm's compressed size in the archive over the floor's stream.", "",
        "Timing is bench/runone.c rather than hyperfine or `/usr/bin/time -v`: hyperfine runs "
        "one command's rounds as a block, which lets a burst of load on the machine land on one "
        "command only, and `/usr/bin/time` adds a process of its own and a text report to parse. "
        "runone spawns the command once, takes the wall time around posix_spawn and wait4, and "
        "the peak resident set and CPU times from wait4's rusage: ru_maxrss is the same figure "
        "`/usr/bin/time -v` prints as \"Maximum resident set size\".", "",
        "| input | size (bytes) | rounds | floor (ms) | plugin_sign (ms) | ratio | paired ratio | "
        "CPU ratio | target | met | "
        "pipeline (ms) | pipeline / plugin_sign | plugin_sign peak RSS (MiB) | RSS - input (MiB) | "
        "size ratio |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|:-:|---:|---:|---:|---:|---:|",
    ]
    data = []
    for r in rows:
        m = r["med"]
        ratio = m["plugin_sign"] / m["floor"]
        target = TARGETS.get(r["name"])
        met = verdict(ratio <= target) if target else "-"
        lines.append(
            f"| {r['name']} | {r['size']} | {r['rounds']} | {m['floor']*1e3:.2f} | "
            f"{m['plugin_sign']*1e3:.2f} | {ratio:.3f} | {r['paired']:.3f} | "
            f"{r['cpu_ratio']:.3f} | "
            f"{target if target else '-'} | {met} | "
            f"{m['pipeline']*1e3:.2f} | {m['pipeline']/m['plugin_sign']:.2f} | "
            f"{r['rss_kib']/1024:.1f} | {(r['rss_kib']*1024 - r['size'])/(1 << 20):.1f} | "
            f"{r['size_ratio']:.4f} |")
        data.append(f"{r['size']} {ratio} {m['pipeline']/m['floor']}")
    faster = all(r["med"]["pipeline"] > r["med"]["plugin_sign"] for r in rows)
    lines += ["", f"- Faster than the pipeline on every input: {verdict(faster)}."]
    within = all(r["size_ratio"] <= 1 + SIZE_TOLERANCE for r in rows)
    lines.append(f"- main.wasm within {SIZE_TOLERANCE:.1%} of one stream's size on every input: "
                 f"{verdict(within)}.")
    for r in rows:
        if r["name"] == "synth-64m":
            extra = (r["rss_kib"] * 1024 - r["size"]) / (1 << 20)
            lines.append(f"- Peak memory on the 64 MiB input: input + {extra:.1f} MiB "
                         f"(target at most input + {SIGN_RSS_EXTRA_MIB} MiB): "
                         f"{verdict(extra <= SIGN_RSS_EXTRA_MIB)}.")
    lines += ["", "![ratio to the floor](ratio.svg)", ""]
    plot(out, "ratio.dat", "ratio.svg", data, "plugin_sign")
    replace_section("sign", lines)
    print("\n".join(lines))


def sign_packages(build, corpus, out):
    """One package per corpus plugin, made by plugin_sign with the demo key."""
    env = dict(os.environ, KAVENTA_PLUGIN_SIGNING_KEY=KEY_SEED_B64)
    packages = out / "packages"
    packages.mkdir(parents=True, exist_ok=True)
    made = []
    for plugin in sorted_plugins(corpus):
        package = packages / f"{plugin.name}.zip"
        subprocess.run([str(build / "plugin_sign"), str(plugin), str(package)], env=env,
                       check=True, capture_output=True)
        made.append((plugin.name, (plugin / "main.wasm").stat().st_size, package))
    return made


def bench_verify(build, corpus, out, runone):
    seed = subprocess.run(["base64", "-d"], input=KEY_SEED_B64.encode(), capture_output=True,
                          check=True).stdout
    public_pem = out / "public.pem"
    subprocess.run(["openssl", "pkey", "-inform", "DER", "-pubout", "-out", str(public_pem)],
                   input=PKCS8_PREFIX + seed, check=True)
    public_der = subprocess.run(["openssl", "pkey", "-pubin", "-in", str(public_pem),
                                 "-outform", "DER"], capture_output=True, check=True).stdout
    public_b64 = subprocess.run(["base64", "-w0"], input=public_der[-32:], capture_output=True,
                                check=True).stdout.decode()
    floor = str(build / "bench" / "verify_floor")
    env = dict(os.environ)
    env.pop("KAVENTA_PLUGIN_SIGNING_KEY", None)
    packages = sign_packages(build, corpus, out)
    started, load_before = time.monotonic(), load_average()
    rows = []
    for name, wasm_size, package in packages:
        size = package.stat().st_size
        verify = [str(build / "plugin_verify"), "-P", public_b64, str(package)]
        commands = {
            "plugin_verify": verify,
            # Confined to one CPU, plugin_verify inflates and hashes on one thread.
            "one core": ["taskset", "-c", str(one_cpu()), *verify],
            "floor": [floor, str(package)],
            # How much of a second CPU the machine leaves: 1 when both run at once, 2 when
            # they only take turns.
            "two floors": ["bash", "-c", '"$0" "$1" & "$0" "$1"; wait', floor, str(package)],
            "pipeline": ["bash", str(HERE / "verify_pipeline.sh"), str(package), str(public_pem),
                         str(out / "verify-pipeline")],
        }
        r = time_commands(runone, commands, "plugin_verify", "floor", rounds_for(wasm_size),
                          str(out / "stdout.txt"), env)
        r.update(name=name, size=size, wasm_size=wasm_size,
                 same_bytes=extracts_module(verify, corpus / "plugins" / name / "main.wasm",
                                            out / "extracted"))
        rows.append(r)
        print_progress(r, "plugin_verify")
    write_verify_report(rows, out, conditions_lines("plugin_verify", started, load_before))


def extracts_module(verify, module, work):
    """Whether plugin_verify -x gives back the module itself, on two CPUs and on one."""
    expected = module.read_bytes()
    same = True
    for prefix in ([], ["taskset", "-c", str(one_cpu())]):
        shutil.rmtree(work, ignore_errors=True)
        subprocess.run([*prefix, *verify[:-1], "-x", str(work), verify[-1]], check=True,
                       capture_output=True)
        same = same and (work / "main.wasm").read_bytes() == expected
    shutil.rmtree(work, ignore_errors=True)
    return same


def one_cpu():
    """The first CPU this process may run on."""
    return min(os.sched_getaffinity(0))


def write_verify_report(rows, out, conditions):
    lines = [
        "## Verifying", "", *conditions,
        "The packages are the corpus plugins signed by plugin_sign; the input size is the "
        "package's. Rounds, rotation, medians, paired and CPU ratios as for signing, by the "
        "same runone. The floor (bench/verify_floor.c) maps the package whole, finds main.wasm "
        "by its local header, inflates it with libdeflate into a buffer of its declared size "
        "and SHA-256s it with nettle, nothing else: no layout checks, no CRC-32, no plugin.toml, "
        "no signature. Both its mappings are populated up front, and main.wasm's buffer asks "
        "for huge pages (MADV_HUGEPAGE), as plugin_verify's buffers are: a floor that read() "
        "the package into malloc'd memory was slower than plugin_verify itself from 3.7 MB on "
        "(ratios 0.95 to 0.995), and one with 4 KiB pages was slower than plugin_verify once "
        "it took huge pages (64 MiB: 0.64), so neither is a floor. plugin_verify runs with "
        "the demo key's public key given by -P. The "
        "pipeline is the README's verification recipe (bench/verify_pipeline.sh): unzip, "
        "sha256sum, printf, base64 and `openssl pkeyutl -verify -rawin`. The memory allowance "
        "is package size + main.wasm size + 4 MiB: the package read whole and main.wasm "
        "inflated whole, so that a host gets the very bytes that were checked. From 1 MiB on, "
        "on two CPUs, plugin_verify hashes main.wasm on a thread of its own while the main "
        "thread inflates it; one core is the same plugin_verify confined "
        "to one CPU by taskset (which adds its own exec), where it inflates and then hashes on "
        "one thread as the floor does; the floor is single-threaded either way. On a shared "
        "machine the second CPU is only as free as the other users leave it: read the ratios "
        "with the load average above, and with two floors at once over one floor (1 when a "
        "second CPU is free, 2 when the two can only take turns, measured in the same rounds).",
        "",
        "| input | package (bytes) | main.wasm (bytes) | rounds | floor (ms) | plugin_verify (ms) "
        "| ratio | paired ratio | CPU ratio | target | met | one core (ms) | "
        "plugin_verify / one core | two floors / floor | pipeline (ms) | "
        "pipeline / plugin_verify | peak RSS (MiB) | RSS - package - main.wasm (MiB) | "
        "memory met |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|:-:|---:|---:|---:|---:|---:|---:|---:|:-:|",
    ]
    data = []
    for r in rows:
        m = r["med"]
        ratio = m["plugin_verify"] / m["floor"]
        target = VERIFY_TARGETS.get(r["name"])
        met = verdict(ratio <= target) if target else "-"
        extra = (r["rss_kib"] * 1024 - r["size"] - r["wasm_size"]) / (1 << 20)
        lines.append(
            f"| {r['name']} | {r['size']} | {r['wasm_size']} | {r['rounds']} | "
            f"{m['floor']*1e3:.2f} | {m['plugin_verify']*1e3:.2f} | {ratio:.3f} | "
            f"{r['paired']:.3f} | {r['cpu_ratio']:.3f} | {target if target else '-'} | {met} | "
            f"{m['one core']*1e3:.2f} | {m['plugin_verify']/m['one core']:.3f} | "
            f"{m['two floors']/m['floor']:.2f} | "
            f"{m['pipeline']*1e3:.2f} | {m['pipeline']/m['plugin_verify']:.2f} | "
            f"{r['rss_kib']/1024:.1f} | {extra:.1f} | {verdict(extra <= RSS_EXTRA_MIB)} |")
        data.append(f"{r['wasm_size']} {ratio} {m['pipeline']/m['floor']}")
    faster = all(r["med"]["pipeline"] > r["med"]["plugin_verify"] for r in rows)
    memory = all(r["rss_kib"] * 1024 - r["size"] - r["wasm_size"] <= RSS_EXTRA_MIB << 20
                 for r in rows)
    same = all(r["same_bytes"] for r in rows)
    lines += ["", f"- Faster than the pipeline on every input: {verdict(faster)}.",
              "- main.wasm extracted by plugin_verify -x identical to the corpus module, on "
              f"two CPUs and confined to one, on every input: {verdict(same)}.",
              f"- Peak memory within package + main.wasm + {RSS_EXTRA_MIB} MiB on every input: "
              f"{verdict(memory)}.", "", "![ratio to the floor](verify-ratio.svg)", ""]
    plot(out, "verify-ratio.dat", "verify-ratio.svg", data, "plugin_verify")
    replace_section("verify", lines)
    print("\n".join(lines))


def demo_public_key(out):
    """The demo key's public key in Base64, derived with openssl."""
    seed = subprocess.run(["base64", "-d"], input=KEY_SEED_B64.encode(), capture_output=True,
                          check=True).stdout
    public_pem = out / "public.pem"
    subprocess.run(["openssl", "pkey", "-inform", "DER", "-pubout", "-out", str(public_pem)],
                   input=PKCS8_PREFIX + seed, check=True)
    public_der = subprocess.run(["openssl", "pkey", "-pubin", "-in", str(public_pem),
                                 "-outform", "DER"], capture_output=True, check=True).stdout
    return subprocess.run(["base64", "-w0"], input=public_der[-32:], capture_output=True,
                          check=True).stdout.decode()


def zeros_package(build, out, name, size, seed_b64):
    """A package whose main.wasm is `size` zero bytes, signed with the key of `seed_b64`."""
    plugin = out / f"plugin-{name}"
    plugin.mkdir(parents=True, exist_ok=True)
    (plugin / "plugin.toml").write_text('[package]\nname = "zeros"\nversion = "1.0.0"\n')
    with open(plugin / "main.wasm", "wb") as wasm:
        wasm.truncate(size)
    package = out / f"{name}.zip"
    env = dict(os.environ, KAVENTA_PLUGIN_SIGNING_KEY=seed_b64)
    subprocess.run([str(build / "plugin_sign"), str(plugin), str(package)], env=env,
                   check=True, capture_output=True)
    (plugin / "main.wasm").unlink()
    return package


def bench_bomb(build, out, runone):
    """What a package costs before its signature is known: a module of zeros that verifies
    (streamed into its digests, then inflated whole after the signature), and a bomb of the
    same kind under another key's signature, refused as bad_signature after the streamed
    pass. Both beside the floor on the same package, which inflates whole and hashes once."""
    public_b64 = demo_public_key(out)
    other_seed = "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE="
    env = dict(os.environ)
    env.pop("KAVENTA_PLUGIN_SIGNING_KEY", None)
    floor = str(build / "bench" / "verify_floor")
    inputs = [("zeros-256m", 256 << 20, KEY_SEED_B64, 0, 9),
              ("bomb-1g", 1 << 30, other_seed, 1, 7)]
    started, load_before = time.monotonic(), load_average()
    rows = []
    for name, declared, seed, status, rounds in inputs:
        package = zeros_package(build, out, name, declared, seed)
        commands = {
            "plugin_verify": [str(build / "plugin_verify"), "-q", "-P", public_b64,
                              str(package)],
            "floor": [floor, str(package)],
        }
        r = time_commands(runone, commands, "plugin_verify", "floor", rounds,
                          str(out / "stdout.txt"), env, {"plugin_verify": status})
        r.update(name=name, size=package.stat().st_size, declared=declared)
        rows.append(r)
        m = r["med"]
        print(f"{name:12} floor {m['floor']:.3f} s  plugin_verify {m['plugin_verify']:.3f} s  "
              f"ratio {m['plugin_verify'] / m['floor']:.3f}", flush=True)
    write_bomb_report(rows, conditions_lines("plugin_verify", started, load_before))


def write_bomb_report(rows, conditions):
    lines = [
        "## Before the signature", "", *conditions,
        "Two packages made by plugin_sign from a main.wasm of zeros, DEFLATE's best case "
        "(about 1030 bytes to one): zeros-256m signed by the demo key, so that it verifies "
        "after both passes (streamed into its SHA-256 and CRC-32 through a 256 KiB window "
        "before the signature, then inflated whole by the same inflater once the signature "
        "verified, its CRC-32 checked again but not hashed again), and bomb-1g, "
        "1 GiB declared and signed by another key, refused as bad_signature after the streamed "
        "pass. The floor is the verify floor on the same package (one whole inflate and one "
        "SHA-256). Rotation and medians as above; seconds per declared GiB are plugin_verify's "
        "median wall time over the declared size, CPU the same for user plus system time.", "",
        "| input | package (bytes) | declared main.wasm (bytes) | rounds | floor (s) | "
        "plugin_verify (s) | ratio | paired ratio | CPU ratio | s per declared GiB | "
        "CPU s per declared GiB | target | met |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|:-:|",
    ]
    for r in rows:
        m, cpu = r["med"], r["cpu_med"]
        ratio = m["plugin_verify"] / m["floor"]
        gib = r["declared"] / (1 << 30)
        if r["name"].startswith("bomb"):
            target, met = f"<= {BOMB_SECONDS_PER_GIB} s/GiB", m["plugin_verify"] / gib <= \
                BOMB_SECONDS_PER_GIB
        else:
            target, met = f"ratio <= {ZEROS_TARGET}", ratio <= ZEROS_TARGET
        lines.append(
            f"| {r['name']} | {r['size']} | {r['declared']} | {r['rounds']} | "
            f"{m['floor']:.3f} | {m['plugin_verify']:.3f} | {ratio:.3f} | {r['paired']:.3f} | "
            f"{r['cpu_ratio']:.3f} | {m['plugin_verify'] / gib:.3f} | "
            f"{cpu['plugin_verify'] / gib:.3f} | {target} | {verdict(met)} |")
    lines.append("")
    replace_section("bomb", lines)
    print("\n".join(lines))


PEERS = ("minisign", "signify", "ssh-keygen")


def peer_commands(module, work):
    """Keys made and `module` signed once by each peer, detached; the command that verifies."""
    work.mkdir(parents=True, exist_ok=True)
    quiet = dict(check=True, capture_output=True)
    mini_pub, mini_sec, mini_sig = work / "minisign.pub", work / "minisign.key", work / "m.minisig"
    if not mini_pub.exists():
        subprocess.run(["minisign", "-G", "-W", "-f", "-p", str(mini_pub), "-s", str(mini_sec)],
                       **quiet)
    subprocess.run(["minisign", "-S", "-s", str(mini_sec), "-m", str(module), "-x",
                    str(mini_sig)], **quiet)
    sig_pub, sig_sec, sig_sig = work / "signify.pub", work / "signify.sec", work / "m.sig"
    if not sig_pub.exists():
        subprocess.run(["signify-openbsd", "-G", "-n", "-p", str(sig_pub), "-s", str(sig_sec)],
                       **quiet)
    subprocess.run(["signify-openbsd", "-S", "-s", str(sig_sec), "-m", str(module), "-x",
                    str(sig_sig)], **quiet)
    ssh_key, allowed, ssh_sig = work / "ssh_key", work / "allowed_signers", work / "m.sshsig"
    if not ssh_key.exists():
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(ssh_key)],
                       **quiet)
        allowed.write_text("bench " + (work / "ssh_key.pub").read_text())
    with open(module, "rb") as data:
        signed = subprocess.run(["ssh-keygen", "-Y", "sign", "-q", "-f", str(ssh_key), "-n",
                                 "file"], stdin=data, **quiet).stdout
    ssh_sig.write_bytes(signed)
    return {
        "minisign": ["minisign", "-V", "-q", "-p", str(mini_pub), "-m", str(module), "-x",
                     str(mini_sig)],
        "signify": ["signify-openbsd", "-V", "-q", "-p", str(sig_pub), "-m", str(module), "-x",
                    str(sig_sig)],
        "ssh-keygen": (["ssh-keygen", "-Y", "verify", "-q", "-f", str(allowed), "-I", "bench",
                        "-n", "file", "-s", str(ssh_sig)], str(module)),
    }


def bench_peers(build, corpus, out, runone):
    """plugin_verify on each corpus package beside the small signing tools verifying the bare,
    uncompressed main.wasm with a detached signature, in one run."""
    public_b64 = demo_public_key(out)
    env = dict(os.environ)
    env.pop("KAVENTA_PLUGIN_SIGNING_KEY", None)
    packages = sign_packages(build, corpus, out)
    started, load_before = time.monotonic(), load_average()
    rows = []
    for name, wasm_size, package in packages:
        commands = peer_commands(corpus / "plugins" / name / "main.wasm", out / "peers" / name)
        commands["plugin_verify"] = [str(build / "plugin_verify"), "-q", "-P", public_b64,
                                     str(package)]
        r = time_commands(runone, commands, "plugin_verify", "minisign", rounds_for(wasm_size),
                          str(out / "stdout.txt"), env)
        r.update(name=name, size=package.stat().st_size, wasm_size=wasm_size)
        rows.append(r)
        m = r["med"]
        print(f"{name:12} plugin_verify {m['plugin_verify']*1e3:9.2f} ms  " +
              "  ".join(f"{p} {m[p]*1e3:9.2f} ms" for p in PEERS), flush=True)
    write_peers_report(rows, conditions_lines("plugin_verify", started, load_before))


def write_peers_report(rows, conditions):
    lines = [
        "## Beside the small signing tools", "", *conditions,
        "plugin_verify on each corpus package (as plugin_sign writes it, block-compressed) "
        "beside minisign -V, signify-openbsd -V and ssh-keygen -Y verify on the same plugin's "
        "bare main.wasm with a detached signature (Debian's packages; each tool's own key, "
        "made once). Rotation, medians and runone as above; each ratio is plugin_verify's "
        "median over the peer's, the paired ratio (minisign) the median of the per-round "
        "ratios. The target is the ratio to minisign.", "",
        "| input | main.wasm (bytes) | rounds | plugin_verify (ms) | minisign (ms) | ratio | "
        "paired ratio | target | met | signify (ms) | ratio | ssh-keygen (ms) | ratio |",
        "|---|---:|---:|---:|---:|---:|---:|---:|:-:|---:|---:|---:|---:|",
    ]
    for r in rows:
        m = r["med"]
        pv = m["plugin_verify"]
        target = PEER_TARGETS.get(r["name"])
        met = verdict(pv / m["minisign"] <= target) if target else "-"
        lines.append(
            f"| {r['name']} | {r['wasm_size']} | {r['rounds']} | {pv*1e3:.2f} | "
            f"{m['minisign']*1e3:.2f} | {pv/m['minisign']:.3f} | {r['paired']:.3f} | "
            f"{target if target else '-'} | {met} | {m['signify']*1e3:.2f} | {pv/m['signify']:.3f} | "
            f"{m['ssh-keygen']*1e3:.2f} | {pv/m['ssh-keygen']:.3f} |")
    lines.append("")
    replace_section("peers", lines)
    print("\n".join(lines))


def main():
    build, corpus, out = (Path(a).resolve() for a in sys.argv[1:4])
    part = sys.argv[4] if len(sys.argv) > 4 else "all"
    if part not in ("sign", "verify", "bomb", "peers", "all"):
        sys.exit(f"bench.py: unknown part {part!r}: sign, verify, bomb, peers or all")
    out.mkdir(parents=True, exist_ok=True)
    runone = str(build / "bench" / "runone")
    if part in ("sign", "all"):
        bench_sign(build, corpus, out, runone)
    if part in ("verify", "all"):
        bench_verify(build, corpus, out, runone)
    if part in ("bomb", "all"):
        bench_bomb(build, out, runone)
    if part in ("peers", "all"):
        bench_peers(build, corpus, out, runone)


if __name__ == "__main__":
    main()
