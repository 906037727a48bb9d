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

    # cpyext drops the docstrings of extension types' getters: each becomes a property
    # that calls it, with its docstring from the module's own table.
    def _document_getters(cls):
        for name, doc in _meridel._getter_docs(cls).items():
            getter = vars(cls).get(name)
            if type(getter).__name__ == "getset_descriptor" and not getter.__doc__:
                setattr(cls, name, property(getter.__get__, doc=doc))

    for _cls in (Acquisition, Spectrum):  # noqa: F405
        _document_getters(_cls)
    del _document_getters, _cls
del _sys



def _chromatogram_to_frame(self):
    """The chromatogram as a pandas.DataFrame with columns rt (seconds) and intensity, both
    float64, one row per selected scan. Needs pandas: pip install 'corvane[pandas]'."""
    return _meridel._frame("to_frame()", {"rt": self.rt, "intensity": self.intensity})


def _chromatogram_repr_html(self):
    """A short HTML table of the chromatogram for Jupyter: kind, scans, retention time
    range, the largest value and where it is."""
    import html
    rt, values = self.rt.tolist(), self.intensity.tolist()
    rows = [("kind", self.kind), ("scans", str(len(rt)))]
    if self.target is not None:
        rows.append(("target m/z", "%.4f" % self.target))
        rows.append(("window", "%.4f - %.4f" % tuple(self.window)))
    if rt:
        rows.append(("retention time", "%.3f - %.3f s" % (rt[0], rt[-1])))
        k = max(range(len(values)), key=lambda i: (values[i] == values[i], values[i]))
        rows.append(("largest", "%.6g at %.3f s" % (values[k], rt[k])))
    cells = "".join('<tr><th style="text-align:left">%s</th><td style="text-align:left">%s</td></tr>'
                    % (html.escape(name), html.escape(value)) for name, value in rows)
    return '<table class="meridel-chromatogram"><caption>meridel.Chromatogram</caption>%s</table>' % cells


Chromatogram.to_frame = _chromatogram_to_frame  # noqa: F405
Chromatogram._repr_html_ = _chromatogram_repr_html  # noqa: F405
_chromatogram_to_frame.__qualname__ = "Chromatogram.to_frame"
_chromatogram_repr_html.__qualname__ = "Chromatogram._repr_html_"
del _chromatogram_to_frame, _chromatogram_repr_html

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
