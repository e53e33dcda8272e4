#!/usr/bin/env python3
"""Writing an image of N MB: tolvera-image against dd, side by side.

  bench/compare_dd.py [--program build/native/tolvera-image] [--scratch DIR]
                      [--runs 5] [--sizes 100,1024,4096]

The peer is `dd if=/dev/zero of=FILE bs=1M count=N`, the well-known way to
write N megabytes of zero bytes.  Both write into the same scratch
directory (by default one under /var/tmp, on the disk), the program through
drive B:, which a private mount namespace maps to that directory.  Runs
alternate, program then dd; each is timed from start to end, and its peak
resident memory is what /usr/bin/time -v reports.  Every file is deleted and the
disk synced between runs, so that no run pays for another's write-back.
Prints the medians and the ratios program/dd.  Needs root (the mount).

This is a benchmark: nothing here passes or fails.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def enter_private_namespace():
    if os.environ.get("TOLVERA_BENCH_NAMESPACE") == "1":
        return
    if os.geteuid() != 0:
        sys.exit("the benchmark maps drive B: with a mount and needs root")
    env = dict(os.environ, TOLVERA_BENCH_NAMESPACE="1")
    sys.exit(subprocess.call(["unshare", "--mount", "--propagation", "private",
                              sys.executable] + sys.argv, env=env))


def map_drive_b(scratch):
    """/mnt/b is the scratch directory; nothing else of /mnt is touched."""
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "bench-drives", "/mnt"], check=True)
    os.mkdir("/mnt/b")
    subprocess.run(["mount", "--bind", scratch, "/mnt/b"], check=True)


def timed(command, input=None):
    """(seconds, peak resident kilobytes) of one run of command.  The time
    is taken here, to the microsecond; the memory is what /usr/bin/time -v
    reports as the maximum resident set size."""
    with tempfile.NamedTemporaryFile(mode="r") as report:
        start = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + command,
                       input=input, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True)
        seconds = time.perf_counter() - start
        kilobytes = int(report.read().split()[-1])
    return seconds, kilobytes


def settle(path):
    if os.path.exists(path):
        os.unlink(path)
    os.sync()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--program", default="build/native/tolvera-image")
    parser.add_argument("--scratch", default="/var/tmp")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="100,1024,4096")
    options = parser.parse_args()
    program = os.path.abspath(options.program)
    enter_private_namespace()
    scratch = tempfile.mkdtemp(prefix="tolvera-bench-", dir=options.scratch)
    map_drive_b(scratch)
    ours = os.path.join(scratch, "TOLVERA.IMG")
    theirs = os.path.join(scratch, "dd.img")

    print("%6s %12s %12s %7s %12s %12s %7s" % ("N (MB)", "program (s)", "dd (s)", "ratio",
                                              "program (KB)", "dd (KB)", "ratio"))
    try:
        for size in (int(n) for n in options.sizes.split(",")):
            program_runs, dd_runs = [], []
            for _ in range(options.runs):
                settle(ours)
                program_runs.append(timed([program], b"b\n%d\n\n" % size))
                if os.path.getsize(ours) != size * 1048576:
                    sys.exit("the program did not write %d MB" % size)
                settle(ours)
                dd_runs.append(timed(["dd", "if=/dev/zero", "of=" + theirs, "bs=1M",
                                      "count=%d" % size]))
                settle(theirs)
            program_time = statistics.median(t for t, _ in program_runs)
            dd_time = statistics.median(t for t, _ in dd_runs)
            program_memory = max(m for _, m in program_runs)
            dd_memory = max(m for _, m in dd_runs)
            print("%6d %12.3f %12.3f %7.2f %12d %12d %7.2f" % (
                size, program_time, dd_time, program_time / dd_time if dd_time else 0,
                program_memory, dd_memory, program_memory / dd_memory))
            sys.stdout.flush()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
