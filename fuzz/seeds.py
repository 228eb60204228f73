#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz corpora (fuzz/corpus/<target>/).

    python3 fuzz/seeds.py

Each seed is a header that picks the settings followed by a CSV input that
exercises one rule of the parser or the salvage. The script only writes its own
named files; inputs merged in by `tools/fuzz --update-corpus` stay untouched.
"""

from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"

# name -> input; each shows one rule of the record cutting.
BODIES = {
    "empty": b"",
    "one-line": b"a\n",
    "no-final-line-break": b"a,b,c",
    "trailing-delimiter": b"a,b,\n",
    "lone-delimiter": b",",
    "empty-fields": b",,\n",
    "empty-line": b"\n",
    "blank-line-between": b"a\n\nb\n",
    "mixed-line-breaks": b"a\r\nb\rc\n\rd",
    "blanks-kept": b" a , b \n \t\n",
    "quoted-delimiter": b'"a,b",c\n',
    "doubled-quote": b'"a""b",c\n',
    "empty-quoted": b'"",""\n',
    "quote-runs": b'"\n""\n"""\n""""',
    "open-quote-at-end": b'a,"',
    "quotes-in-unquoted": b'ab"c,d"e\n',
    "text-after-closing-quote": b'"ab"cd,e\n"ab"  cd,e\n"ab" ,e\n',
    "quote-then-cr": b'"a"\r',
    "quoted-line-break": b'"a\nb",c\nd\n',
    "quoted-crlf": b'"a\r\nb",c\r\n"a\rb",c\r',
    "unterminated-quote": b'"open,x\ny\n',
    "stray-quotes": b'"he said "hi" ok",x\n"5" screen",x\n"x"y"\n"a"b"c"d",e\n',
    "first-quote-closes": b'"x"y" q\n"a,b"x"y,z\n',
    "merge-across-delimiter": b'"a" b,"c"\n',
    "blanks-after-quote": b'"a" x,b\n"a" \t ,b\n"a"  \r\n"Whose Line" Episode #2.7,c\n"z"  ',
    "tab-after-quote": b'"a"\t"b"\nx\t"a"\t"b"\tc\n"a"\tb\n',
    "byte-order-mark": b"\xef\xbb\xbfa,b\n",
    "byte-order-mark-alone": b"\xef\xbb\xbf",
    "two-byte-order-marks": b"\xef\xbb\xbf\xef\xbb\xbfa,b\nc,d\n",
    "invalid-utf8": b"caf\xc3\xa9,\xff\xfe,ok\n\xe0\x80\xaf,\xed\xa0\x80,\xf4\x90\x80\x80,\xc3\n",
    "truncated-sequences": b"\xe2\x82,\xf0\x9f\x98,\xe2\x82\xac",
    "delimiter-inside-utf8": b"a\xc2\xa7b\xc2\xa7c\n",
    "nul-bytes": b"a\x00b,c\n\x00\x00\x00\n",
    "quote-blank-runs": b'"a"   "b"   ,c\n"   "   "\n',
    "many-stray-quotes": b'"' + b'x"y' * 40 + b'"\n',
    "alternating-quote-delimiter": b'"a",' * 20 + b"\n" + b'","' * 20 + b"\n" + b'" "' * 20,
    "multi-line-field": b'id,text\n1,"line one\nline two\r\nline three"\n2,plain\n',
}

# name -> input for the salvage targets: widths, delimiters and heuristics.
SALVAGE_BODIES = {
    "reconcile": b"h1,h2,h3\np,q\nx,y,z,w,v\n\nok,ok,ok",
    "semicolons": b"a;b;c\n1;2;3\n4;5\n6;7;8;9\n",
    "pipes": b"a|b|c\n1|2|3\n",
    "tabs": b"a\tb\n1\t2\n3\t4\t5\n",
    "ragged-header": b"name,age\nann,31,nurse\nbob\ncy,4,x,y\n",
    "blank-lines-only": b"\n\n \n\t\n",
    "unicode-blank-lines": b"\xe3\x80\x80\n\xc2\xa0\na,b\n",
    "tied-widths": b"a,b\nc,d,e\n",
    "hundred-then-wider": b"a,b,c\n" * 100 + b"a,b,c,d\n" * 5,
    "quoted-merge": b'a,b\n"x,y",z,"w""v"\n',
    "crlf-file": b"a,b\r\nc,d\r\ne\r\n",
    "quarantine-lines": b'a,b,c\n"x\ny"\nlast',
    # Plain records, the ones file salvage cuts and renders in one pass.
    "plain-rows": b"id,name,score\n" + b"".join(b"%d,name %d,%d\n" % (i, i, i * 7) for i in range(60)),
    "plain-quoted-ragged": b'a,b,c\n"x",y,"z"\n"p,q",r\n1,2\n"",,\n3,"4"  ,5\n6\r\n7,8,9\r\n',
    "plain-then-broken": b"a,b\n" * 30 + b'c,"d""e"\nf,"g\nh"\ni,j,k\n\xff,x\n' + b"a,b\n" * 5,
}

# Differential target: delimiter byte, quote byte, settings byte (bit 0 repair,
# bit 1 unclosed-quote recovery for records of bits 2-4 columns, within
# 1 + bits 5-6 lines and 8 or 64 (bit 7) bytes); '1' is repair alone, '0' nothing.
PARSER_SETTINGS = {
    "comma-repair": b',"1',
    "comma-strict": b',"0',
}
RECOVER_TWO_COLUMNS = bytes([0x01 | 0x02 | 2 << 2 | 1 << 5 | 0x80])  # repair on, 2 lines, 64 bytes
UNCLOSED_QUOTE_BODIES = {
    "quote-open-to-the-end": b'a,b\n1,"x\n2,y\n',
    "quote-open-on-every-line": b'x,"a"",b\n' * 6,
    "quote-closing-past-the-window": b'a,b\n1,"x\n2,y\n3,z\n4,w"\n',
    "multi-line-field-in-the-window": b'a,b\n1,"x\ny",z\n2,y\n',
    "quote-open-over-cr": b'a,b\r1,"x\r2,y\r',
    "quote-open-over-misfits": b'a,b\n1,"x\n2\n3\n',
    "two-quotes-open-on-one-line": b'a,b\n"x,"y\n1,2\n',
}
PARSER_EXTRA = {
    "tab-repair-tab-after-quote": b'\t"1' + BODIES["tab-after-quote"],
    "tab-strict-tab-after-quote": b'\t"0' + BODIES["tab-after-quote"],
    "delimiter-c2": b'\xc2"1' + BODIES["delimiter-inside-utf8"],
    "delimiter-a7": b'\xa7"1' + BODIES["delimiter-inside-utf8"],
    "semicolon-single-quote": b";'1a;'b;c'';d'\n'x'y';z\n",
    "blank-as-quote": b",  1  a  b  ,c\n   ,x\n",
    "blank-as-delimiter": b' "1"a b" c\n"x"  y\n',
    "quote-equals-delimiter": b",,1a,b,,c\n,,,\n",
    "lf-as-delimiter": b'\n"1a\nb\r\nc\n',
    "cr-as-quote": b",\r1\ra,b\r,c\n",
    # The last byte draws the rules of a second reading: 0x1D is one preamble
    # line, blanks skipped, a backslash escape and # comments; 0x22 two
    # preamble lines and no quoting.
    "rules-escape-comments": b',"1Title "x\n# note, "y\na\\,b, "c,d"\n"e\\"f",g\\\n\x1d',
    "rules-unquoted-preamble": b';"1a;"b\n"c;d\n1;"2;3"\n\x22',
    # 0x40: blanks after a closing quote kept and lone CRs counted, as the
    # package reads; 0x48 with a backslash escape as well.
    "rules-blanks-kept-crs-counted": b',"1"a" ,"b\rc"\t\r"d\r\ne"  \n"x\ry" z,1\r\n\x40',
    "rules-escaped-crs-counted": b',"3a\\\rb,"c\\\r\nd"\r"e\\\n"  \x48',
}

# Salvage targets: flags byte (0x01 delimiter given, 0x02 fill, 0x04 merge,
# 0x08 repair, 0x10 columns given), delimiter, quote, columns.
SALVAGE_SETTINGS = {
    "defaults": bytes([0x0E, 0, ord('"'), 0]),
    "strict-widths": bytes([0x18, 0, ord('"'), 3]),
    "comma-two-columns": bytes([0x1F, ord(","), ord('"'), 2]),
    "no-width": bytes([0x1F, ord(","), ord('"'), 0]),
    # 0x20: unclosed-quote recovery; byte 3 also gives its window, 2 lines and 16 bytes.
    "recovering": bytes([0x2E, 0, ord('"'), 0x50]),
}
SALVAGE_EXTRA = {
    "one-column-merge": bytes([0x1F, ord(","), ord('"'), 1]) + b"a,b,c\n\nd\n",
    "delimiter-a7-merge": bytes([0x1F, 0xA7, ord('"'), 2]) + b"x\xa7y\xa7z\n",
    "single-quote-option": bytes([0x0F, ord(";"), ord("'"), 0]) + b"a;'b;c'\n'x''y';z\n",
    "single-quote-sniffed": bytes([0x0E, 0, ord("'"), 0]) + b"'a, b, c';1\n'd, e, f';2\nx,'y, z',w\n",
    "comma-as-quote-sniffed": bytes([0x0E, 0, ord(","), 0]) + b"a,b\nc,d\n",
    "no-repair-stray": bytes([0x06, 0, ord('"'), 0]) + BODIES["stray-quotes"],
    "empty-with-options": bytes([0x1F, ord(";"), ord('"'), 5]),
    "bom-alone-with-options": bytes([0x1F, ord(";"), ord('"'), 5]) + b"\xef\xbb\xbf",
    "short-header": b"\x1f,",
    # A CR inside quotes keeps a record off the fast lane while recovery is on.
    "recovery-cr-inside-quotes": bytes([0x3F, ord(","), ord('"'), 0x02]) + b'a,b\n"x\ry,q\rz",1\n2,3\n',
    # Padded lines that add up to more than one 8 KiB write buffer.
    "output-past-one-buffer": bytes([0x1F, ord(","), ord('"'), 8]) + b"a,b\n" * 700 + b'"q""q",r\n' * 50,
    # The last byte draws dialect rules (salvage_case.h): 0x40 the dialect
    # detected; 0x1C blanks skipped, a backslash escape and # comments.
    "dialect-detected": bytes([0x0E, 0, ord('"'), 0])
    + b"# films\nt;d;y\nDr. S\\; o;K;1964\nM;L;1927\n# end\nB;P;1981\n\x40",
    "dialect-rules-given": bytes([0x0F, ord(","), ord('"'), 0]) + b'# c\nd,v, "6,000"\n1, a\\,b,2\n\x1c',
    # Lone CRs inside quotes count lines, on every thread count and block size.
    "dialect-lone-crs": bytes([0x2E, 0, ord('"'), 0x50])
    + b'id,note\n1,"a\rb"\n2\n3,"c\r\rd" ,x\n4,"e\rf\n' * 3
    + b"\x40",
}

# File salvage reads these in an encoding: flags 0x40 auto, 0x80 utf-16, 0xC0 latin-1.
EXPORT = 'id,name,amount\r\n1,M\u00fcller,\u00a35\r\n2,"Smith, J",\u20ac3\r\n3,x\r\n'
ENCODED_EXTRA = {
    "auto-cp1252-export": bytes([0x4E, 0, ord('"'), 0]) + EXPORT.encode("cp1252") + b'4,"\x93q\x94",\x81,x\n',
    "auto-cp1252-recovering": bytes([0x6E, 0, ord('"'), 0x50]) + b'a,b\n1,"\xe9x\n2,\xfc\n3,z\n',
    "auto-byte-order-marks": bytes([0x4E, 0, ord('"'), 0]) + BODIES["two-byte-order-marks"],
    "auto-utf16-without-mark": bytes([0x4E, 0, ord('"'), 0]) + EXPORT.encode("utf-16-le"),
    "utf16-le-export": bytes([0x9E, 0, ord('"'), 0]) + EXPORT.encode("utf-16"),
    "utf16-be-strict": bytes([0x98, 0, ord('"'), 3]) + EXPORT.encode("utf-16-be") + b"\x00a\x00,\xd8\x00\x00\n\x00",
    "utf16-unpaired-and-odd": bytes([0x9E, 0, ord('"'), 0])
    + "a,b\n".encode("utf-16-le")
    + b"\x00\xdc,\x00\x00\xd8\n\x00x",
    # A dropped closing quote between the halves of one invalid sequence.
    "quote-splits-a-sequence": bytes([0x06, 0, ord('"'), 0]) + b'"\xc3"\xa9,"\xe2\x82" \xac\n',
    "latin1-export": bytes([0xDE, 0, ord('"'), 0])
    + EXPORT.replace("\u20ac", "E").encode("latin-1")
    + b"\xef\xbb\xbf,\x00\n",
}

# Decoding target: encoding (0 utf-8, 1 auto, 2 cp1252, 3 latin-1, 4 utf-16-le,
# 5 utf-16-be, 6 utf-32-le, 7 utf-32-be), block length - 1, then the input.
TABLE = "id,name\n1,M\u00fcller \u20ac\n2,\u540d\U0001f600\r\n"
DECODING = {
    "utf8-replacement": b"\x00\x02" + BODIES["invalid-utf8"] + BODIES["truncated-sequences"],
    "auto-cp1252": b"\x01\x01M\xfcller,\xa35\r\n\x93q\x94\x81\x8d\x90\xc3(\xf0\x80|\xe2\x82",
    "auto-valid": b"\x01\x06" + TABLE.encode(),
    "auto-long-runs": b"\x01\xff" + b"plain,ascii,text\n" * 40 + TABLE.encode() * 8 + b"\xfc",
    "cp1252-high-half": b"\x02\x0f" + bytes(range(0x80, 0x100)) + b"a,b\n",
    "latin1-every-byte": b"\x03\x04" + bytes(range(256)),
    "utf16le-errors": b"\x04\x02" + TABLE.encode("utf-16-le") + b"\x00\xdc\x00\xd8a\x00\x00\xd8b",
    "utf16le-long-runs": b"\x04\x1f" + ("a,b,c\n" * 50 + TABLE).encode("utf-16-le"),
    "utf16be-errors": b"\x05\x00" + TABLE.encode("utf-16-be") + b"\xdc\x00\xd8\x3d\x00a\xd8\x3d",
    "utf32le-errors": b"\x06\x03" + TABLE.encode("utf-32-le") + b"\x00\x00\x11\x00\x00\xd8\x00\x00a",
    "utf32be-errors": b"\x07\x05" + TABLE.encode("utf-32-be") + b"\x00\x11\x00\x00\x00\x00",
}

# Logged-changes target: a flags byte (0x01 no fill, 0x02 no merge, 0x04 no
# recovery, 0x08 a window of 2 lines and 64 bytes), then a damaged file.
ORDERS = b"id,date,customer,qty,price\n" + b"".join(
    b"%d,2024-01-%02d,cust %d,%d,%d.50\n" % (i, i, i, i % 7, i) for i in range(1, 13)
)
LOGGED_CHANGES = {
    "orders-damaged": b"\x00"
    + ORDERS
    + b'13,2024-01-13,"Smith, J",4\n14,2024-01-14,x,5,1.50,extra\n15,"2024-01-15,y,6,2.50\n',
    "blanks-after-quote": b"\x00" + ORDERS + b'16,"2024-01-16" ,"z"  ,7,3.50\n"17"\t,2024-01-17,w,8,"4.50"  \n',
    "cr-inside-quotes": b"\x00"
    + ORDERS.replace(b"\n", b"\r\n")
    + b'18,2024-01-18,"two\rlines",1,1.50\r\n19,2024-01-19,short\r\n',
    "stray-quotes-semicolons": b"\x03" + b'a;b;c\n1;"he said "hi" ok";x\n2;"5" screen";y\n3;z\n4;u;v;w\n' * 3,
    "single-quotes-escapes": b"\x04" + b"# note\nk|v|w\n'a|b'|1|x\n'c'|2\\|3|y\n'd''e'|4|z\n" * 3,
    "unclosed-quote-window": b"\x08" + b'a,b\n1,"x\n2,y\n3,z\n4,w\n',
}


def write(target, name, data):
    directory = CORPUS / target
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data)


def main():
    for name, body in BODIES.items():
        for setting, header in PARSER_SETTINGS.items():
            write("fuzz_parser_differential", f"{name}.{setting}", header + body)
    for name, data in PARSER_EXTRA.items():
        write("fuzz_parser_differential", name, data)
    for name, body in UNCLOSED_QUOTE_BODIES.items():
        write("fuzz_parser_differential", f"{name}.comma-recover", b',"' + RECOVER_TWO_COLUMNS + body)

    salvage_bodies = {
        **SALVAGE_BODIES,
        **{
            k: BODIES[k]
            for k in (
                "mixed-line-breaks",
                "stray-quotes",
                "merge-across-delimiter",
                "two-byte-order-marks",
                "invalid-utf8",
                "nul-bytes",
                "unterminated-quote",
                "multi-line-field",
                "blank-line-between",
                "empty-line",
                "quoted-crlf",
            )
        },
        **UNCLOSED_QUOTE_BODIES,
    }
    for target in ("fuzz_salvage_slice", "fuzz_round_trip", "fuzz_file_salvage"):
        for name, body in salvage_bodies.items():
            for setting, header in SALVAGE_SETTINGS.items():
                write(target, f"{name}.{setting}", header + body)
        for name, data in SALVAGE_EXTRA.items():
            write(target, name, data)
    for name, data in ENCODED_EXTRA.items():
        write("fuzz_file_salvage", name, data)
    for name, data in LOGGED_CHANGES.items():
        write("fuzz_logged_changes", name, data)
    for name, data in DECODING.items():
        write("fuzz_decoding", name, data)


if __name__ == "__main__":
    main()
