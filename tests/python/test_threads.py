"""Several threads using the module at once."""

import os
import random
import subprocess
import sys
import threading
import time

import _tidewrack_backend as backend

THREADS = 8


def run_together(count, work):
    """Runs work(index) on `count` threads released at once; re-raises the first failure."""
    barrier = threading.Barrier(count)
    results = [None] * count
    failures = []

    def run(index):
        try:
            barrier.wait()
            results[index] = work(index)
        except BaseException as error:  # reported in the main thread
            failures.append(error)

    threads = [threading.Thread(target=run, args=(index,)) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]
    return results


def damaged_csv(seed, rows=400):
    rnd = random.Random(seed)
    delimiter = rnd.choice([",", ";", "|", "\t"])
    lines = []
    for index in range(rows):
        width = rnd.choice([3, 4, 4, 4, 5])
        fields = [f"{index}"] + [rnd.choice(["x", 'q"uote', "", "é", "long text"]) for _ in range(width - 1)]
        lines.append(delimiter.join(fields))
    return ("\n".join(lines) + "\n").encode()


def test_parallel_salvages_match_serial_ones(write_input, tmp_path):
    inputs = [write_input(damaged_csv(seed)) for seed in range(THREADS)]

    def salvage(index, tag):
        output = tmp_path / f"{tag}-{index}.csv"
        quarantine = tmp_path / f"{tag}-{index}.quarantine.csv"
        summary = backend.salvage_file(inputs[index], str(output), str(quarantine), merge_overflow=False)
        rows = list(backend.open(inputs[index], merge_overflow=False))
        return summary.to_dict(), output.read_bytes(), quarantine.read_bytes(), rows

    serial = [salvage(index, "serial") for index in range(THREADS)]
    for round_number in range(3):
        tag = f"parallel{round_number}"
        parallel = run_together(THREADS, lambda index, tag=tag: salvage(index, tag))
        assert parallel == serial
    assert sum(result[0]["total_rows"] for result in serial) == 400 * THREADS


def test_shared_reader_hands_out_every_row_exactly_once(write_input):
    rows = 20_000
    reader = backend.open(write_input("".join(f"{index},row\n" for index in range(rows))))
    conflicts = []

    def consume(index):
        taken = []
        while True:
            try:
                row = next(reader)
            except StopIteration:
                return taken
            except RuntimeError as error:  # a concurrent __next__ on a free-threaded build
                assert str(error) == "Already borrowed"
                conflicts.append(index)
                continue
            taken.append(int(row[0]))

    taken = run_together(THREADS, consume)
    everything = sorted(number for part in taken for number in part)
    assert everything == list(range(rows))
    assert len(reader) == rows
    if getattr(sys, "_is_gil_enabled", lambda: True)():
        assert conflicts == []


def test_shared_reads_during_iteration(write_input):
    rows = 5_000
    reader = backend.open(write_input("".join(f"{index},a,b\n" for index in range(rows))))

    def work(index):
        if index % 2 == 0:
            count = 0
            while True:
                try:
                    next(reader)
                except StopIteration:
                    return count
                except RuntimeError as error:
                    assert str(error) == "Already borrowed"
                    continue
                count += 1
        for _ in range(2_000):
            try:
                assert len(reader) == rows
                assert reader.summary.salvaged_rows == rows
                assert iter(reader) is reader
            except RuntimeError as error:  # reading while another thread steps the reader
                assert str(error) == "Already mutably borrowed"
        return 0

    assert sum(run_together(THREADS, work)) == rows


def test_other_threads_run_while_a_file_is_salvaged(tmp_path):
    line = b'12345,some text here,"quoted, field",3.14159,more\n'
    big = tmp_path / "big.csv"
    big.write_bytes(line * (60_000_000 // len(line)))
    stamps = []
    started = threading.Event()
    stop = threading.Event()

    def count_iterations():
        iterations = 0
        while not stop.is_set():
            iterations += 1
            if iterations % 64 == 0:
                stamps.append(time.perf_counter())
                started.set()

    counter = threading.Thread(target=count_iterations)
    counter.start()
    try:
        assert started.wait(10)
        begin = time.perf_counter()
        summary = backend.salvage_file(str(big), str(tmp_path / "clean.csv"))
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    assert summary.total_rows == 60_000_000 // len(line)
    # The counter kept going through the middle of the call, not only at its edges.
    margin = (end - begin) / 4
    during = [stamp for stamp in stamps if begin + margin < stamp < end - margin]
    assert len(during) > 10, f"{len(during)} progress marks in a {end - begin:.3f}s call"


RACING_FIRST_USE = """
import importlib.util, threading
spec = importlib.util.find_spec("_tidewrack_backend")
barrier = threading.Barrier(8)
made = []
def load():
    module = importlib.util.module_from_spec(spec)
    barrier.wait()
    spec.loader.exec_module(module)
    # A keyword makes the first call race to intern the parameter names.
    assert module.sniff(sample="a;b\\nc;d") == ";"
    made.append((module.SalvageReader, module.SalvageSummary))
threads = [threading.Thread(target=load) for _ in range(8)]
for thread in threads: thread.start()
for thread in threads: thread.join()
assert len(made) == 8 and len({t for pair in made for t in pair}) == 16, made
print("a type pair per module")
"""


def test_racing_first_uses_give_each_module_its_types():
    # A fresh process, so that the first uses happen during the race.
    completed = subprocess.run(
        [sys.executable, "-c", RACING_FIRST_USE],
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout == "a type pair per module\n"
