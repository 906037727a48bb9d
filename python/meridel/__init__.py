"""Whole-run access to LC/MS acquisition directories (see meridel._meridel for the
extension itself). Every public name of the extension is re-exported here unchanged;
batch work over many runs on a Dask cluster is in meridel.batch (CPython with Dask).
"""
from meridel import _meridel
from meridel._meridel import *  # noqa: F401,F403  (the extension's __all__)
from meridel._meridel import __version__, _restore_spectrum  # noqa: F401

import sys as _sys
if _sys.implementation.name == "pypy":
    # PyPy's Buffers are a class of their own, whose exports its collector frees cheaply
    # (see meridel._views); the extension names it too. A spectrum's are made there.
    from meridel._views import Buffer, _spectrum_property  # noqa: F811
    _meridel.Buffer = Buffer
    Spectrum.mz = _spectrum_property(  # noqa: F405
        0, "d", "m/z values: meridel.Buffer of 'd', sharing the spectrum's memory")
    Spectrum.intensity = _spectrum_property(  # noqa: F405
        1, "f", "intensities: meridel.Buffer of 'f', sharing the spectrum's memory")
    del _spectrum_property
del _sys

__all__ = list(_meridel.__all__)
__doc__ = _meridel.__doc__ + "\n\nBatch work over many runs on a Dask cluster: meridel.batch (CPython)."

# The functions report the module users import them from, so that pickles and help()
# name meridel.open rather than the private extension. (PyPy's built-in functions may
# refuse the assignment; they then keep meridel._meridel, which unpickles as well.)
for _function in (open, _restore_spectrum):  # noqa: F405
    try:
        _function.__module__ = __name__
    except (AttributeError, TypeError):
        pass
del _function
