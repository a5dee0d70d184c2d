import re

import numpy as np
import pytest

from nivoradb_core import (DBConfig, GPUConfig, IndexConfig, IndexIVF, IndexIVFFlat,
                           IndexIVFPQ, IndexIVFSQ, Logger)


# ---- DBConfig ---------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs", [
    (("redis",), {}),
    (("memory",), {}),
    (("postgres", "items", "host=127.0.0.1"), {}),
    (("rocksdb",), {"connection_string": ""}),
    (("threadsafememory",), {"table_name": None, "connection_string": None}),
    ((b"redis",), {}),
    ((bytearray(b"memory"),), {}),
])
def test_dbconfig_accepts(args, kwargs):
    DBConfig(*args, **kwargs)


@pytest.mark.parametrize("name", ["none", "Memory", "", "redis ", " redis", "rocks", "REDIS"])
def test_dbconfig_unknown_location(name):
    with pytest.raises(ValueError, match="^" + re.escape("Unknown DB location: " + name) + "$"):
        DBConfig(name)


@pytest.mark.parametrize("call", [
    lambda: DBConfig(None),
    lambda: DBConfig(1),
    lambda: DBConfig("memory", query=1),
    lambda: DBConfig("memory", 5),
    lambda: DBConfig(),
])
def test_dbconfig_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_dbconfig_has_no_readable_fields():
    config = DBConfig("memory", "t", "c")
    for name in ("location", "table_name", "connection_string", "db_connection_string"):
        assert not hasattr(config, name)


# ---- Logger -----------------------------------------------------------------

STAMP = r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]"


def line(level, message):
    """One log line as a regular expression."""
    return STAMP + re.escape(f"[{level}] {message}") + "\n"


def test_logger_levels_and_streams(logger, capfd):
    logger.configure("warning")
    logger.info("quiet")
    logger.debug("never")
    logger.warning("to stdout")
    logger.error("to stderr")
    logger.critical("also stderr")
    out, err = capfd.readouterr()
    assert re.fullmatch(line("WARNING", "to stdout"), out)
    assert re.fullmatch(line("ERROR", "to stderr") +
                        line("CRITICAL", "also stderr"), err)


def test_logger_debug_prints_nothing_even_at_info(logger, capfd):
    logger.configure("info")
    logger.debug("x")
    logger.info("shown")
    out, err = capfd.readouterr()
    assert re.fullmatch(line("INFO", "shown"), out)
    assert err == ""


@pytest.mark.parametrize("level", ["debug", "INFO", "Warning", "", "fatal"])
def test_logger_refuses_other_levels_and_keeps_its_level(logger, capfd, level):
    logger.configure("critical")
    with pytest.raises(ValueError, match="^" + re.escape("Invalid log level: " + level) + "$"):
        logger.configure(level)
    logger.error("dropped: still at CRITICAL")
    assert capfd.readouterr() == ("", "")


def test_logger_appends_to_default_file(logger, capfd, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "nivora_client.log").write_text("earlier\n")
    logger.configure("info", True)
    logger.info("one")
    logger.warning("two")
    logger.configure("error")  # back to the console; the file stays as written
    logger.error("console")
    text = (tmp_path / "nivora_client.log").read_text()
    assert text.startswith("earlier\n")
    assert re.fullmatch("earlier\n" + line("INFO", "one") +
                        line("WARNING", "two"), text)
    out, err = capfd.readouterr()
    assert out == "" and "[ERROR] console" in err


def test_logger_file_path_and_unopenable_file(logger, capfd, tmp_path):
    path = tmp_path / "own.log"
    logger.configure("warning", to_file=True, file_path=str(path))
    logger.warning("in file")
    assert "[WARNING] in file" in path.read_text()
    bad = str(tmp_path / "missing" / "x.log")
    logger.configure("warning", True, bad)
    logger.warning("on console")
    out, err = capfd.readouterr()
    assert err == "[Logger] Failed to open log file: " + bad + "\n"
    assert "[WARNING] on console" in out


@pytest.mark.parametrize("call", [
    lambda log: log.info(message="x"),
    lambda log: log.info(1),
    lambda log: log.configure("info", "yes"),
    lambda log: log.configure(None),
])
def test_logger_type_errors(logger, call):
    with pytest.raises(TypeError):
        call(logger)


# ---- IndexConfig family ---------------------------------------------------

# constructor, dimension, pq_dim, pq_bits, sq_bits (None: no method), index_type
CONFIGS = [
    (lambda: IndexIVFPQ(), 0, 0, 8, None, "ivfpq"),
    (lambda: IndexIVFPQ(pq_bits=None), 0, 0, 8, None, "ivfpq"),
    (lambda: IndexIVFPQ(128, 16, 4), 128, 16, 4, None, "ivfpq"),
    (lambda: IndexIVFPQ(dimension=8, pq_dim=None, pq_bits=12), 8, 0, 12, None, "ivfpq"),
    (lambda: IndexIVF(), 0, 0, 0, None, "ivf"),
    (lambda: IndexIVF(np.int64(64)), 64, 0, 0, None, "ivf"),
    (lambda: IndexIVF(True), 1, 0, 0, None, "ivf"),
    (lambda: IndexIVF(2**64 - 1), 2**64 - 1, 0, 0, None, "ivf"),
    (lambda: IndexIVFFlat(16), 16, 0, 0, None, "ivfflat"),
    (lambda: IndexIVFFlat(dimension=None), 0, 0, 0, None, "ivfflat"),
    (lambda: IndexIVFSQ(), 0, 0, 0, 8, "ivfsq"),
    (lambda: IndexIVFSQ(128, 16), 128, 0, 0, 16, "ivfsq"),
    (lambda: IndexIVFSQ(sq_bits=3), 0, 0, 0, 3, "ivfsq"),
    (lambda: IndexIVFSQ(np.uint8(32), np.int32(8)), 32, 0, 0, 8, "ivfsq"),
]


