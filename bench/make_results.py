#!/usr/bin/env python3
"""Writes bench/RESULTS.md from the outputs of bench/run.sh.

usage: make_results.py DATA_DIR RESULTS_MD

DATA_DIR holds kernels-<set>.json (Google Benchmark) and runs.tsv (whole
runs of the program).
"""
import csv
import glob
import json
import os
import platform
import subprocess
import sys
import time


def machine():
    model, cores = "unknown", os.cpu_count()
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "Model name":
                model = value.strip()
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
            mem = f", {kb / 1024 / 1024:.0f} GiB memory"
    except (OSError, ValueError, IndexError):
        pass
    return f"{model}, {cores} cores{mem}, {platform.system()} {platform.release()}"


def kernel_tables(data):
    lines = []
    for path in sorted(glob.glob(os.path.join(data, "kernels-*.json"))):
        with open(path) as f:
            doc = json.load(f)
        ctx = doc["context"]
        name = os.path.basename(path)[len("kernels-"):-len(".json")]
        lines.append(f"### Kernels: {name} ({ctx['individuals']} x {ctx['snps']}, K = {ctx['K']})")
        lines.append("")
        lines.append(
            f"Fast steps identical to the plain forms on this build: block relaxation "
            f"{ctx['identical_block_step']}, EM {ctx['identical_em_step']}; log-likelihood "
            f"relative difference {ctx['loglike_relative_difference']}. "
            f"Kernel level: {ctx.get('kernel_level', 'not recorded')}. "
            f"Load average at start: {', '.join(f'{x:.1f}' for x in ctx['load_avg'])}.")
        if "quadprog_cycled_1001" in ctx:
            lines.append("")
            lines.append("Quadratic programs of one block-relaxation step that end at the 1001st "
                         "active-set change (cycling), along a plain run from a random start and at "
                         "the truth: " + ctx["quadprog_cycled_1001"] + ".")
        lines.append("")
        rows = {}
        for b in doc["benchmarks"]:
            kernel, form, threads = b["name"].split("/")[:3]
            rows[(kernel, form, int(threads))] = b
        lines.append("| kernel | form | threads | ms per call | ns per genotype | fast / reference | scaling vs 1 thread |")
        lines.append("|---|---|---:|---:|---:|---:|---:|")
        kernels = []
        for (kernel, _, _) in rows:
            if kernel not in kernels:
                kernels.append(kernel)
        for kernel in kernels:
            ref = rows.get((kernel, "reference", 1))
            one = rows.get((kernel, "fast", 1))
            for (k, form, threads), b in sorted(rows.items(), key=lambda x: (x[0][1] != "reference", x[0][2])):
                if k != kernel:
                    continue
                ms = b["real_time"]
                ratio = ""
                if form == "fast" and ref is not None:
                    ratio = f"{ref['real_time'] / ms:.1f}x"
                scale = ""
                if form == "fast" and one is not None:
                    scale = f"{one['real_time'] / ms:.2f}x"
                extra = ""
                if "ns_per_problem" in b:
                    extra = (f" ({b['ns_per_problem']:.0f} ns per problem, {int(b['problems'])} problems, "
                             f"{int(b['cycled_1001'])} ended at the 1001st change, "
                             f"{int(b['failed_pivot'])} failed pivots)")
                lines.append(f"| {kernel}{extra} | {form} | {threads} | {ms:.1f} | {b['ns_per_genotype']:.3f} | {ratio} | {scale} |")
        lines.append("")
    return lines


LEVELS = ["x86-64", "x86-64-v2", "x86-64-v3", "x86-64-v4"]
LANES = {"x86-64": 2, "x86-64-v2": 2, "x86-64-v3": 4, "x86-64-v4": 8}


def read_runs(data):
    path = os.path.join(data, "runs.tsv")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return list(csv.DictReader(f, delimiter="\t"))


