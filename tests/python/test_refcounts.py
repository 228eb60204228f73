"""Reference and memory leaks: 10,000 calls of each entry point, on its success
path and on its failure paths, leave the reference counts of the module, its
functions, its two types and the argument objects exactly where they were, and
the process's memory roughly where it was.

A leaked instance keeps a reference to its type; a leaked argument keeps one to
the argument; a leaked row, exception or C++ buffer shows in the traced Python
memory or the resident set size. The inputs are sized so that a leak of one
object or buffer per call adds up to megabytes.
"""

import gc
import os
import sys
import tracemalloc

import pytest

import _tidewrack_backend as backend

CALLS = 10_000
WARM_UP = 300
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Index:
    """An object that is not an int but converts to one."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("refcounts")
    wide = ",".join(["x" * 300] * 3)
    source = root / "in.csv"
    # 12 KiB: a leaked copy of the input or of the rows per call is 120 MB.
    source.write_text("\n".join([wide] * 10 + ['a,"b""c"', "d,e,f,g", ""] * 10) + "\n")
    # Fresh str objects, not literals, so that their counts are ours alone.
    return {
        "input": "".join([str(source)]),
        "output": "".join([str(root / "out.csv")]),
        "quarantine": "".join([str(root / "q.csv")]),
        "missing": "".join([str(root / "missing.csv")]),
        "directory": "".join([str(root)]),
    }


def watched(files, extra=()):
    objects = [
        backend,
        backend.SalvageReader,
        backend.SalvageSummary,
        backend.salvage_file,
        backend.sniff,
        backend.open,
        *files.values(),
        *extra,
    ]
    return objects


def expect_no_leak(call, files, extra=(), traced_tolerance=256 * 1024):
    """Runs call() CALLS times and checks counts and memory before and after."""
    objects = watched(files, extra)
    for _ in range(WARM_UP):
        call()
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in objects]
    rss = resident_bytes()
    tracemalloc.start()
    try:
        traced, _ = tracemalloc.get_traced_memory()
        for _ in range(CALLS):
            call()
        gc.collect()
        traced_after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    grown = resident_bytes() - rss

    after = [sys.getrefcount(obj) for obj in objects]
    changed = {repr(obj)[:60]: (before, now) for obj, before, now in zip(objects, counts, after) if before != now}
    assert not changed, f"reference counts moved (before, after): {changed}"
    assert traced_after - traced < traced_tolerance, f"traced Python memory grew by {traced_after - traced} bytes"
    if not UNDER_ASAN:  # the sanitizer's quarantine holds freed memory back
        assert grown < 16 * 1024 * 1024, f"resident memory grew by {grown} bytes"


def raises(kind, call):
    def run():
        try:
            call()
        except kind:
            return
        raise AssertionError(f"{call} did not raise {kind.__name__}")

    return run


def test_salvage_file_success(files):
    delimiter = "".join([","])
    columns = Index(3)

    def call():
        summary = backend.salvage_file(
            files["input"],
            files["output"],
            files["quarantine"],
            delimiter=delimiter,
            expected_columns=columns,
            merge_overflow=False,
        )
        assert summary.quarantined_rows == 10

    expect_no_leak(call, files, extra=[delimiter, columns])


def test_salvage_file_missing_input(files):
    expect_no_leak(raises(OSError, lambda: backend.salvage_file(files["missing"], files["output"])), files)


def test_salvage_file_unwritable_output(files):
    expect_no_leak(raises(OSError, lambda: backend.salvage_file(files["input"], files["directory"])), files)


def test_salvage_file_bad_arguments(files):
    not_a_flag = 1.5
    calls = [
        raises(TypeError, lambda: backend.salvage_file(files["input"], files["output"], fill_ragged_rows=not_a_flag)),
        raises(TypeError, lambda: backend.salvage_file(files["input"], files["output"], expected_columns="3")),
        raises(OverflowError, lambda: backend.salvage_file(files["input"], files["output"], expected_columns=-1)),
        raises(TypeError, lambda: backend.salvage_file(files["input"], files["output"], nonsense=1)),
        raises(TypeError, lambda: backend.salvage_file(files["input"], input_path=files["input"])),
        raises(TypeError, lambda: backend.salvage_file(files["input"])),
        raises(UnicodeEncodeError, lambda: backend.salvage_file(files["input"], "\udc80")),
    ]
    expect_no_leak(lambda: [call() for call in calls], files, extra=[not_a_flag])


def test_sniff(files):
    sample = "".join(["a;b;c\n", "d;e;f\n"])
    not_text = b"a;b"

    def call():
        assert backend.sniff(sample) == ";"
        try:
            backend.sniff(not_text)
        except TypeError as error:
            assert error.__notes__ == ["while processing 'sample'"]
        else:
            raise AssertionError("sniff accepted bytes")

    expect_no_leak(call, files, extra=[sample, not_text])


def test_reader_life_cycle(files):
    quote = "".join(['"'])

    def call():
        reader = backend.SalvageReader(files["input"], quote_char=quote)
        with reader as same:
            assert same is reader
            rows = list(reader)
        assert len(rows) == len(reader) == 40
        summary = reader.summary
        assert summary.to_dict()["salvaged_rows"] == 40
        assert repr(summary).startswith("<SalvageSummary total_rows=40 ")
        assert summary.detected_delimiter == ","
        assert reader.__exit__(None, None, None) is False

    expect_no_leak(call, files, extra=[quote])


def test_reader_failures(files):
    calls = [
        raises(FileNotFoundError, lambda: backend.SalvageReader(files["missing"])),
        raises(IsADirectoryError, lambda: backend.SalvageReader(files["directory"])),
        raises(TypeError, lambda: backend.SalvageReader(files["input"], quote_char=None)),
        raises(TypeError, lambda: backend.open(files["input"], delimiterr=",")),
        raises(TypeError, lambda: backend.open()),
        raises(TypeError, lambda: backend.SalvageReader(files["input"]).__exit__(1, 2, 3, 4)),
        raises(TypeError, lambda: backend.SalvageSummary()),
    ]
    expect_no_leak(lambda: [call() for call in calls], files)


def test_open_success(files):
    def call():
        reader = backend.open(files["input"], expected_columns=0)
        assert next(reader)[0] == "x" * 300
        assert type(reader) is backend.SalvageReader

    expect_no_leak(call, files)
