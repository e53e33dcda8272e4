#!/usr/bin/env python3
"""The time to an image that is on the disk: tolvera-image against dd.

  bench/compare_dd.py [--program build/native/tolvera-image] [--scratch DIR]
                      [--runs 5] [--sizes 1024,4096]
                      [--wine LABEL=PROGRAM.exe ...] [--wine-sizes 2048]

The program ends only once the image is on the drive (it flushes it), so
it is measured against peers that also wait for the disk:

  dd conv=fsync   dd if=/dev/zero of=FILE bs=1M count=N conv=fsync: the
                  well-known way, through the page cache, flushed at the end
  dd oflag=direct dd if=/dev/zero of=FILE bs=4M count=N/4 oflag=direct:
                  no cache at all, the disk's own limit

All write into the same scratch directory (by default one under /var/tmp,
on the disk), the program through drive B:, which a private mount
namespace maps to that directory.  Runs alternate (program, dd conv=fsync,
dd oflag=direct), each timed from start to end; after each, fincore tells
how much of the file is still in the page cache, and the file is deleted
and the disk synced, so that no run pays for another's write-back.  Prints
the medians, the ratios program/peer, and the cache left behind.

--wine times Windows programs under Wine writing N MB to drive B: of a
Wine prefix of its own, alternating, for example the .exe before and
after a change.

This is a benchmark: nothing here passes or fails.  Needs root (the mount).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# Wine started with the address layout fixed, as the tests start it: Wine 8
# fails now and then to start at all otherwise (see tests/e2e/drives.py).
WINE_ADDRESSES = ["setarch", "--addr-no-randomize"]

MB = 1048576


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


def timed(command, input=None, env=None):
    start = time.perf_counter()
    subprocess.run(command, input=input, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True, env=env)
    return time.perf_counter() - start


def cached_mib(path):
    out = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES", path],
                         check=True, capture_output=True, text=True).stdout
    return int(out.split()[0]) / MB


def settle(path):
    if os.path.exists(path):
        os.unlink(path)
    os.sync()


def run_and_measure(command, path, size, input=None, env=None):
    """(seconds, MiB left in the page cache) of one run that writes path."""
    settle(path)
    seconds = timed(command, input, env)
    if os.path.getsize(path) != size * MB:
        sys.exit("%s did not write %d MB" % (command[0], size))
    cached = cached_mib(path)
    settle(path)
    return seconds, cached


def native(options, scratch):
    program = os.path.abspath(options.program)
    image = os.path.join(scratch, "TOLVERA.IMG")
    peer = os.path.join(scratch, "dd.img")
    print("time to an image on the disk (median of %d, seconds) and the MiB of it left in "
          "the page cache" % options.runs)
    print("%6s %9s %9s %9s %7s %7s %9s %9s %9s" % (
        "N (MB)", "program", "dd fsync", "dd direct", "p/fsync", "p/direct",
        "cache p", "cache fs", "cache di"))
    for size in (int(n) for n in options.sizes.split(",")):
        runs = {"program": [], "fsync": [], "direct": []}
        for _ in range(options.runs):
            runs["program"].append(run_and_measure([program], image, size,
                                                   input=b"b\n%d\n\n" % size))
            runs["fsync"].append(run_and_measure(
                ["dd", "if=/dev/zero", "of=" + peer, "bs=1M", "count=%d" % size,
                 "conv=fsync"], peer, size))
            runs["direct"].append(run_and_measure(
                ["dd", "if=/dev/zero", "of=" + peer, "bs=4M", "count=%d" % (size // 4),
                 "oflag=direct"], peer, size))
        seconds = {k: statistics.median(t for t, _ in v) for k, v in runs.items()}
        cache = {k: max(c for _, c in v) for k, v in runs.items()}
        print("%6d %9.3f %9.3f %9.3f %7.2f %7.2f %9.1f %9.1f %9.1f" % (
            size, seconds["program"], seconds["fsync"], seconds["direct"],
            seconds["program"] / seconds["fsync"], seconds["program"] / seconds["direct"],
            cache["program"], cache["fsync"], cache["direct"]))
        sys.stdout.flush()


def wine(options, scratch):
    programs = [item.split("=", 1) for item in options.wine]
    prefix = tempfile.mkdtemp(prefix="tolvera-bench-wine-")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    try:
        subprocess.run(WINE_ADDRESSES + ["wineboot", "--init"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.symlink("/mnt/b", os.path.join(prefix, "dosdevices", "b:"))
        subprocess.run(["wineserver", "--wait"], env=env, check=True)
        subprocess.run(["wineserver", "--persistent"], env=env, check=True)
        image = os.path.join(scratch, "TOLVERA.IMG")
        print("Windows programs under Wine (median of %d, seconds)" % options.runs)
        print("%6s" % "N (MB)" + "".join("%12s" % label for label, _ in programs))
        for size in (int(n) for n in options.wine_sizes.split(",")):
            times = {label: [] for label, _ in programs}
            for _ in range(options.runs):
                for label, exe in programs:
                    times[label].append(run_and_measure(
                        WINE_ADDRESSES + ["wine", os.path.abspath(exe)], image, size,
                        input=b"b\n%d\n\n" % size, env=env)[0])
            print("%6d" % size + "".join("%12.3f" % statistics.median(times[label])
                                         for label, _ in programs))
            sys.stdout.flush()
    finally:
        subprocess.run(["wineserver", "--kill"], env=env)
        shutil.rmtree(prefix, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--program", default="build/native/tolvera-image")
    parser.add_argument("--scratch", default="/var/tmp")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="1024,4096")
    parser.add_argument("--wine", action="append", default=[], metavar="LABEL=PROGRAM.exe")
    parser.add_argument("--wine-sizes", default="2048")
    options = parser.parse_args()
    enter_private_namespace()
    scratch = tempfile.mkdtemp(prefix="tolvera-bench-", dir=options.scratch)
    map_drive_b(scratch)
    try:
        if options.sizes:
            native(options, scratch)
        if options.wine:
            wine(options, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
