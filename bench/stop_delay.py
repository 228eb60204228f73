#!/usr/bin/env python3
"""How soon Ctrl-C stops read_arrow in the middle of a large file.

    python bench/stop_delay.py [--gb 1.5] [--trials 3] [--python PYTHON] [--tmp DIR]

Writes a clean file of --gb gigabytes into a temporary folder (deleted at the end),
then, for each thread count and each moment, runs tidewrack.read_arrow on it in a
child process of --python (default: this one) and sends it SIGINT that long after
the call started. Prints, per trial, the seconds from the signal to the child's
signal handler running (the engine asking for it), to KeyboardInterrupt reaching
the caller (the batches read so far freed) and to the child's exit. The aim: the
handler runs within 0.2 s, wherever the scan is in a stretch.
"""

from __future__ import annotations

import argparse
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROW = b'1234,"Smith, John",2024-01-02,a note of some length,42.5\n'
CHILD = """
import json, signal, sys, time, tidewrack
ran = []
def interrupt(signum, frame):
    ran.append(time.perf_counter())
    raise KeyboardInterrupt
signal.signal(signal.SIGINT, interrupt)
print("calling", flush=True)
try:
    tidewrack.read_arrow(sys.argv[1], threads=int(sys.argv[2]))
    print("returned", flush=True)
except KeyboardInterrupt:
    print(ran[0], time.perf_counter(), flush=True)
"""


def write_clean(path: Path, size: int) -> None:
    block = ROW * (16_000_000 // len(ROW))
    with open(path, "wb") as out:
        out.write(b"id,name,date,note,amount\n")
        for _ in range(max(1, size // len(block))):
            out.write(block)


def trial(python: str, path: Path, threads: int, delay: float) -> tuple[float, float, float] | None:
    """Seconds from SIGINT to the handler, to KeyboardInterrupt and to exit; None when the call ended first."""
    child = subprocess.Popen([python, "-c", CHILD, str(path), str(threads)], stdout=subprocess.PIPE, text=True)
    assert child.stdout is not None
    assert child.stdout.readline() == "calling\n"
    time.sleep(delay)
    sent = time.perf_counter()  # CLOCK_MONOTONIC: the child's clock too
    child.send_signal(signal.SIGINT)
    said = child.stdout.readline().split()
    child.wait()
    ended = time.perf_counter()
    if len(said) != 2:
        return None
    return float(said[0]) - sent, float(said[1]) - sent, ended - sent


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gb", type=float, default=1.5)
    parser.add_argument("--trials", type=int, default=3)
    parser.add_argument("--delays", default="0.5,1.5,2.5", help="seconds after the call starts, comma-separated")
    parser.add_argument("--python", default=sys.executable, help="an interpreter with tidewrack and pyarrow")
    parser.add_argument("--tmp", default=None, help="where the file is written (default: the system's)")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(dir=args.tmp) as folder:
        path = Path(folder) / "clean.csv"
        write_clean(path, int(args.gb * 1e9))
        print(f"{path.stat().st_size / 1e9:.2f} GB clean file", flush=True)
        for threads in (1, 2):
            handled, raised, exited = [], [], []
            for delay in (float(d) for d in args.delays.split(",")):
                for _ in range(args.trials):
                    result = trial(args.python, path, threads, delay)
                    if result is None:
                        print(f"threads {threads}, SIGINT at {delay:.1f} s: the call had returned", flush=True)
                        continue
                    handled.append(result[0])
                    raised.append(result[1])
                    exited.append(result[2])
                    print(
                        f"threads {threads}, SIGINT at {delay:.1f} s: handler {result[0]:.3f} s, "
                        f"KeyboardInterrupt {result[1]:.3f} s, exit {result[2]:.3f} s",
                        flush=True,
                    )
            for name, values in (("handler", handled), ("KeyboardInterrupt", raised), ("exit", exited)):
                if values:
                    print(
                        f"threads {threads}: {name:17} median {statistics.median(values):.3f} s, "
                        f"max {max(values):.3f} s over {len(values)} trials",
                        flush=True,
                    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
