#!/usr/bin/env python3
"""The benchmark's table: medians of every job's runs, ours against the ffmpeg program.

    report.py RUNS_CSV RESULTS_CSV [COMPARE_TXT]

RUNS_CSV has one line per measured run (job, program, run, wall_s, user_s, sys_s, peak_kib,
exit_status, input_s). Prints the table and the scale row, and writes the same figures to
RESULTS_CSV. Targets: our CPU time at most 1.03 times the peer's, our peak memory at most the
peer's plus 10 MiB.
"""
import csv
import statistics
import sys
from collections import defaultdict

CPU_RATIO_TARGET = 1.03
PEAK_MARGIN_MIB = 10.0
SCALE_SOURCE = "video-dx50"  # the job whose input lengths make the scale row
LINEAR_TOLERANCE = 0.05      # each length's CPU time may stray this far from the fitted line
FLAT_TOLERANCE_MIB = 10.0    # peak memory may vary this much and still be flat


class Figures:
    """Medians of one program's successful runs of one job."""

    def __init__(self, rows):
        good = [r for r in rows if r["exit_status"] == "0"]
        self.runs = len(rows)
        self.failed = len(rows) - len(good)
        self.wall_s = statistics.median(float(r["wall_s"]) for r in good) if good else None
        self.cpu_s = statistics.median(float(r["user_s"]) + float(r["sys_s"]) for r in good) if good else None
        self.peak_mib = statistics.median(int(r["peak_kib"]) / 1024 for r in good) if good else None


def ratio(a, b):
    return a / b if a is not None and b else None


def text(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def main():
    runs_csv, results_csv = sys.argv[1], sys.argv[2]
    compare_txt = sys.argv[3] if len(sys.argv) > 3 else None

    by_job = defaultdict(lambda: defaultdict(list))
    input_s = {}
    order = []
    with open(runs_csv, newline="") as f:
        for row in csv.DictReader(f):
            if row["job"] not in by_job:
                order.append(row["job"])
            by_job[row["job"]][row["program"]].append(row)
            input_s[row["job"]] = float(row["input_s"])

    results = []
    for job in order:
        ours, peer = Figures(by_job[job]["ours"]), Figures(by_job[job]["peer"])
        cpu_ratio = ratio(ours.cpu_s, peer.cpu_s)
        if ours.failed or peer.failed:
            cpu_ok = mem_ok = "failed"
        else:
            cpu_ok = "ok" if cpu_ratio <= CPU_RATIO_TARGET else "MISS"
            mem_ok = "ok" if ours.peak_mib <= peer.peak_mib + PEAK_MARGIN_MIB else "MISS"
        results.append({
            "job": job, "input_s": input_s[job], "runs": min(ours.runs, peer.runs),
            "failed_runs": ours.failed + peer.failed,
            "ours_wall_s": ours.wall_s, "peer_wall_s": peer.wall_s, "wall_ratio": ratio(ours.wall_s, peer.wall_s),
            "ours_cpu_s": ours.cpu_s, "peer_cpu_s": peer.cpu_s, "cpu_ratio": cpu_ratio,
            "ours_peak_mib": ours.peak_mib, "peer_peak_mib": peer.peak_mib,
            "peak_ratio": ratio(ours.peak_mib, peer.peak_mib),
            "cpu_target": cpu_ok, "memory_target": mem_ok,
        })

    main_rows = [r for r in results if not r["job"].startswith("scale-")]
    header = (f"{'job':<14} {'input':>6} {'runs':>4} | {'wall s ours':>11} {'ffmpeg':>7} {'ratio':>5} | "
              f"{'CPU s ours':>10} {'ffmpeg':>7} {'ratio':>5} | {'peak MiB ours':>13} {'ffmpeg':>7} {'ratio':>5} | "
              f"{'CPU<=1.03x':>10} {'mem<=+10MiB':>11}")
    print()
    print(header)
    print("-" * len(header))
    for r in main_rows:
        print(f"{r['job']:<14} {r['input_s']:>5.0f}s {r['runs']:>4} | {text(r['ours_wall_s']):>11} "
              f"{text(r['peer_wall_s']):>7} {text(r['wall_ratio']):>5} | {text(r['ours_cpu_s']):>10} "
              f"{text(r['peer_cpu_s']):>7} {text(r['cpu_ratio']):>5} | {text(r['ours_peak_mib'], 1):>13} "
              f"{text(r['peer_peak_mib'], 1):>7} {text(r['peak_ratio']):>5} | {r['cpu_target']:>10} "
              f"{r['memory_target']:>11}")

    # The scale row: the DX50 video job on inputs of three lengths.
    scale = [r for r in results if r["job"].startswith("scale-") or r["job"] == SCALE_SOURCE]
    scale.sort(key=lambda r: r["input_s"])
    scale_rows = []
    if len(scale) > 1:
        print()
        print(f"scale: the {SCALE_SOURCE} job on inputs of " +
              ", ".join(f"{r['input_s']:.0f}" for r in scale) + " s")
        print(f"{'input':>6} | {'CPU s ours':>10} {'per input s':>11} {'peak MiB':>8} | "
              f"{'CPU s ffmpeg':>12} {'per input s':>11} {'peak MiB':>8} | {'CPU ratio':>9}")
        for r in scale:
            per_ours = r["ours_cpu_s"] / r["input_s"] if r["ours_cpu_s"] is not None else None
            per_peer = r["peer_cpu_s"] / r["input_s"] if r["peer_cpu_s"] is not None else None
            print(f"{r['input_s']:>5.0f}s | {text(r['ours_cpu_s']):>10} {text(per_ours, 3):>11} "
                  f"{text(r['ours_peak_mib'], 1):>8} | {text(r['peer_cpu_s']):>12} {text(per_peer, 3):>11} "
                  f"{text(r['peer_peak_mib'], 1):>8} | {text(r['cpu_ratio']):>9}")
            scale_rows.append(dict(r, job=f"scale-{r['input_s']:.0f}s"))
        for who, name in (("ours", "ours"), ("peer", "ffmpeg")):
            if any(r[f"{who}_cpu_s"] is None for r in scale):
                print(f"  {name}: failed runs, no verdict")
                continue
            lengths = [r["input_s"] for r in scale]
            cpu = [r[f"{who}_cpu_s"] for r in scale]
            slope, intercept = statistics.linear_regression(lengths, cpu)
            worst = max(abs(c - (intercept + slope * x)) / c for x, c in zip(lengths, cpu))
            peaks = [r[f"{who}_peak_mib"] for r in scale]
            peak_spread = max(peaks) - min(peaks)
            print(f"  {name}: CPU time = {intercept:.2f} s + {slope:.3f} s per input second, every length within "
                  f"{worst * 100:.1f} % of that line ({'linear' if worst <= LINEAR_TOLERANCE else 'NOT linear'}); "
                  f"peak memory varies by {peak_spread:.1f} MiB "
                  f"({'flat' if peak_spread <= FLAT_TOLERANCE_MIB else 'NOT flat'})")

    if compare_txt:
        with open(compare_txt) as f:
            lines = [line.rstrip("\n") for line in f if line.strip()]
        if lines:
            print()
            print("outputs of the last run compared:")
            for line in lines:
                print("  " + line)

    fields = ["job", "input_s", "runs", "failed_runs", "ours_wall_s", "peer_wall_s", "wall_ratio", "ours_cpu_s",
              "peer_cpu_s", "cpu_ratio", "ours_peak_mib", "peer_peak_mib", "peak_ratio", "cpu_target",
              "memory_target"]
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
