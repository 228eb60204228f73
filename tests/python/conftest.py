import itertools

import pytest


@pytest.fixture
def write_input(tmp_path):
    """Writes bytes (or UTF-8 text) to a new file under tmp_path; returns its path as str."""
    counter = itertools.count()

    def write(content, name=None):
        path = tmp_path / (name or f"input-{next(counter)}.csv")
        path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
        return str(path)

    return write


@pytest.fixture
def sample_path(write_input):
    """A small damaged file: a header, a short row, a long row and a quoted field."""
    return write_input(b'id,name,score\n1,"Smith, J",90\n2,Lee\n3,Kim,88,extra\n')


@pytest.fixture
def numpy():
    return pytest.importorskip("numpy")


@pytest.fixture(scope="session")
def big_csv(tmp_path_factory):
    """200 MB of well-formed rows: a salvage long enough to be interrupted."""
    row = b'1234,"Smith, John",2024-01-02,a note of some length,42.5\n'
    path = tmp_path_factory.mktemp("big") / "big.csv"
    path.write_bytes(b"id,name,date,note,amount\n" + row * (200_000_000 // len(row)))
    return path
