"""Ctrl-C during salvage_file, open or tidewrack._native.salvage: the native work stops and the call
raises KeyboardInterrupt, on an endless input, on a FIFO that blocks, and in
the middle of a large salvage. The fault: the signal waited for the native
work to end, forever on /dev/zero or a FIFO.

Each case runs in a child process that receives a real SIGINT; the generous
deadline only catches a call that does not stop at all.
"""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

CHILD = textwrap.dedent(
    """
    import resource, sys
    import _tidewrack_backend as backend
    kind, source, output = sys.argv[1:4]
    if source == "/dev/zero":  # a call that ignores the signal must not take the machine's memory
        with open("/proc/self/status") as status:
            used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (used + (4 << 30), used + (4 << 30)))
    print("calling", flush=True)
    try:
        if kind == "salvage_file":
            backend.salvage_file(source, output)
        elif kind == "native salvage":
            from tidewrack import _native
            _native.salvage(source, output, None, output + ".repairs.csv")
        else:
            backend.open(source)
        print("returned")
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
    """
)

CHUNK = b'17,"Smith, John",2024-01-31,ok\n' * 2048  # clean rows: the output repeats them
LARGE_CHUNKS = (64 << 20) // len(CHUNK)


def feed(fifo, endless, done):
    """Writes rows into `fifo`: about 64 MiB at full speed, or slowly without
    end (until `done` or the reader is gone)."""
    descriptor = os.open(fifo, os.O_WRONLY)  # returns once the child opened it
    try:
        for _ in range(1 << 30 if endless else LARGE_CHUNKS):
            if done.is_set():
                break
            os.write(descriptor, CHUNK)
            if endless:
                time.sleep(0.001)
    except BrokenPipeError:
        pass
    finally:
        os.close(descriptor)


NO_DEV_ZERO = pytest.mark.skipif(
    UNDER_ASAN or not os.path.exists("/dev/zero"),
    reason="needs /dev/zero and an address-space limit, which the sanitizer forbids",
)


@pytest.mark.parametrize(
    ("kind", "case"),
    [
        pytest.param("salvage_file", "/dev/zero", marks=NO_DEV_ZERO),
        pytest.param("open", "/dev/zero", marks=NO_DEV_ZERO),
        *[
            (kind, case)
            for kind in ("salvage_file", "open")
            for case in (
                "endless FIFO",
                "silent FIFO",  # opened by no writer: the child blocks in open()
                "large FIFO",  # closed after 64 MiB: SIGINT comes once all of it is written
            )
        ],
        ("salvage_file", "output FIFO"),  # read by no one: the child blocks in open()
        ("native salvage", "endless FIFO"),
        ("native salvage", "large FIFO"),
    ],
)
def test_sigint_stops_the_native_work(write_input, tmp_path, kind, case):
    fifo = tmp_path / "the.fifo"
    os.mkfifo(fifo)
    source = {"/dev/zero": "/dev/zero", "output FIFO": write_input(b"a,b\n" * 1000)}.get(case, fifo)
    output = fifo if case == "output FIFO" else tmp_path / "out.csv"
    done = threading.Event()
    feeder = None
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, kind, str(source), str(output)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        assert child.stdout.readline() == "calling\n"
        if case in ("endless FIFO", "large FIFO"):
            feeder = threading.Thread(target=feed, args=(fifo, case == "endless FIFO", done))
            feeder.start()
        if case == "large FIFO":
            feeder.join()
        else:
            time.sleep(0.2)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=10)
    finally:
        done.set()
        if child.poll() is None:
            child.kill()
            child.wait()
        if feeder is not None:
            if feeder.is_alive():
                os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))  # frees a feeder still opening
            feeder.join()
    assert stdout == "KeyboardInterrupt\n", f"{case}: {stdout!r} {stderr[-2000:]}"