def level_table(data):
    """The default run on one thread at each x86-64 level of the kernels."""
    rows = read_runs(data)
    by_level = {r["method"][len("level-"):]: r for r in rows if r["method"].startswith("level-")}
    default = next((r for r in rows if r["method"] == "default" and r["threads"] == "1"
                    and any(r["set"] == x["set"] for x in by_level.values())), None)
    if not by_level:
        return []
    def secs(r):
        try:
            return float(r["sec_per_iter"]) if int(r["iterations"]) > 0 else None
        except ValueError:
            return None
    timed = {lv: secs(r) for lv, r in by_level.items()}
    best = min((t for t in timed.values() if t), default=None)
    first = next(iter(by_level.values()))
    lines = [f"### Kernel levels: {first['set']} ({first['I']} x {first['L']}, K = {first['K']})", ""]
    lines.append("The one binary holds the kernels of every x86-64 level and runs the highest that "
                 "the CPU has; `KELVANORE_ISA` forces one. Each row is the default method on one "
                 f"thread capped at {first['cap']} iterations, run one after another; every level "
                 "gives the same bytes. The default row is the run without `KELVANORE_ISA`.")
    lines.append("")
    lines.append("| level | doubles per lane group | s per iteration | total s | vs best level |")
    lines.append("|---|---:|---:|---:|---:|")
    if default is not None and secs(default):
        ratio = f"{secs(default) / best:.2f}x" if best else ""
        lines.append(f"| default (highest) | | {secs(default):.3f} | {float(default['total_sec']):.1f} | {ratio} |")
    for lv in LEVELS:
        r = by_level.get(lv)
        if r is None:
            continue
        t = timed[lv]
        if t is None:
            lines.append(f"| {lv} | {LANES[lv]} | this CPU lacks it | | |")
            continue
        lines.append(f"| {lv} | {LANES[lv]} | {t:.3f} | {float(r['total_sec']):.1f} | {t / best:.2f}x |")
    lines.append("")
    return lines


def run_table(data):
    rows = [r for r in read_runs(data) if not r["method"].startswith("level-")]
    if not rows:
        return []
    lines = ["### Whole runs", ""]
    lines.append("Method `default` is block relaxation with quasi-Newton acceleration; `a-none` is "
                 "block relaxation without acceleration (`-a none`); `em-a-none` is EM without "
                 "acceleration (`-m em -a none`). A cap of N means `-C N` (a fixed number of "
                 "iterations; EM without acceleration needs thousands to converge); cap 0 is a run "
                 "to convergence. Seconds per iteration are the mean of the main algorithm's status "
                 "lines; total seconds and peak resident memory are those of the whole process "
                 "(reading, five priming EM steps, estimation, output). The memory budget is "
                 "1.5 x I x L bytes + 64 MB.")
    lines.append("")
    lines.append("| data set | K | method | threads | cap | iterations | s per iteration | total s | peak RSS MB | budget MB | converged | scaling vs 1 thread |")
    lines.append("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---|---:|")
    base = {}
    for r in rows:
        if r["threads"] == "1":
            base[(r["set"], r["method"], r["cap"])] = r
    for r in rows:
        budget = 1.5 * int(r["I"]) * int(r["L"]) / 2**20 + 64
        peak = int(r["peak_kb"]) / 1024
        scale = ""
        b = base.get((r["set"], r["method"], r["cap"]))
        try:
            if b is not None:
                scale = f"{float(b['sec_per_iter']) / float(r['sec_per_iter']):.2f}x"
        except (ValueError, ZeroDivisionError):
            pass
        lines.append(f"| {r['set']} | {r['K']} | {r['method']} | {r['threads']} | {r['cap']} | {r['iterations']} | "
                     f"{float(r['sec_per_iter']):.3f} | {float(r['total_sec']):.1f} | {peak:.0f} | {budget:.0f} | "
                     f"{r['converged']} | {scale} |")
    lines.append("")
    return lines


# Comparisons measured once, by hand, against builds of earlier versions (a
# change's before and after) cannot be made again by this script: the section
# under this heading is kept from the previous RESULTS.md as it stands.
KEPT_HEADING = "## Measured once"


def kept_section(path):
    try:
        with open(path) as f:
            text = f.read()
    except OSError:
        return []
    at = text.find("\n" + KEPT_HEADING)
    return [] if at < 0 else [text[at + 1:].rstrip("\n"), ""]


def main():
    data, out = sys.argv[1], sys.argv[2]
    kept = kept_section(out)
    lines = ["# Benchmark results", ""]
    lines.append(f"Written by `bench/run.sh` on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}.")
    lines.append(f"Machine: {machine()}. Build: Release, `-O3`, the kernels compiled for every "
                 "x86-64 level and the rest for the x86-64 baseline; the kernels' level is the "
                 "highest that the CPU has.")
    lines.append("The machine may have been shared with other work while the suite ran; see the load averages.")
    lines.append("")
    lines += kernel_tables(data)
    lines += level_table(data)
    lines += run_table(data)
    lines += kept
    with open(out, "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
