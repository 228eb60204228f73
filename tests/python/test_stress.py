"""Many threads released at once on every entry point: salvaging files,
sniffing, iterating private readers and draining one shared reader. Totals
must come out exact and no row may be handed out twice or lost.

On a free-threaded interpreter two threads that step the shared reader at the
same moment may get RuntimeError "Already borrowed" (or "Already mutably
borrowed" for a shared read during a step); the loser simply tries again.
"""

import random
import sys
import threading
import time

import pytest

import _tidewrack_backend as backend

THREADS = 16
ROUNDS = 6


def run_together(count, work):
    """Runs work(index) on `count` threads released by one barrier; re-raises
    the first failure in the calling thread."""
    barrier = threading.Barrier(count)
    results = [None] * count
    failures = []

    def run(index):
        try:
            barrier.wait(timeout=60)
            results[index] = work(index)
        except BaseException as error:  # reported in the main thread
            failures.append(error)

    threads = [threading.Thread(target=run, args=(index,)) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
        assert not thread.is_alive(), "a thread never finished"
    if failures:
        raise failures[0]
    return results


def retrying(step):
    """Calls step() until it does not fail with an access conflict."""
    while True:
        try:
            return step()
        except RuntimeError as error:
            if str(error) not in ("Already borrowed", "Already mutably borrowed"):
                raise
            time.sleep(0)


def damaged(seed, rows=300):
    rnd = random.Random(seed)
    delimiter = rnd.choice([",", ";", "|", "\t"])
    lines = []
    for index in range(rows):
        width = rnd.choice([3, 4, 4, 4, 5])
        fields = [f"r{index}"] + [rnd.choice(["x", '"q""uoted"', "", "é", "a b", '"open']) for _ in range(width - 1)]
        lines.append(delimiter.join(fields))
    return ("\r\n" if seed % 2 else "\n").join(lines).encode()


@pytest.fixture
def inputs(write_input):
    return [write_input(damaged(seed)) for seed in range(THREADS)]


def test_every_entry_point_at_once(inputs, write_input, tmp_path):
    # What each call must give, worked out one at a time beforehand.
    expected_summary = []
    expected_output = []
    for index, path in enumerate(inputs):
        output = tmp_path / f"serial-{index}.csv"
        expected_summary.append(backend.salvage_file(path, str(output)).to_dict())
        expected_output.append(output.read_bytes())
    expected_rows = [list(backend.SalvageReader(path)) for path in inputs]
    samples = [damaged(seed, rows=20).decode() for seed in range(THREADS)]
    expected_sniff = [backend.sniff(sample) for sample in samples]

    shared_rows = 20_000
    shared = backend.SalvageReader(write_input("".join(f"{n},{n * 7}\n" for n in range(shared_rows))))
    taken = [[] for _ in range(THREADS)]

    def work(index):
        mine = index % len(inputs)
        totals = {"total_rows": 0, "salvaged_rows": 0}
        for round_ in range(ROUNDS):
            output = tmp_path / f"out-{index}-{round_}.csv"
            summary = backend.salvage_file(inputs[mine], str(output))
            assert summary.to_dict() == expected_summary[mine]
            assert output.read_bytes() == expected_output[mine]
            totals["total_rows"] += summary.total_rows
            totals["salvaged_rows"] += summary.salvaged_rows

            assert backend.sniff(samples[mine]) == expected_sniff[mine]

            with backend.open(inputs[mine]) as reader:
                assert list(reader) == expected_rows[mine]
                assert len(reader) == len(expected_rows[mine])

            # A share of the common reader, interleaved with everyone else's.
            for _ in range(shared_rows // (THREADS * ROUNDS) + 1):
                row = retrying(lambda: next(shared, None))
                if row is None:
                    break
                taken[index].append(row)
            assert retrying(lambda: shared.summary).salvaged_rows == shared_rows
            assert retrying(lambda: len(shared)) == shared_rows
        # Whatever is left once a thread is done goes to that thread.
        while (row := retrying(lambda: next(shared, None))) is not None:
            taken[index].append(row)
        return totals

    totals = run_together(THREADS, work)

    for index, result in enumerate(totals):
        mine = index % len(inputs)
        assert result["total_rows"] == ROUNDS * expected_summary[mine]["total_rows"]
        assert result["salvaged_rows"] == ROUNDS * expected_summary[mine]["salvaged_rows"]
    handed_out = [row[0] for rows in taken for row in rows]
    assert len(handed_out) == shared_rows, "a row was handed out twice or lost"
    assert sorted(map(int, handed_out)) == list(range(shared_rows))
    for rows in taken:
        for row in rows:
            assert row == [row[0], str(int(row[0]) * 7)]
        # Each thread sees its share of the shared reader in file order.
        assert [int(row[0]) for row in rows] == sorted(int(row[0]) for row in rows)


def test_readers_made_and_dropped_while_others_sniff(inputs):
    """Construction and release of readers racing with calls that share nothing."""
    samples = ["a;b\nc;d\n", "a|b|c\nd|e|f\n", "x\ty\nz\tw\n", "", "1,2\n3,4\n"]
    expected = [backend.sniff(sample) for sample in samples]

    def work(index):
        count = 0
        for round_ in range(40):
            if index % 2:
                reader = backend.SalvageReader(inputs[(index + round_) % len(inputs)])
                count += sum(1 for _ in reader)
                del reader
            else:
                for sample, want in zip(samples, expected):
                    assert backend.sniff(sample) == want
                    count += 1
        return count

    counts = run_together(THREADS, work)
    row_counts = [len(list(backend.SalvageReader(path))) for path in inputs]
    for index, count in enumerate(counts):
        if index % 2:
            assert count == sum(row_counts[(index + r) % len(inputs)] for r in range(40))
        else:
            assert count == 40 * len(samples)


@pytest.mark.skipif(getattr(sys, "_is_gil_enabled", lambda: True)(), reason="access conflicts need free threading")
def test_conflicts_leave_the_position_unchanged(write_input):
    rows = 5_000
    reader = backend.SalvageReader(write_input("".join(f"{n}\n" for n in range(rows))))

    def work(index):
        got = []
        while True:
            try:
                row = next(reader, None)
            except RuntimeError as error:
                assert str(error) == "Already borrowed"
                continue
            if row is None:
                return got
            got.append(int(row[0]))

    results = run_together(THREADS, work)
    assert sorted(n for got in results for n in got) == list(range(rows))
