import json

import pytest

import nivoradb_core
from nivoradb_core._core import _testing

# native exception, Python exception
GENERAL_TRANSLATION = [
    ("invalid_argument", ValueError),
    ("domain_error", ValueError),
    ("length_error", ValueError),
    ("range_error", ValueError),
    ("out_of_range", IndexError),
    ("overflow_error", OverflowError),
    ("runtime_error", RuntimeError),
    ("logic_error", RuntimeError),
]


@pytest.mark.parametrize("kind, expected", GENERAL_TRANSLATION)
def test_general_translation_keeps_the_text(kind, expected):
    with pytest.raises(expected) as info:
        _testing.raise_native(kind, "the text: " + kind)
    assert type(info.value) is expected
    assert str(info.value) == "the text: " + kind


def test_bad_alloc_and_unknown_exceptions():
    with pytest.raises(MemoryError):
        _testing.raise_native("bad_alloc", "")
    with pytest.raises(RuntimeError, match="^Caught an unknown exception!$"):
        _testing.raise_native("something else", "")


def test_python_error_passes_unchanged():
    with pytest.raises(json.JSONDecodeError):
        _testing.raise_native("python_error", "{not json")


@pytest.mark.parametrize("call, expected, text", [
    (lambda: nivoradb_core.DBConfig("nowhere"), ValueError, "Unknown DB location: nowhere"),
    (lambda: nivoradb_core.Logger.instance().configure("trace"), ValueError,
     "Invalid log level: trace"),
])
def test_native_failures_of_the_value_classes(call, expected, text):
    with pytest.raises(expected) as info:
        call()
    assert type(info.value) is expected and str(info.value) == text
