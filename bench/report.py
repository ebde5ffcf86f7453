#!/usr/bin/env python3
"""The benchmark's table: medians of every job's runs, ours against the ffmpeg program.

    report.py RUNS_CSV RESULTS_CSV [COMPARE_TXT]

RUNS_CSV has one line per measured run (job, program, run, wall_s, user_s, sys_s, peak_kib,
exit_status, input_s, instructions). Prints the table and the scale row, and writes the same
figures to RESULTS_CSV. Targets: our CPU time at most 1.03 times the peer's, our peak memory
at most the peer's plus 10 MiB. Runs counted under callgrind (instructions filled in) give a
table of instruction counts instead: time and memory under callgrind say nothing.
"""
import csv
import statistics
import sys
from collections import defaultdict

CPU_RATIO_TARGET = 1.03
PEAK_MARGIN_MIB = 10.0
SCALE_SOURCE = "video-dx50"  # the job whose input lengths make the scale row
LINEAR_TOLERANCE = 0.05      # each length's CPU figure may stray this far from the fitted line
FLAT_TOLERANCE_MIB = 10.0    # peak memory may vary this much and still be flat


def median_of(rows, figure):
    return statistics.median(figure(r) for r in rows) if rows else None


class Figures:
    """Medians of one program's successful runs of one job."""

    def __init__(self, rows):
        good = [r for r in rows if r["exit_status"] == "0"]
        self.runs = len(rows)
        self.failed = len(rows) - len(good)
        self.wall_s = median_of(good, lambda r: float(r["wall_s"]))
        self.cpu_s = median_of(good, lambda r: float(r["user_s"]) + float(r["sys_s"]))
        self.peak_mib = median_of(good, lambda r: int(r["peak_kib"]) / 1024)
        counted = [r for r in good if r.get("instructions")]
        self.minstr = median_of(counted, lambda r: int(r["instructions"]) / 1e6)


def ratio(a, b):
    return a / b if a is not None and b else None


