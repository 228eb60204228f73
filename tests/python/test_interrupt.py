"""Ctrl-C during salvage_file, open or tidewrack._native.salvage: the native work stops and the call
raises KeyboardInterrupt, on an endless input, on a FIFO that blocks, and in
the middle of a large salvage. The fault: the signal waited for the native
work to end, forever on /dev/zero or a FIFO. Ctrl-C during read_arrow or the
Parquet command stops the scan inside its stream.

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
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
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


ARROW_CHILD = textwrap.dedent(
    """
    import sys, tidewrack
    try:
        tidewrack.read_arrow(sys.argv[1])
        print("returned")
    except KeyboardInterrupt:
        with open("/proc/self/io") as io:
            print("KeyboardInterrupt", next(int(line.split()[1]) for line in io if line.startswith("rchar:")))
    """
)


def read_offset(pid, path):
    """How far the process has read the file at `path`: 0 until it opens it."""
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") == path:
                with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                    return int(info.readline().split()[1])
        except OSError:  # closed meanwhile
            continue
    return 0


@pytest.mark.skipif(not os.path.exists("/proc/self/fdinfo"), reason="watches the child's reading in /proc")
@pytest.mark.parametrize("kind", ["read_arrow", "parquet command"])
def test_sigint_stops_the_arrow_scan_promptly(tmp_path, big_csv, kind):
    # The fault: read_arrow went on to the end of the file (3.4 s on 2 GB) before Ctrl-C took effect.
    pytest.importorskip("pyarrow")
    (tmp_path / "in.csv").symlink_to(big_csv)
    if kind == "read_arrow":
        command = [sys.executable, "-c", ARROW_CHILD, "in.csv"]
    else:
        command = [sys.executable, "-m", "tidewrack", "salvage", "in.csv", "-o", "out.parquet"]
    size = big_csv.stat().st_size
    child = subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        while read_offset(child.pid, os.path.realpath(big_csv)) < 32 << 20:  # past the head: in the stream
            assert child.poll() is None
            time.sleep(0.002)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=60)
        took = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    if kind == "read_arrow":
        assert stdout.startswith("KeyboardInterrupt "), f"{stdout!r} {stderr[-2000:]}"
        assert int(stdout.split()[1]) < size // 2  # the bytes it read: it stopped well before the end
    else:
        assert (child.returncode, stderr) == (130, "tidewrack: interrupted\n")
        assert [path.name for path in tmp_path.iterdir()] == ["in.csv"]
    assert took < 2, f"{took:.2f} s from SIGINT to exit"  # generous: the aim is 0.2 s
