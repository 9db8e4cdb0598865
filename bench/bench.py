"""Measures the programs on the machine at hand and prints one Markdown table: output rates
against the serial bound, how often the race shows, the checker's speed, and the cost of
starting each program. Every figure is the median of several runs, with their spread."""

import argparse
import os
import platform
import re
import statistics
import subprocess
import tempfile
import time


def pipeline(script, env):
    """Runs a bash pipeline; returns its wall time in seconds and its standard output."""
    start = time.perf_counter()
    done = subprocess.run(["bash", "-c", script], env=env, capture_output=True, text=True,
                          check=False)
    return time.perf_counter() - start, done.stdout


def figure(samples, unit="", scale=1.0, digits=2):
    """The median and the range of samples, as two table cells."""
    values = sorted(value * scale for value in samples)
    return (f"{statistics.median(values):.{digits}f} {unit}".rstrip(),
            f"{values[0]:.{digits}f}–{values[-1]:.{digits}f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", required=True, help="folder of the built programs")
    parser.add_argument("--tools", required=True, help="folder of the benchmark's programs")
    parser.add_argument("--build", default="", help="how the programs were built")
    parser.add_argument("--lines", type=int,
                        default=int(os.environ.get("BENCH_LINES", 5_000_000)))
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--spawns", type=int, default=1000, help="runs per start-up figure")
    args = parser.parse_args()
    env = dict(os.environ, PATH=args.bin + os.pathsep + args.tools + os.pathsep +
               os.environ["PATH"], LC_ALL="C")
    lines, rows = args.lines, []

    def repeat(script):
        return [pipeline(script, env) for _ in range(args.repeats)]

    rates = {}
    for program in ("guardtally", "loosetally", "serialtally"):
        runs = repeat(f"{program} | head -n {lines} >/dev/null")
        rates[program] = [lines / seconds for seconds, _ in runs]
        rows.append((f"`{program}` output rate through a pipe",
                     *figure(rates[program], "M lines/s", 1e-6)))
    bound = statistics.median(rates["serialtally"])
    for program in ("guardtally", "loosetally"):
        ratio = [rate / bound for rate in rates[program]]
        rows.append((f"`{program}` / serial bound", *figure(ratio, "×")))

    for program in ("loosetally", "guardtally"):
        runs = repeat(f"{program} | head -n {lines} | tallycheck")
        breaks = [int(re.search(r"breaks: (\d+)", out).group(1)) * 1e6 / lines
                  for _, out in runs]
        rows.append((f"`{program}` breaks per million lines", *figure(breaks, digits=0)))

    with tempfile.NamedTemporaryFile(dir=args.tools) as trace:
        pipeline(f"guardtally | head -n {lines} > {trace.name}", env)
        pipeline(f"cat {trace.name} >/dev/null", env)  # into the page cache
        check = [lines / seconds for seconds, _ in repeat(f"tallycheck {trace.name} >/dev/null")]
    rows.append(("`tallycheck` rate on a file in the page cache",
                 *figure(check, "M lines/s", 1e-6)))
    guarded = statistics.median(rates["guardtally"])
    rows.append(("`tallycheck` / `guardtally` output rate",
                 *figure([rate / guarded for rate in check], "×", digits=1)))

    spawntime = os.path.join(args.tools, "spawntime")
    for label, output, command in (
            ("`/bin/true`, the floor", "null", ["/bin/true"]),
            ("`rawhello`", "null", [os.path.join(args.bin, "rawhello")]),
            ("`/bin/ls -a -l`, which the next two run", "null", ["/bin/ls", "-a", "-l"]),
            ("`swaplist`, listing included", "null", [os.path.join(args.bin, "swaplist")]),
            ("`spawnlist`, until the parent exits", "drain",
             [os.path.join(args.bin, "spawnlist")])):
        means = [float(subprocess.run([spawntime, str(args.spawns), output, *command],
                                      capture_output=True, text=True, check=True).stdout)
                 for _ in range(args.repeats)]
        rows.append((f"start to exit: {label} (mean of {args.spawns})", *figure(means, "µs", digits=0)))

    with open("/proc/cpuinfo", encoding="ascii", errors="replace") as cpuinfo:
        processor = next((line.split(":", 1)[1].strip() for line in cpuinfo
                          if line.startswith("model name")), platform.processor())
    print(f"Machine: {processor}, {os.cpu_count()} cores, Linux {platform.release()}. "
          f"Build: {args.build}.")
    print(f"Each figure: the median of {args.repeats} runs, with their range; "
          f"{lines:,} lines per output run.\n")
    print("| measure | median | spread (min–max) |\n|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