def text(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def read_runs(runs_csv):
    by_job = defaultdict(lambda: defaultdict(list))
    input_s = {}
    order = []
    with open(runs_csv, newline="") as f:
        for row in csv.DictReader(f):
            if row["job"] not in by_job:
                order.append(row["job"])
            by_job[row["job"]][row["program"]].append(row)
            input_s[row["job"]] = float(row["input_s"])
    return by_job, input_s, order


def paired_cpu_ratios(ours_rows, peer_rows):
    """Our CPU time over the peer's for each run number that both programs completed."""
    cpu = lambda r: float(r["user_s"]) + float(r["sys_s"])
    peer_by_run = {r["run"]: cpu(r) for r in peer_rows if r["exit_status"] == "0"}
    return [cpu(r) / peer_by_run[r["run"]] for r in ours_rows
            if r["exit_status"] == "0" and peer_by_run.get(r["run"])]


def verdict(failed, value_ok):
    return "failed" if failed else ("ok" if value_ok else "MISS")


def time_table(rows):
    header = (f"{'job':<14} {'input':>6} {'runs':>4} | {'wall s ours':>11} {'ffmpeg':>7} {'ratio':>5} | "
              f"{'CPU s ours':>10} {'ffmpeg':>7} {'ratio':>5} | {'peak MiB ours':>13} {'ffmpeg':>7} {'ratio':>5} | "
              f"{'CPU<=1.03x':>10} {'mem<=+10MiB':>11} | {'CPU ratio of pairs':>17}")
    print(header)
    print("-" * len(header))
    for r in rows:
        print(f"{r['job']:<14} {r['input_s']:>5.0f}s {r['runs']:>4} | {text(r['ours_wall_s']):>11} "
              f"{text(r['peer_wall_s']):>7} {text(r['wall_ratio']):>5} | {text(r['ours_cpu_s']):>10} "
              f"{text(r['peer_cpu_s']):>7} {text(r['cpu_ratio']):>5} | {text(r['ours_peak_mib'], 1):>13} "
              f"{text(r['peer_peak_mib'], 1):>7} {text(r['peak_ratio']):>5} | {r['cpu_target']:>10} "
              f"{r['memory_target']:>11} | {text(r['pair_cpu_ratio_min']):>8}-{text(r['pair_cpu_ratio_max']):<8}")


def instruction_table(rows):
    header = (f"{'job':<14} {'input':>6} | {'instructions (millions) ours':>29} {'ffmpeg':>9} {'ratio':>6} | "
              f"{'<=1.03x':>7}")
    print(header)
    print("-" * len(header))
    for r in rows:
        print(f"{r['job']:<14} {r['input_s']:>5.0f}s | {text(r['ours_minstr'], 1):>29} {text(r['peer_minstr'], 1):>9} "
              f"{text(r['minstr_ratio'], 3):>6} | {r['cpu_target']:>7}")


def scale_section(results, counting):
    """The scale row: the DX50 video job on inputs of three lengths."""
    scale = [r for r in results if r["job"].startswith("scale-") or r["job"] == SCALE_SOURCE]
    scale.sort(key=lambda r: r["input_s"])
    if len(scale) < 2:
        return []
    key, unit, digits = ("minstr", "Minstr", 1) if counting else ("cpu_s", "CPU s", 2)
    print()
    print(f"scale: the {SCALE_SOURCE} job on inputs of " + ", ".join(f"{r['input_s']:.0f}" for r in scale) + " s")
    print(f"{'input':>6} | {unit + ' ours':>12} {'per input s':>11} {'peak MiB':>8} | "
          f"{unit + ' ffmpeg':>12} {'per input s':>11} {'peak MiB':>8} | {'ratio':>6}")
    for r in scale:
        per = {who: (r[f"{who}_{key}"] / r["input_s"] if r[f"{who}_{key}"] is not None else None)
               for who in ("ours", "peer")}
        print(f"{r['input_s']:>5.0f}s | {text(r[f'ours_{key}'], digits):>12} {text(per['ours'], 3):>11} "
              f"{'-' if counting else text(r['ours_peak_mib'], 1):>8} | {text(r[f'peer_{key}'], digits):>12} "
              f"{text(per['peer'], 3):>11} {'-' if counting else text(r['peer_peak_mib'], 1):>8} | "
              f"{text(ratio(r[f'ours_{key}'], r[f'peer_{key}']), 3):>6}")
    for who, name in (("ours", "ours"), ("peer", "ffmpeg")):
        if any(r[f"{who}_{key}"] is None for r in scale):
            print(f"  {name}: failed runs, no verdict")
            continue
        lengths = [r["input_s"] for r in scale]
        figures = [r[f"{who}_{key}"] for r in scale]
        slope, intercept = statistics.linear_regression(lengths, figures)
        worst = max(abs(c - (intercept + slope * x)) / c for x, c in zip(lengths, figures))
        line = (f"  {name}: {unit} = {intercept:.{digits}f} + {slope:.3f} per input second, every length within "
                f"{worst * 100:.1f} % of that line ({'linear' if worst <= LINEAR_TOLERANCE else 'NOT linear'})")
        if not counting:
            peaks = [r[f"{who}_peak_mib"] for r in scale]
            spread = max(peaks) - min(peaks)
            line += (f"; peak memory varies by {spread:.1f} MiB "
                     f"({'flat' if spread <= FLAT_TOLERANCE_MIB else 'NOT flat'})")
        print(line)
    return [dict(r, job=f"scale-{r['input_s']:.0f}s") for r in scale]


def main():
    runs_csv, results_csv = sys.argv[1], sys.argv[2]
    compare_txt = sys.argv[3] if len(sys.argv) > 3 else None
    by_job, input_s, order = read_runs(runs_csv)

    results = []
    for job in order:
        ours, peer = Figures(by_job[job]["ours"]), Figures(by_job[job]["peer"])
        failed = ours.failed + peer.failed
        r = {
            "job": job, "input_s": input_s[job], "runs": min(ours.runs, peer.runs), "failed_runs": failed,
            "ours_wall_s": ours.wall_s, "peer_wall_s": peer.wall_s, "wall_ratio": ratio(ours.wall_s, peer.wall_s),
            "ours_cpu_s": ours.cpu_s, "peer_cpu_s": peer.cpu_s, "cpu_ratio": ratio(ours.cpu_s, peer.cpu_s),
            "ours_peak_mib": ours.peak_mib, "peer_peak_mib": peer.peak_mib,
            "peak_ratio": ratio(ours.peak_mib, peer.peak_mib),
            "ours_minstr": ours.minstr, "peer_minstr": peer.minstr, "minstr_ratio": ratio(ours.minstr, peer.minstr),
        }
        pairs = paired_cpu_ratios(by_job[job]["ours"], by_job[job]["peer"])
        r["pair_cpu_ratio_min"] = min(pairs) if pairs else None
        r["pair_cpu_ratio_max"] = max(pairs) if pairs else None
        results.append(r)
    counting = any(r["ours_minstr"] is not None for r in results)
    for r in results:
        measure = r["minstr_ratio"] if counting else r["cpu_ratio"]
        r["cpu_target"] = verdict(r["failed_runs"], measure is not None and measure <= CPU_RATIO_TARGET)
        r["memory_target"] = "-" if counting else verdict(
            r["failed_runs"],
            r["ours_peak_mib"] is not None and r["ours_peak_mib"] <= r["peer_peak_mib"] + PEAK_MARGIN_MIB)

    main_rows = [r for r in results if not r["job"].startswith("scale-")]
    print()
    if counting:
        print("instructions executed under callgrind (one run each; time and memory under callgrind mean nothing)")
        instruction_table(main_rows)
    else:
        time_table(main_rows)
        print("(CPU ratio of pairs: the lowest and highest ratio of two runs made one after the other;"
              " a wide range means the machine's other load moved the figures)")
    scale_rows = scale_section(results, counting)

    if compare_txt:
        with open(compare_txt) as f:
            lines = [line.rstrip("\n") for line in f if line.strip()]
        if lines:
            print()
            print("outputs of the last run compared:")
            for line in lines:
                print("  " + line)

    if counting:
        fields = ["job", "input_s", "runs", "failed_runs", "ours_minstr", "peer_minstr", "minstr_ratio", "cpu_target"]
    else:
        fields = ["job", "input_s", "runs", "failed_runs", "ours_wall_s", "peer_wall_s", "wall_ratio", "ours_cpu_s",
                  "peer_cpu_s", "cpu_ratio", "ours_peak_mib", "peer_peak_mib", "peak_ratio", "cpu_target",
                  "memory_target", "pair_cpu_ratio_min", "pair_cpu_ratio_max"]
    with open(results_csv, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=fields)
        writer.writeheader()
        for r in main_rows + scale_rows:
            writer.writerow({k: (f"{v:.4f}" if isinstance(v, float) else v) for k, v in r.items() if k in fields})
    print()
    print(f"written: {results_csv} (every run: {runs_csv})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
