"""load_json, parse_json_only and read_file_only against the standard library's json module."""

import json
import math
import os
import random
import re
import sys
import threading
import time
from pathlib import Path

import pytest

import memcheck
import vantorel._zerlin as z

DATA_DIRS = [Path("/work/shared/data"), Path(__file__).resolve().parent.parent / "data"]
DATA_FILES = sorted({p.name: p for d in DATA_DIRS if d.is_dir() for p in d.glob("*.json")}.values())


def write(tmp_path, content, name="doc.json"):
    path = tmp_path / name
    path.write_bytes(content.encode() if isinstance(content, str) else content)
    return str(path)


def same(a, b):
    """Equal values of the same types: 1 and 1.0 differ, -0.0 and 0.0 differ, NaN never occurs."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def load_error(tmp_path, content):
    with pytest.raises(ValueError) as exc:
        z.load_json(write(tmp_path, content))
    assert type(exc.value) is ValueError
    return str(exc.value)


def check_error(tmp_path, content):
    path = write(tmp_path, content)
    with pytest.raises(ValueError) as exc:
        z.parse_json_only(path)
    message = str(exc.value)
    assert message.startswith(path + ": ")
    return message[len(path) + 2 :]


# ---------------------------------------------------------------- agreement with json.load


@pytest.mark.skipif(not DATA_FILES, reason="no data files")
@pytest.mark.parametrize("path", DATA_FILES, ids=lambda p: p.name)
def test_real_files_equal_json_load(path):
    with open(path, encoding="utf-8") as f:
        want = json.load(f)
    assert same(z.load_json(str(path)), want)
    assert z.parse_json_only(str(path)) == path.stat().st_size
    assert z.read_file_only(str(path)) == path.stat().st_size


def random_value(rnd, depth=0):
    kind = rnd.randrange(10 if depth < 6 else 7)
    if kind == 0:
        return rnd.choice([None, True, False])
    if kind == 1:
        # Integers across the whole range the reader keeps as int.
        bits = rnd.choice([3, 8, 31, 32, 53, 63, 64])
        v = rnd.getrandbits(bits)
        return -min(v, 2**63) if rnd.random() < 0.4 and v else v
    if kind == 2:
        return rnd.choice([0.0, -1.5, 1e-300, 5e-324, 1.7976931348623157e308, 0.1, 1 / 3, 123456.789e10])
    if kind == 3:
        return rnd.uniform(-1e6, 1e6) * 10 ** rnd.randint(-30, 30)
    if kind in (4, 5, 6):
        alphabet = 'ab"\\/\b\f\n\r\t\x00\x1f\x7f é€😀\u2028\ufeff'
        return "".join(rnd.choice(alphabet) for _ in range(rnd.randrange(12)))
    if kind in (7, 8):
        return [random_value(rnd, depth + 1) for _ in range(rnd.randrange(6))]
    keys = ["id", "bbox", "é", 'k"ey', "", "😀", "a\u0000b"]
    return {rnd.choice(keys): random_value(rnd, depth + 1) for _ in range(rnd.randrange(6))}


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("style", ["compact", "indented", "ascii"])
def test_generated_documents_equal_json_load(tmp_path, seed, style):
    rnd = random.Random(seed)
    doc = [random_value(rnd) for _ in range(300)]
    text = {
        "compact": lambda: json.dumps(doc, ensure_ascii=False, separators=(",", ":")),
        "indented": lambda: json.dumps(doc, ensure_ascii=False, indent="\t"),
        "ascii": lambda: json.dumps(doc, indent=1),  # \uXXXX escapes, surrogate pairs for 😀
    }[style]()
    path = write(tmp_path, text)
    with open(path, encoding="utf-8") as f:
        assert same(z.load_json(path), json.load(f))
    assert z.parse_json_only(path) == len(text.encode())


@pytest.mark.parametrize(
    "text, want",
    [
        ("18446744073709551615", 18446744073709551615),
        ("18446744073709551616", 1.8446744073709552e19),  # beyond u64: a float
        ("-9223372036854775808", -9223372036854775808),
        ("-9223372036854775809", -9.223372036854776e18),  # below i64: a float
        ("123456789012345678901234567890", 1.2345678901234568e29),
        ("-0", -0.0),  # no integer -0: a float, where json.load gives int 0
        ("[-0.0, 0e7, 1E+2, 1e-2, 2.5E-3]", [-0.0, 0.0, 100.0, 0.01, 0.0025]),
        ("1.0", 1.0),
        ("1e-400", 0.0),
        ("-1e-400", -0.0),
        ('"\\ud83d\\ude00\\u00e9\\/"', "😀é/"),
        ('{"a": 1, "b": 2, "a": 3}', {"a": 3, "b": 2}),  # first position, last value
    ],
)
def test_number_and_string_rules(tmp_path, text, want):
    assert same(z.load_json(write(tmp_path, text)), want)


def test_floats_round_like_python(tmp_path):
    rnd = random.Random(5)
    literals = []
    for _ in range(20000):
        digits = "".join(rnd.choice("0123456789") for _ in range(rnd.randrange(1, 25))).lstrip("0") or "0"
        frac = "".join(rnd.choice("0123456789") for _ in range(rnd.randrange(0, 25)))
        lit = (
            rnd.choice(["", "-"])
            + digits
            + ("." + frac if frac else "")
            + rnd.choice(["", f"e{rnd.randint(-330, 300)}"])
        )
        if math.isfinite(float(lit)):
            literals.append(lit)
    got = z.load_json(write(tmp_path, "[" + ",".join(literals) + "]"))
    for lit, v in zip(literals, got):
        want = float(lit) if ("." in lit or "e" in lit or lit.startswith("-0")) else int(lit)
        if isinstance(want, int) and not -(2**63) <= want < 2**64:
            want = float(lit)
        assert same(v, want), lit


def test_deep_nesting(tmp_path):
    for depth in (1, 126, 127):
        assert z.load_json(write(tmp_path, "[" * depth + "]" * depth)) is not None
    doc = z.load_json(write(tmp_path, '{"a":' * 127 + "1" + "}" * 127))
    for _ in range(127):
        doc = doc["a"]
    assert doc == 1
    assert load_error(tmp_path, "[" * 128 + "]" * 128) == "JSON snapshot: recursion limit exceeded at line 1 column 128"
    # The syntax check has no depth limit.
    for depth in (128, 100000):
        assert z.parse_json_only(write(tmp_path, "[" * depth + "]" * depth)) == 2 * depth


# ---------------------------------------------------------------- key cache


def test_equal_keys_are_one_object(tmp_path):
    text = json.dumps([{"id": i, "bbox": [i], "é": {"id": -i, "a\u0062": 0}} for i in range(500)] + [{"ab": 1}])
    text = text.replace('"ab"', '"a\\u0062"', 1)  # an escaped spelling of a key seen plainly
    doc = z.load_json(write(tmp_path, text))
    assert doc == json.loads(text)
    keys = {}
    stack = [doc]
    while stack:
        v = stack.pop()
        if isinstance(v, dict):
            for k in v:
                assert keys.setdefault(k, k) is k  # every occurrence is the first object
                stack.append(v[k])
        elif isinstance(v, list):
            stack.extend(v)
    assert set(keys) == {"id", "bbox", "é", "ab"}
    # String values are never shared, even when they equal a key.
    values = z.load_json(write(tmp_path, '[{"id": "id"}, {"id": "id"}]'))
    assert values[0]["id"] is not values[1]["id"]
    assert values[0]["id"] is not next(iter(values[0]))


def test_many_distinct_keys(tmp_path):
    # More keys than the cache's first room, long keys beyond its short-key front.
    doc = {f"key{i}" + "x" * (i % 40): i for i in range(5000)}
    got = z.load_json(write(tmp_path, json.dumps([doc, doc])))
    assert same(got, [doc, doc])
    assert all(a is b for a, b in zip(got[0], got[1]))


# ---------------------------------------------------------------- errors


LOAD_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    (" \n\t", "EOF while parsing a value at line 2 column 1"),
    ("[1, 2,]", "trailing comma at line 1 column 7"),
    ('{"a":1,}', "trailing comma at line 1 column 8"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ("[", "EOF while parsing a list at line 1 column 1"),
    ('{"a":1', "EOF while parsing an object at line 1 column 6"),
    ('["abc', "EOF while parsing a string at line 1 column 5"),
    ('{"a":', "EOF while parsing a value at line 1 column 5"),
    ("[x]", "expected value at line 1 column 2"),
    ("NaN", "expected value at line 1 column 1"),
    ("[+1]", "expected value at line 1 column 2"),
    ("[tru]", "expected ident at line 1 column 5"),
    ("[nulL]", "expected ident at line 1 column 5"),
    ("[01]", "invalid number at line 1 column 3"),
    ("[-]", "invalid number at line 1 column 3"),
    ("[1.]", "invalid number at line 1 column 4"),
    ("[1.e5]", "invalid number at line 1 column 4"),
    ("[1e]", "invalid number at line 1 column 4"),
    ("[\n  1,\n  1e400\n]", "number out of range at line 3 column 7"),
    ("-1e400", "number out of range at line 1 column 6"),
    ('["a\tb"]', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
    ('["\\x"]', "invalid escape at line 1 column 4"),
    ('["\\u12G4"]', "invalid escape at line 1 column 8"),
    ('["\\udc00"]', "lone leading surrogate in hex escape at line 1 column 8"),
    ('["\\ud800x"]', "unexpected end of hex escape at line 1 column 9"),
    (b'["\xff"]', "invalid unicode code point at line 1 column 4"),
    (b'{"\xc3\x28": 1}', "invalid unicode code point at line 1 column 5"),
    (b'["\xed\xa0\x80"]', "invalid unicode code point at line 1 column 6"),
    (b"\xef\xbb\xbf[]", "expected value at line 1 column 1"),  # a byte order mark is not whitespace
    (b"[1, \xff]", "expected value at line 1 column 5"),
]


@pytest.mark.parametrize("content, message", LOAD_ERRORS)
def test_load_json_errors(tmp_path, content, message):
    assert load_error(tmp_path, content) == "JSON snapshot: " + message


@pytest.mark.parametrize(
    "content, position",
    [('{"a":1}x', "line 1 column 8"), ("[]\n\n  ]", "line 3 column 3"), ("1 2", "line 1 column 3")],
)
def test_trailing_data(tmp_path, content, position):
    assert load_error(tmp_path, content) == "JSON snapshot: trailing data: trailing characters at " + position
    assert check_error(tmp_path, content) == "trailing data: trailing characters at " + position


@pytest.mark.parametrize(
    "content, message",
    [
        ("[1e400, 1e-400]", None),  # numbers are checked for form only
        (b'["\xff\xfe"]', None),  # and strings not for their encoding
        ('["\\udc00"]', None),
        ("", "EOF while parsing a value at line 1 column 0"),
        ("[1 2]", "expected `,` or `]` at line 1 column 4"),
        ('{"a" 1}', "expected `:` at line 1 column 6"),
        ("[01]", "invalid number at line 1 column 3"),
        ('["\\q"]', "invalid escape at line 1 column 4"),
        ("[tru]", "expected ident at line 1 column 5"),
    ],
)
def test_parse_json_only(tmp_path, content, message):
    path = write(tmp_path, content)
    if message is None:
        assert z.parse_json_only(path) == os.path.getsize(path)
    else:
        assert check_error(tmp_path, content) == message


def test_truncated_documents(tmp_path):
    text = json.dumps(
        {"images": [{"id": 1, "file_name": "a\u00e9\\n.jpg"}], "x": [-1.5e-3, True, False, None, "\ud83d\ude00"]},
        indent=1,
    )
    data = text.encode()
    for cut in range(len(data)):
        prefix = data[:cut]
        lines = prefix.split(b"\n")
        at_end = f"at line {len(lines)} column {len(lines[-1])}"
        message = load_error(tmp_path, prefix)
        assert re.fullmatch(
            r"JSON snapshot: EOF while parsing (a list|an object|a string|a value) " + at_end, message
        ), message
        with pytest.raises(json.JSONDecodeError):
            json.loads(prefix)
        message = check_error(tmp_path, prefix)
        assert re.fullmatch(
            r"(EOF while parsing (a list|an object|a string|a value)|invalid number) " + at_end, message
        )


def test_error_releases_partial_objects(tmp_path):
    bad = write(tmp_path, json.dumps([{"id": i, "v": [i * 0.5, "s" * i]} for i in range(2000)]) + "x", "bad.json")
    good = write(tmp_path, json.dumps([{"id": i, "v": [i * 0.5, "s" * i]} for i in range(2000)]), "good.json")

    def run():
        for _ in range(20):
            with pytest.raises(ValueError):
                z.load_json(bad)
            z.load_json(good)

    assert memcheck.growth(run) < 64 * 1024


# ---------------------------------------------------------------- files and arguments


@pytest.mark.parametrize("fn", [z.load_json, z.parse_json_only, z.read_file_only])
def test_os_errors(tmp_path, fn):
    missing = str(tmp_path / "missing.json")
    with pytest.raises(OSError) as exc:
        fn(missing)
    assert type(exc.value) is OSError
    assert exc.value.args == ("No such file or directory (os error 2)",)
    with pytest.raises(OSError) as exc:
        fn(str(tmp_path))
    assert exc.value.args == ("Is a directory (os error 21)",)
    with pytest.raises(OSError):
        fn(write(tmp_path, "[]") + "\0")  # never opens the file before the NUL


def special_files(tmp_path):
    """Files that are not regular and may never end, as this system has them."""
    if sys.platform == "win32":
        return ["NUL"]
    os.mkfifo(tmp_path / "fifo")
    return ["/dev/zero", str(tmp_path / "fifo")]


@pytest.mark.parametrize("fn", [z.load_json, z.parse_json_only, z.read_file_only])
def test_special_files_are_refused(tmp_path, fn):
    # Refused, not read to exhaustion (nor waited on, for a FIFO without writer).
    for special in special_files(tmp_path):
        with pytest.raises(OSError) as exc:
            fn(special)
        assert exc.value.args == (f"not a regular file: '{special}' (only regular files are read)",)


def test_paths_and_arguments(tmp_path):
    assert z.read_file_only(write(tmp_path, "")) == 0
    path = write(tmp_path, '{"ok": [1]}', "ünï cödé.json")
    assert z.load_json(path=path) == {"ok": [1]}
    assert z.read_file_only(path) == 11
    with pytest.raises(TypeError) as exc:
        z.load_json(Path(path))
    assert exc.value.__notes__ == ["while processing 'path'"]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'path'"):
        z.parse_json_only()


def test_parse_json_only_releases_the_interpreter_lock(tmp_path):
    # With a long switch interval, the other thread runs during the call only
    # if the call lets go of the lock.
    path = write(tmp_path, "[" + ",".join(['{"a": [1.5, "xyz", null]}'] * 400000) + "]")
    ticks = [0]
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.0002)

    old = sys.getswitchinterval()
    thread = threading.Thread(target=tick)
    thread.start()
    try:
        time.sleep(0.01)
        sys.setswitchinterval(1000)
        seen = []
        for _ in range(3):
            before = ticks[0]
            z.parse_json_only(path)
            seen.append(ticks[0] - before)
    finally:
        sys.setswitchinterval(old)
        stop.set()
        thread.join()
    assert max(seen) > 0


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("content", ['[{"a": [1, {"b": 2}]}]', '[{"a": 1}, {"a": 2,}]'])
def test_collector_setting_survives_loading(tmp_path, enabled, content):
    # Loading pauses the cyclic collector while it builds; the caller's
    # setting must come back, after a refused document too.
    import gc

    path = write(tmp_path, content)
    (gc.enable if enabled else gc.disable)()
    try:
        try:
            z.load_json(path)
        except ValueError:
            pass
        assert gc.isenabled() is enabled
    finally:
        gc.enable()


@pytest.mark.parametrize(
    ("text", "kind", "line", "column", "literal"),
    [
        ("[1, 2,]", "trailing_comma", 1, 7, None),
        ('{"a":\n  [1 2]}', "expected_list_comma_or_end", 2, 6, None),
        ('[{"score": NaN}]', "expected_some_value", 1, 12, "NaN"),
        ('[{"score": Infinity}]', "expected_some_value", 1, 12, "Infinity"),
        ('[{"score": -Infinity}]', "invalid_number", 1, 13, "-Infinity"),
        ('[{"score": Nano}]', "expected_some_value", 1, 12, None),
    ],
)
def test_reader_errors_are_structured(tmp_path, text, kind, line, column, literal):
    """The reader's error carries its kind, place and any non-finite literal; the message is unchanged."""
    path = tmp_path / "doc.json"
    path.write_text(text)
    with pytest.raises(ValueError) as native:
        z.load_json(str(path))
    assert native.value.json_error == (kind, line, column, literal)
    assert f"at line {line} column {column}" in str(native.value)
    from vantorel import JsonError, read_json

    if literal is None:
        with pytest.raises(JsonError) as err:
            read_json(path)
        assert (err.value.kind, err.value.line, err.value.column, err.value.literal) == (kind, line, column, None)
        assert str(err.value) == str(native.value)
    else:  # Python's json module reads what it writes
        assert read_json(path) == json.loads(text)
