"""Compressed input: recognised by its first bytes, streamed into the engine whole or refused."""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import os
import re
import signal
import subprocess
import sys
import time
import zipfile
import zlib
from collections.abc import Callable
from pathlib import Path

import pytest

import tidewrack

DATA = b"id,name,city\n1,Ana,Lisbon\n2,Ben\n3,Cleo,Paris,France\n" * 2000


def zipped(*members: tuple[str, bytes], method: int = zipfile.ZIP_DEFLATED) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", method) as archive:
        for name, content in members:
            archive.writestr(name, content)
    return buffer.getvalue()


COMPRESSORS: dict[str, Callable[[bytes], bytes]] = {
    "gzip": lambda data: gzip.compress(data[:1000]) + gzip.compress(data[1000:]),  # two members
    "bzip2": bz2.compress,
    "xz": lzma.compress,
    "zip": lambda data: zipped(("export.csv", data)),
    "zip-bzip2": lambda data: zipped(("export.csv", data), method=zipfile.ZIP_BZIP2),
    "zip-lzma": lambda data: zipped(("export.csv", data), method=zipfile.ZIP_LZMA),
}


@pytest.mark.parametrize("kind", COMPRESSORS)
def test_compressed_input_salvages_as_the_plain_file_does(tmp_path: Path, kind: str) -> None:
    (tmp_path / "plain.csv").write_bytes(DATA)
    (tmp_path / "packed.csv").write_bytes(COMPRESSORS[kind](DATA))
    plain = tidewrack.salvage(tmp_path / "plain.csv", tmp_path / "a.csv")
    done: list[tuple[int, int]] = []
    packed = tidewrack.salvage(tmp_path / "packed.csv", tmp_path / "b.csv", progress=lambda *at: done.append(at))
    assert packed.compression == kind.partition("-")[0] and plain.compression is None
    size = (tmp_path / "packed.csv").stat().st_size
    assert done[-1] == (size, size) and done == sorted(done)  # the compressed bytes read
    assert (tmp_path / "b.csv").read_bytes() == (tmp_path / "a.csv").read_bytes()
    assert (tmp_path / "b.repairs.csv").read_bytes() == (tmp_path / "a.repairs.csv").read_bytes()
    assert packed.total_rows == plain.total_rows == 8000


def test_default_output_drops_the_compression_suffix(tmp_path: Path) -> None:
    (tmp_path / "export.csv.gz").write_bytes(gzip.compress(DATA))
    report = tidewrack.salvage(tmp_path / "export.csv.gz")
    assert report.output == str(tmp_path / "export.clean.csv")
    assert (tmp_path / "export.clean.csv").exists()


