import sys
import types

import pytest

from nivoradb_core._core import _testing

INSTALL_HINT = ("To use automatic embedding functionality, please install the required "
                "dependency: pip install nivoradb-core[embeddings]")


class StandInModel:
    """What the module relies on of a sentence_transformers model."""
    dimensions = {"mini": 384, "tiny": 8, "unknown-dim": None, "zero": 0, "negative": -1,
                  "text": "8"}

    def __init__(self, name):
        if name not in self.dimensions:
            raise OSError(f"no such model: {name}")
        self.name = name
        self.encode_calls = []

    def get_sentence_embedding_dimension(self):
        return self.dimensions[self.name]

    def encode(self, texts, convert_to_numpy=False):
        self.encode_calls.append((texts, convert_to_numpy))
        return [[0.5] * 8 for _ in texts] if isinstance(texts, list) else [0.5] * 8


@pytest.fixture
def stand_in(monkeypatch):
    module = types.ModuleType("sentence_transformers")
    module.SentenceTransformer = StandInModel
    monkeypatch.setitem(sys.modules, "sentence_transformers", module)
    return module


def test_loads_a_new_model_each_call(stand_in):
    first = _testing.load_embedding_model("mini")
    second = _testing.load_embedding_model("mini")
    assert isinstance(first, StandInModel) and first.name == "mini"
    assert first is not second
    assert _testing.embedding_dimension(first, "mini") == 384


def test_non_ascii_model_name(stand_in):
    StandInModel.dimensions["modèle"] = 4
    try:
        model = _testing.load_embedding_model("modèle")
        assert model.name == "modèle"
    finally:
        del StandInModel.dimensions["modèle"]


@pytest.mark.parametrize("name, expected, text", [
    ("unknown-dim", RuntimeError, "Unable to determine embedding dimension for model: unknown-dim"),
    ("zero", ValueError, "Invalid embedding dimension for model: zero"),
    ("negative", ValueError, "Invalid embedding dimension for model: negative"),
])
def test_bad_dimensions(stand_in, name, expected, text):
    model = _testing.load_embedding_model(name)
    with pytest.raises(expected) as info:
        _testing.embedding_dimension(model, name)
    assert type(info.value) is expected and str(info.value) == text


def test_non_integer_dimension_is_a_cast_error(stand_in):
    model = _testing.load_embedding_model("text")
    with pytest.raises(RuntimeError):
        _testing.embedding_dimension(model, "text")


def test_unknown_model(stand_in, capfd):
    with pytest.raises(RuntimeError) as info:
        _testing.load_embedding_model("no-such-model")
    text = str(info.value)
    assert text.startswith("Failed to load embedding model: ")
    assert "no such model: no-such-model" in text
    err = capfd.readouterr().err
    assert err.startswith("Python Exception: ")
    assert err.count("Python Exception: ") == 1
    assert "no such model: no-such-model" in err


def test_missing_package(monkeypatch):
    # None in sys.modules makes the import raise ImportError.
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)
    with pytest.raises(RuntimeError) as info:
        _testing.load_embedding_model("mini")
    assert str(info.value) == INSTALL_HINT


def test_package_without_the_class(monkeypatch, capfd):
    monkeypatch.setitem(sys.modules, "sentence_transformers",
                        types.ModuleType("sentence_transformers"))
    with pytest.raises(RuntimeError, match="^Failed to load embedding model: "):
        _testing.load_embedding_model("mini")
    assert "Python Exception: " in capfd.readouterr().err
