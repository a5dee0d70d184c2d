import os

import pytest

from nivoradb_core import _fast_defaults

SKYLAKEX = {"avx512f", "avx512bw", "avx512dq", "avx512vl", "avx512cd", "avx2", "fma"}


@pytest.mark.parametrize("flags, expected", [
    (SKYLAKEX | {"sse4_2", "avx512_bf16"}, "SkylakeX"),
    (SKYLAKEX - {"avx512bw"}, "Haswell"),
    (SKYLAKEX - {"avx512vl"}, "Haswell"),
    ({"avx2", "fma", "avx"}, "Haswell"),
    ({"avx2", "avx"}, None),
    ({"avx", "sse4_2"}, None),
    ({"avx512f", "avx512bw", "avx512dq", "avx512vl", "avx512cd"}, None),
    (set(), None),
])
def test_coretype_never_needs_a_missing_feature(flags, expected):
    assert _fast_defaults.choose_openblas_coretype(frozenset(flags)) == expected


def test_cpu_flags_from_cpuinfo(tmp_path):
    info = tmp_path / "cpuinfo"
    info.write_text("processor\t: 0\nvendor_id\t: X\nflags\t\t: fpu avx2 fma\n\n"
                    "processor\t: 1\nflags\t\t: fpu\n")
    assert _fast_defaults.cpu_flags(str(info)) == {"fpu", "avx2", "fma"}
    assert _fast_defaults.cpu_flags(str(tmp_path / "missing")) == frozenset()


@pytest.mark.parametrize("environ, expected", [
    ({}, {"OPENBLAS_CORETYPE": "Haswell", "OMP_WAIT_POLICY": "passive"}),
    ({"OPENBLAS_CORETYPE": "Sandybridge"},
     {"OPENBLAS_CORETYPE": "Sandybridge", "OMP_WAIT_POLICY": "passive"}),
    ({"OMP_WAIT_POLICY": "active"}, {"OPENBLAS_CORETYPE": "Haswell", "OMP_WAIT_POLICY": "active"}),
    ({"OPENBLAS_CORETYPE": "", "OMP_WAIT_POLICY": ""},
     {"OPENBLAS_CORETYPE": "Haswell", "OMP_WAIT_POLICY": "passive"}),
])
def test_apply_keeps_what_the_user_set(tmp_path, environ, expected):
    info = tmp_path / "cpuinfo"
    info.write_text("flags\t: avx avx2 fma\n")
    _fast_defaults.apply(environ, str(info))
    assert environ == expected


def test_unknown_cpu_leaves_coretype_unset(tmp_path):
    environ = {}
    _fast_defaults.apply(environ, str(tmp_path / "missing"))
    assert environ == {"OMP_WAIT_POLICY": "passive"}


CORENAME = """
    import ctypes, os
    import nivoradb_core
    blas = ctypes.CDLL("libopenblas.so.0")
    blas.openblas_get_corename.restype = ctypes.c_char_p
    print(os.environ.get("OPENBLAS_CORETYPE"), os.environ["OMP_WAIT_POLICY"],
          blas.openblas_get_corename().decode())
"""


def test_import_sets_defaults_before_openblas_loads(python_run):
    env = dict(os.environ)
    env.pop("OMP_WAIT_POLICY", None)
    result = python_run(CORENAME, env=env)
    assert result.returncode == 0, result.stderr
    coretype, wait, corename = result.stdout.split()
    assert wait == "passive"
    if "OPENBLAS_CORETYPE" in os.environ:
        assert coretype == os.environ["OPENBLAS_CORETYPE"]  # kept as the machine set it
    else:
        expected = _fast_defaults.choose_openblas_coretype(_fast_defaults.cpu_flags())
        assert coretype == str(expected)
        if expected:
            assert corename.lower() == expected.lower()


def test_import_keeps_a_preset_wait_policy(python_run):
    env = dict(os.environ, OMP_WAIT_POLICY="active")
    result = python_run(CORENAME, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[1] == "active"
