"""Fast defaults for the native libraries, chosen before they load.

OpenBLAS picks its kernels from the CPU it recognises; an older OpenBLAS that
does not know a newer CPU falls back to slow generic kernels. When
OPENBLAS_CORETYPE is unset, name the best kernel family the CPU supports
(never one it lacks). GNU OpenMP's threads spin while they wait, which costs
dearly on a shared machine: when OMP_WAIT_POLICY is unset, make them sleep.
A value the user has set is always kept.
"""

import os

_CPUINFO = "/proc/cpuinfo"

# Kernel families in order of preference, each with the CPU flags it needs.
_CORETYPES = (
    ("SkylakeX", frozenset({"avx512f", "avx512bw", "avx512dq", "avx512vl", "avx512cd",
                            "avx2", "fma"})),
    ("Haswell", frozenset({"avx2", "fma"})),
)


def cpu_flags(cpuinfo_path=_CPUINFO):
    """The feature flags of the first CPU listed; empty when unreadable."""
    try:
        with open(cpuinfo_path, encoding="ascii", errors="replace") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key.strip() == "flags":
                    return frozenset(value.split())
    except OSError:
        pass
    return frozenset()


def choose_openblas_coretype(flags):
    """The OpenBLAS kernel family for these CPU flags, or None."""
    for name, needed in _CORETYPES:
        if needed <= flags:
            return name
    return None


def apply(environ=os.environ, cpuinfo_path=_CPUINFO):
    """Sets the unset variables in environ."""
    if not environ.get("OPENBLAS_CORETYPE"):
        coretype = choose_openblas_coretype(cpu_flags(cpuinfo_path))
        if coretype:
            environ["OPENBLAS_CORETYPE"] = coretype
    if not environ.get("OMP_WAIT_POLICY"):
        environ["OMP_WAIT_POLICY"] = "passive"
