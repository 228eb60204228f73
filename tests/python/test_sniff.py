"""sniff(sample): the most likely delimiter of a text sample."""

import pytest

from _tidewrack_backend import sniff


@pytest.mark.parametrize(
    ("sample", "delimiter"),
    [
        ("a;b\nc;d", ";"),
        ("a|b|c\nd|e|f", "|"),
        ("a\tb\nc\td", "\t"),
        ("a,b\nc,d", ","),
        # Nothing to decide on: the comma.
        ("", ","),
        ("   \n\n\t\n", ","),
        ("only one record;here", ","),
        ("single\ncolumn\ndata\n", ","),
        # An exact tie goes to the earlier candidate.
        ("a,b;c\nd,e;f", ","),
        # A record the candidate does not split still counts against it.
        ("a;b\nc;d\ne", ";"),
        # Blank lines in between are skipped.
        ("a|b\n   \n\nc|d\n", "|"),
        # Quoted delimiters do not split.
        ('"x;y",1\n"z;w",2\n', ","),
        # Wider consistent splits weigh more.
        ("a;b,c,d\ne;f,g,h\n", ","),
    ],
)
def test_sniff_examples(sample, delimiter):
    assert sniff(sample) == delimiter


@pytest.mark.parametrize("sample", ["a;b\nc;d", "a|b|c\nd|e|f", "x\ty\n1\t2\n", ""])
def test_leading_byte_order_mark_changes_nothing(sample):
    assert sniff("\ufeff" + sample) == sniff(sample)


def test_head_of_a_long_sample_decides():
    # Fifty semicolon records fill the comma's record budget with one-field records.
    sample = "a;b\n" * 50 + "a,b,c\n" * 500
    assert sniff(sample) == ";"


def test_result_is_a_new_one_character_str():
    result = sniff("a|b\nc|d")
    assert type(result) is str
    assert len(result) == 1
