"""Encrypted vector-database client (the docstring is the extension module's)."""

from . import _fast_defaults

# Before the extension (and with it OpenBLAS and OpenMP) loads.
_fast_defaults.apply()

from . import _core  # noqa: E402
from ._core import *  # noqa: E402,F401,F403

__doc__ = _core.__doc__
__all__ = [name for name in dir(_core) if not name.startswith("_")]

for _name in __all__:
    _obj = getattr(_core, _name)
    # Classes and functions print as nivoradb_core.<name>, where users find
    # them (and where the type stubs declare them).
    _obj.__module__ = __name__
del _name, _obj
