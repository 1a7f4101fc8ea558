"""trirotor.records against the tool: the same input lines give the same
output lines."""

import json

import pytest

import trirotor
from trirotor import records
from conftest import run_tool_jsonl

KEY = "batch key"


def probe(tool, line: str, key=KEY) -> str:
    return run_tool_jsonl(tool, "decode", (line + "\n").encode(), key)[0]


@pytest.fixture(scope="module")
def tool_features(tool):
    """What the tool at hand already does of the record rules the package follows."""
    return {
        "raw_ids": probe(tool, '{"id":1.50,"message":""}').startswith('{"id":1.50,'),
        "null_key": "not a string" not in probe(tool, '{"id":1,"message":"","key":null}'),
        "blank_lines": run_tool_jsonl(tool, "decode", b"\n \n", KEY) == [],
    }


def decode_cases(vectors):
    sealed = trirotor.encode("Grüße aus\tBerlin \"quoted\" \\ \x01", KEY, wrap=0)
    suffixed = trirotor.encode("with a suffix", "own key", "sfx")
    checksum = next(v for v in vectors if v.get("last_error") == 5)
    damaged = next(v for v in vectors if v["expect"] == "error" and v["key"])
    control = next(v for v in vectors if v["expect"] == "text" and v["plain_hex"] and
                   any(b < 0x20 or b >= 0x80 for b in bytes.fromhex(v["plain_hex"])))

    def rec(**fields):
        return json.dumps(fields, ensure_ascii=False)

    # (line, feature it needs or None)
    return [
        (rec(id=1, message=sealed), None),
        (rec(id="é-7", message=sealed), None),
        (rec(id={"file": "a.eml", "n": [1, 2]}, message=sealed), None),
        (rec(id=None, message=sealed), None),
        (rec(id=-3, message=sealed, key="wrong"), None),
        (rec(id=2, message=suffixed, key="own key", suffix="sfx"), None),
        (rec(id=3, message=suffixed, key="own key"), None),
        (rec(id=4, message=checksum["message"], key=checksum["key"], suffix=checksum["suffix"]), None),
        (rec(id=5, message=damaged["message"], key=damaged["key"], suffix=damaged["suffix"]), None),
        (rec(id=6, message=control["message"], key=control["key"], suffix=control["suffix"]), None),
        (rec(id=7, message=""), None),
        (rec(id=8, message="abc"), None),
        (rec(id=9, message=sealed, key=""), None),
        (rec(id=10, message=sealed, key=5), None),
        (rec(id=11, message=sealed, suffix=[]), None),
        (rec(id=12, message=42), None),
        (rec(id=13), None),
        (rec(message=sealed), None),
        ("[1, 2]", None),
        ('"just a string"', None),
        ("{not json", None),
        ("[" * 65 + "]" * 65, None),
        ("[" * 64 + "]" * 64, None),
        (rec(id=14, message=sealed, key=None), "null_key"),
        (rec(id=15, message=sealed, key=KEY, suffix=None), "null_key"),
        ('{"id": 1.50, "message": "%s"}' % sealed, "raw_ids"),
        ('{"id": 12345678901234567890123, "message": "%s"}' % sealed, "raw_ids"),
    ]


@pytest.mark.parametrize("default_key", [KEY, None])
def test_decode_lines_match_the_tool(tool, tool_features, vectors, default_key):
    cases = [line for line, feature in decode_cases(vectors) if feature is None or tool_features[feature]]
    data = "\n".join(cases).encode("utf-8") + b"\n"
    expected = run_tool_jsonl(tool, "decode", data, default_key)
    ours = list(records.decode_lines(data.splitlines(keepends=True), key=default_key))
    assert len(ours) == len(cases)
    for line, got, want in zip(cases, ours, expected):
        if '"not valid JSON"' in got:  # the tool may say more about why
            assert json.loads(got)["line"] == json.loads(want)["line"], line
            continue
        assert got == want, line
    # The same records as dicts give the same answers as objects.
    as_dicts = [json.loads(line) for line in cases[:17]]
    assert list(records.decode_records(as_dicts, key=default_key)) == [json.loads(x) for x in ours[:17]]


def test_encode_lines_match_the_tool(tool):
    cases = [
        {"id": 1, "text": "Grüße\nzwei Zeilen"},
        {"id": "b", "text": "", "key": "other"},
        {"id": 3, "text": "x", "suffix": "s"},
        {"id": 4, "text": "ab\ncЖ"},
        {"id": 5, "text": "x", "key": ""},
        {"id": 6, "text": 7},
        {"id": 7},
    ]
    data = "".join(json.dumps(c, ensure_ascii=False) + "\n" for c in cases).encode()
    expected = run_tool_jsonl(tool, "encode", data, KEY)
    ours = list(records.encode_lines(data.splitlines(), key=KEY))
    for case, got, want in zip(cases, ours, expected, strict=True):
        got, want = json.loads(got), json.loads(want)
        if "message" in want:
            # Sealed twice, never the same: both must open to the text.
            assert set(got) == set(want) == {"id", "message"} and got["id"] == want["id"]
            for sealed in (got["message"], want["message"]):
                assert "\n" not in sealed
                assert trirotor.decode(sealed, case.get("key", KEY), case.get("suffix", "")) == case["text"]
        else:
            assert got == want, case


def test_blank_lines_are_skipped(tool, tool_features):
    if not tool_features["blank_lines"]:
        pytest.skip("the tool at hand still answers blank lines")
    sealed = trirotor.encode("x", KEY)
    data = f'\n{{"id":1,"message":"{sealed}"}}\n  \r\nnot json\n'.encode()
    assert list(records.decode_lines(data.splitlines(keepends=True), key=KEY)) == \
        run_tool_jsonl(tool, "decode", data, KEY)
