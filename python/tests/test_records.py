"""trirotor.records against the tool: the same input lines give the same
output lines."""

import json

import pytest

import trirotor
from trirotor import records
from conftest import SOURCE_DIR, run_tool_jsonl

KEY = "batch key"


def decode_cases(vectors):
    sealed = trirotor.encode("Grüße aus\tBerlin \"quoted\" \\ \x01", KEY, wrap=0)
    suffixed = trirotor.encode("with a suffix", "own key", "sfx")
    checksum = next(v for v in vectors if v.get("last_error") == 5)
    damaged = next(v for v in vectors if v["expect"] == "error" and v["key"])
    control = next(v for v in vectors if v["expect"] == "text" and v["plain_hex"] and
                   any(b < 0x20 or b >= 0x80 for b in bytes.fromhex(v["plain_hex"])))

    def rec(**fields):
        return json.dumps(fields, ensure_ascii=False)

    return [
        rec(id=1, message=sealed),
        rec(id="é-7", message=sealed),
        rec(id={"file": "a.eml", "n": [1, 2]}, message=sealed),
        rec(id=None, message=sealed),
        rec(id=-3, message=sealed, key="wrong"),
        rec(id=2, message=suffixed, key="own key", suffix="sfx"),
        rec(id=3, message=suffixed, key="own key"),
        rec(id=4, message=checksum["message"], key=checksum["key"], suffix=checksum["suffix"]),
        rec(id=5, message=damaged["message"], key=damaged["key"], suffix=damaged["suffix"]),
        rec(id=6, message=control["message"], key=control["key"], suffix=control["suffix"]),
        rec(id=7, message=""),
        rec(id=8, message="abc"),
        rec(id=9, message=sealed, key=""),
        rec(id=10, message=sealed, key=5),
        rec(id=11, message=sealed, suffix=[]),
        rec(id=12, message=42),
        rec(id=13),
        rec(message=sealed),
        "[1, 2]",
        '"just a string"',
        "{not json",
        '{"id": 1, "message": "\\ud800"}',
        "[" * 65 + "]" * 65,
        "[" * 64 + "]" * 64,
        '{"id": -0, "message": ""}',
        rec(id=14, message=sealed, key=None),
        rec(id=15, message=sealed, key=KEY, suffix=None),
        '{"id": 1.50, "message": "%s"}' % sealed,
        '{"id": 12345678901234567890123, "message": "%s"}' % sealed,
    ]


@pytest.mark.parametrize("default_key", [KEY, None])
def test_decode_lines_match_the_tool(tool, vectors, default_key):
    cases = decode_cases(vectors)
    data = "\n".join(cases).encode("utf-8") + b"\n"
    expected = run_tool_jsonl(tool, "decode", data, default_key)
    ours = list(records.decode_lines(data.splitlines(keepends=True), key=default_key))
    assert len(ours) == len(cases)
    for line, got, want in zip(cases, ours, expected, strict=True):
        assert got == want, line
    # Lines as str give the same; so do the records as dicts, as dicts.
    as_text = data.decode("utf-8").splitlines()
    assert list(records.decode_lines(as_text, key=default_key)) == expected
    as_dicts = [json.loads(line) for line in cases[:17]]
    assert list(records.decode_records(as_dicts, key=default_key)) == [json.loads(x) for x in expected[:17]]
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


def test_blank_lines_are_skipped(tool):
    sealed = trirotor.encode("x", KEY)
    data = f'\n{{"id":1,"message":"{sealed}"}}\n  \r\nnot json\n'.encode()
    assert list(records.decode_lines(data.splitlines(keepends=True), key=KEY)) == \
        run_tool_jsonl(tool, "decode", data, KEY)


# The record code refuses short messages once the tool's batch fix is in.
RECORDS_REFUSE_SHORT = "no message in the input" in (SOURCE_DIR / "records" / "records.cpp").read_text(encoding="utf-8")


@pytest.mark.xfail(not RECORDS_REFUSE_SHORT, strict=True,
                   reason="the batch record code still answers a short message with an empty text")
@pytest.mark.parametrize("message", ["", "abc", "é\n", "日本"])
def test_a_short_message_is_a_failed_record(tool, message):
    # The tool refuses such input ("no message in the input"); so must a record.
    record = {"id": 1, "message": message}
    answer = records.decode_record(record, key=KEY)
    assert "text" not in answer and "no message in the input" in json.dumps(answer), answer
    line = json.dumps(record, ensure_ascii=False)
    assert list(records.decode_lines([line], key=KEY)) == run_tool_jsonl(tool, "decode", line.encode() + b"\n", KEY)


@pytest.mark.parametrize("records_in, number", [
    ([{"id": float("nan"), "message": "abcd"}], 1),
    ([{"id": 1, "message": "abcd"}, {"id": 2, "message": "abcd", "extra": [float("inf")]}], 2),
    ([{"id": 1, "text": "x"}, {"id": 2, "text": "y"}, {"id": -float("inf"), "text": "z"}], 3),
])
def test_numbers_json_cannot_carry_are_refused_by_record(records_in, number):
    # Python would write NaN, which the reader refuses at a byte offset the
    # caller never wrote; say which record instead.
    mode = records.encode_records if "text" in records_in[0] else records.decode_records
    with pytest.raises(ValueError, match=f"^record {number} holds a NaN or infinite number"):
        list(mode(records_in, key=KEY))
    with pytest.raises(ValueError, match="^record 7 holds"):
        records.decode_record(records_in[-1], key=KEY, line=7)
