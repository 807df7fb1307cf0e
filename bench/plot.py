"""Draws build wall time and peak memory against key count from bench/scaling's CSV.

Usage: /usr/bin/python3 bench/plot.py SCALING.csv OUT.png   (matplotlib: python3-matplotlib)
"""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # pylint: disable=wrong-import-position


def main():
    if len(sys.argv) != 3 or sys.argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        sys.exit(0 if len(sys.argv) > 1 and sys.argv[1] in ("-h", "--help") else 2)
    rows = list(csv.DictReader(open(sys.argv[1], encoding="utf-8")))
    programs = list(dict.fromkeys(row["program"] for row in rows))
    figure, (time_axis, memory_axis) = plt.subplots(1, 2, figsize=(11, 4.2))
    for program in programs:
        mine = sorted((int(r["keys"]), float(r["seconds"]), float(r["peak_mib"]) / 1024)
                      for r in rows if r["program"] == program)
        keys = [k / 1e6 for k, _, _ in mine]
        style = "-o" if program.startswith(("one", "shards")) else "--s"
        time_axis.plot(keys, [s for _, s, _ in mine], style, label=program)
        memory_axis.plot(keys, [m for _, _, m in mine], style, label=program)
    for axis, label in ((time_axis, "build wall time, s"), (memory_axis, "peak memory, GiB")):
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xlabel("URL-like keys, millions")
        axis.set_ylabel(label)
        axis.grid(True, which="both", alpha=0.3)
    memory_axis.axhline(12, color="grey", linestyle=":", linewidth=1)
    time_axis.legend(fontsize=8)
    figure.suptitle("Building from sorted keys on 2 cores, 24 GiB (one index stops at its cap)")
    figure.tight_layout()
    figure.savefig(sys.argv[2], dpi=110)


if __name__ == "__main__":
    main()