@pytest.mark.parametrize("make, dimension, pq_dim, pq_bits, sq_bits, index_type", CONFIGS)
def test_index_config_values(make, dimension, pq_dim, pq_bits, sq_bits, index_type):
    config = make()
    assert isinstance(config, IndexConfig)
    assert config.dimension == dimension
    assert config.pq_dim() == pq_dim
    assert config.pq_bits() == pq_bits
    assert config.n_lists == 1
    assert config.metric == "euclidean"
    assert config.index_type == index_type
    if sq_bits is None:
        assert not hasattr(config, "sq_bits")
    else:
        assert config.sq_bits() == sq_bits


@pytest.mark.parametrize("make, dimension, pq_dim, pq_bits, sq_bits, index_type", CONFIGS)
def test_clone_keeps_class_and_fields(make, dimension, pq_dim, pq_bits, sq_bits, index_type):
    original = make()
    clone = original.clone()
    assert type(clone) is type(original)
    assert clone is not original
    twice = clone.clone()
    del original, clone  # a clone lives on its own
    for config in (twice,):
        assert config.dimension == dimension
        assert (config.pq_dim(), config.pq_bits()) == (pq_dim, pq_bits)
        assert config.index_type == index_type
        if sq_bits is not None:
            assert config.sq_bits() == sq_bits


@pytest.mark.parametrize("call", [
    lambda: IndexIVF(-1),
    lambda: IndexIVF(3.0),
    lambda: IndexIVF("3"),
    lambda: IndexIVF(2**64),
    lambda: IndexIVFFlat(np.float64(4)),
    lambda: IndexIVFSQ(sq_bits=None),
    lambda: IndexIVFSQ(8, -8),
    lambda: IndexIVFPQ(pq_dim=-1),
    lambda: IndexIVFPQ(1, 2, 3, 4),
    lambda: IndexIVF(dim=4),
])
def test_index_config_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_index_config_docstrings():
    assert IndexConfig.__doc__ == (
        "Abstract base class for index configurations. This class provides the core properties "
        "of an index configuration, including dimension, distance metric and index type")
    assert IndexIVFPQ.__doc__ == ("Configuration for an IVFPQ index, which uses Product "
                                  "Quantization for coarse clustering.")
    assert IndexConfig.dimension.__doc__.startswith("Get the vector dimensionality.")
    assert IndexIVF.n_lists.__doc__.startswith("Get the number of lists in the IVF index.")
    assert IndexIVFSQ.n_lists.__doc__.startswith("Get the number of lists in the IVFSQ index.")
    assert IndexIVF.n_lists is not IndexConfig.n_lists
    assert "Initialize the IVFSQ index configuration." in IndexIVFSQ.__init__.__doc__
    assert "Defaults to 8." in IndexIVFSQ.__init__.__doc__
    assert "\n                Configure the logger instance.\n" in Logger.configure.__doc__
    assert "Get the Product Quantization (PQ) dimension for the IVFPQ index." in \
        IndexIVFPQ.pq_dim.__doc__


# ---- GPUConfig ------------------------------------------------------------

# args, kwargs, (upsert, train, query, all, none), repr
GPU_CASES = [
    ((), {}, (False, False, False, False, True),
     "GPUConfig(upsert=False, train=False, query=False)"),
    ((True, True), {}, (True, True, False, False, False),
     "GPUConfig(upsert=True, train=True, query=False)"),
    ((), {"upsert": True}, (True, False, False, False, False),
     "GPUConfig(upsert=True, train=False, query=False)"),
    ((), {"train": 1.5}, (False, True, False, False, False),
     "GPUConfig(upsert=False, train=True, query=False)"),
    ((1, None), {}, (True, False, False, False, False),
     "GPUConfig(upsert=True, train=False, query=False)"),
    ((np.bool_(True), 0), {}, (True, False, False, False, False),
     "GPUConfig(upsert=True, train=False, query=False)"),
]


@pytest.mark.parametrize("args, kwargs, flags, text", GPU_CASES)
def test_gpu_config(args, kwargs, flags, text):
    gpu = GPUConfig(*args, **kwargs)
    assert (gpu.upsert, gpu.train, gpu.query, gpu.all, gpu.none) == flags
    assert repr(gpu) == text


def test_gpu_config_equality_and_hash():
    assert GPUConfig() == GPUConfig(False, False)
    assert GPUConfig(True) == GPUConfig(upsert=True)
    assert not (GPUConfig(True) == GPUConfig(False, True))
    assert GPUConfig(True) != GPUConfig(False, True)
    with pytest.raises(TypeError):
        hash(GPUConfig())
    with pytest.raises(TypeError):
        GPUConfig() == 1  # noqa: B015
    with pytest.raises(TypeError):  # pybind11 3 matches no overload for None
        GPUConfig() == None  # noqa: E711,B015


@pytest.mark.parametrize("call", [
    lambda: GPUConfig(upsert="yes"),
    lambda: GPUConfig(query=True),
    lambda: GPUConfig([1]),
    lambda: GPUConfig(True, True, True),
])
def test_gpu_config_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_gpu_config_docstrings():
    assert GPUConfig.__doc__ == "Configuration for GPU operations."
    assert "Enable GPU for training operations." in GPUConfig.__init__.__doc__