def test_gzip_on_standard_input(tmp_path: Path) -> None:
    result = subprocess.run(
        [sys.executable, "-m", "tidewrack", "salvage", "-", "-o", "-"],
        input=gzip.compress(DATA),
        capture_output=True,
        cwd=tmp_path,
        timeout=120,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    assert b"compression  gzip" in result.stderr
    # The bytes read from the pipe, and no speed: a compressed size says nothing of the text.
    assert re.search(rb"time .* for %d bytes of gzip\n" % len(gzip.compress(DATA)), result.stderr), result.stderr
    assert result.stdout.startswith(b"id,name,city\n1,Ana,Lisbon\n2,Ben,\n")


@pytest.mark.parametrize(
    ("packed", "says"),
    [
        (gzip.compress(DATA)[:-20], b"gzip data ends early (the file is truncated)"),
        (gzip.compress(DATA) + b"trailing text", b"gzip data is followed by other bytes"),
        (zipped(("a.csv", DATA), ("b.csv", DATA)), b"zip archive holds 2 files, name one: a.csv, b.csv"),
        (zipped(), b"zip archive holds no file"),
        (
            zipped(("a.csv", DATA), method=zipfile.ZIP_BZIP2).replace(zlib.crc32(DATA).to_bytes(4, "little"), bytes(4)),
            b"zip member 'a.csv' is damaged (its content does not match its size and CRC-32)",
        ),
    ],
    ids=["truncated", "trailing", "two-members", "empty-zip", "zip-bzip2-crc"],
)
def test_damaged_or_ambiguous_archives_are_refused_and_write_nothing(
    tmp_path: Path, packed: bytes, says: bytes
) -> None:
    (tmp_path / "in.csv").write_bytes(packed)
    result = subprocess.run(
        [sys.executable, "-m", "tidewrack", "salvage", "in.csv"],
        capture_output=True,
        cwd=tmp_path,
        timeout=120,
        check=False,
    )
    assert result.returncode == 1
    assert result.stderr == b"tidewrack: cannot read 'in.csv': " + says + b"\n"
    assert sorted(path.name for path in tmp_path.iterdir()) == ["in.csv"]


@pytest.mark.parametrize("kind", COMPRESSORS)
def test_detect_and_sniff_read_the_decompressed_head(tmp_path: Path, kind: str) -> None:
    data = b"id;name;city;zip\n" + b"1;Ana;Lisbon;1000\n2;Ben;Oslo;0150\n" * 50
    (tmp_path / "plain.csv").write_bytes(data)
    (tmp_path / "packed.csv").write_bytes(COMPRESSORS[kind](data))
    assert tidewrack.detect(tmp_path / "packed.csv") == tidewrack.detect(tmp_path / "plain.csv")
    assert tidewrack.detect(tmp_path / "packed.csv").delimiter == ";"
    sniffed = subprocess.run(
        [sys.executable, "-m", "tidewrack", "sniff", "plain.csv", "packed.csv"],
        capture_output=True,
        cwd=tmp_path,
        timeout=120,
        check=False,
    )
    plain, packed = sniffed.stdout.decode().splitlines()
    assert packed == plain.replace("plain.csv", "packed.csv") and "semicolon" in plain


def test_compressed_input_streams_without_a_copy_and_stops_on_ctrl_c(tmp_path: Path) -> None:
    """Gigabytes of text from a few hundred kB: nothing is spooled to the temporary folder, and Ctrl-C
    stops the run however far the decompression has got, leaving no output."""
    rows = gzip.compress(b"17,Ana,Lisbon\n" * (1 << 22), compresslevel=1)  # 56 MiB of text each
    (tmp_path / "big.csv.gz").write_bytes(gzip.compress(b"id,name,city\n") + rows * 200)
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    child = subprocess.Popen(
        [sys.executable, "-m", "tidewrack", "salvage", "big.csv.gz", "-o", "out.csv"],
        cwd=tmp_path,
        env={**os.environ, "TMPDIR": str(scratch)},
        stderr=subprocess.PIPE,
    )
    try:
        time.sleep(1.5)
        spooled = sum(path.stat().st_size for path in scratch.rglob("*") if path.is_file())
        child.send_signal(signal.SIGINT)
        _, stderr = child.communicate(timeout=20)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert (child.returncode, stderr) == (130, b"tidewrack: interrupted\n")
    assert spooled == 0
    assert sorted(path.name for path in tmp_path.iterdir()) == ["big.csv.gz", "tmp"]


def test_the_scan_streams_compressed_input_and_refuses_it_cut_short(tmp_path: Path) -> None:
    pyarrow = pytest.importorskip("pyarrow")
    (tmp_path / "plain.csv").write_bytes(DATA)
    (tmp_path / "packed.csv").write_bytes(bz2.compress(DATA))
    (tmp_path / "cut.csv").write_bytes(bz2.compress(DATA)[:-100])
    scan = tidewrack.scan(tmp_path / "packed.csv")
    assert pyarrow.table(scan).equals(tidewrack.read_arrow(tmp_path / "plain.csv"))
    assert pyarrow.table(scan).num_rows == 7999  # each stream reads the input anew
    with pytest.raises(tidewrack.CompressedDataError, match="ends early"):
        tidewrack.read_arrow(tmp_path / "cut.csv")
