"""meridel.Buffer on PyPy.

PyPy lets go of a C-level buffer export (an extension type's bf_getbuffer) only in a
finalizer that runs after a major collection, and frees the exporting object, and with it
a spectrum's arrays, only in the major collection after that: iterating a run then needs a
full collection every few dozen spectra. So on PyPy a Buffer is this class, whose exports
are the interpreter's own read-only memoryviews of a _cffi_backend buffer at the values'
address. Such views, and the Buffers holding them, mostly die young and are freed by
minor collections. The extension keeps the owner of the values at an address for as long
as a weak reference kept here with that address says a cffi buffer over them, which every
view of it holds, is alive. It looks at the references of a scan's values now and then;
those of whole-run values (few, and large) call it back when they die. A spectrum's
Buffers are made here, called from its properties: PyPy calls C code cheaply but is
called from it slowly. (Nothing here hands the extension a tuple or list of new objects:
PyPy would keep every item of it alive for another collection.)
"""
import itertools
import weakref

import _cffi_backend
from __pypy__.bufferable import bufferable
from gc import collect_step as _collect_step

from meridel._meridel import _release_dead_exports, _spectrum_values

_char_pointer = _cffi_backend.new_pointer_type(_cffi_backend.new_primitive_type("char"))
_cast = _cffi_backend.cast
_bytes_at = _cffi_backend.buffer
_weak = weakref.ref
_new = bufferable.__new__
_set = object.__setattr__


class Buffer(bufferable):
    """A read-only run of numbers that C++ owns, shared without copying: memoryview(b),
    numpy.asarray(b) and array.array(b.format, b) all read the same memory. b[i] is one
    number (negative i from the end); b[a:b] a Buffer over the same memory; b[a:b:k] with
    a step other than 1 a read-only memoryview over it."""

    __slots__ = ("_view",)

    # The refusals of the extension's types, in CPython's words.
    def __new__(cls, *args, **kwargs):
        raise TypeError("cannot create 'meridel.Buffer' instances")

    def __init_subclass__(cls, **kwargs):
        raise TypeError("type 'meridel.Buffer' is not an acceptable base type")

    def __setattr__(self, name, value=None):
        if name in ("format", "itemsize", "nbytes"):
            raise AttributeError("attribute '%s' of 'meridel.Buffer' objects is not writable" % name)
        raise AttributeError("'meridel.Buffer' object has no attribute '%s'" % name)

    def __delattr__(self, name):
        self.__setattr__(name)

    def __buffer__(self, flags):
        if flags & 1:  # PyBUF_WRITABLE
            raise BufferError("meridel.Buffer is read-only")
        return self._view

    def __len__(self):
        return len(self._view)

    def __getitem__(self, i):
        if isinstance(i, slice):
            # A step of 1: a Buffer over the same memory; another step: a read-only
            # memoryview over it, as the extension's Buffer gives.
            part = self._view[i]
            if i.step is not None and i.step.__index__() != 1:
                return part
            buffer = _new(Buffer)
            _set(buffer, "_view", part)
            return buffer
        if not hasattr(type(i), "__index__"):
            raise TypeError("meridel.Buffer indices must be integers or slices, not %s" % type(i).__name__)
        try:
            return self._view[i]
        except IndexError:
            raise IndexError("meridel.Buffer index out of range") from None

    def __iter__(self):
        return iter(self._view)

    def __reduce__(self):
        raise TypeError("cannot pickle 'meridel.Buffer' object")

    def __repr__(self):
        return "<meridel.Buffer format='%s' len=%d>" % (self._view.format, len(self._view))

    def tolist(self):
        """The values as a new list of float or int."""
        return self._view.tolist()

    @property
    def format(self):
        """struct format of one item: 'd' (float64), 'f' (float32), 'Q' (uint64), 'I' (uint32) or 'q' (int64)"""
        return self._view.format

    @property
    def itemsize(self):
        """bytes per item: 8, or 4 for 'f' and 'I'"""
        return self._view.itemsize

    @property
    def nbytes(self):
        """bytes in all: len(self) * itemsize"""
        return self._view.nbytes


Buffer.__module__ = "meridel"


# serial number -> (address of the values, weak reference to the cffi buffer over them):
# those made since the last sweep, and those that lived through one. Most die before the
# next sweep; the others are kept apart and looked at every few sweeps, so that a sweep's
# work follows the new references, not every view still alive (a user may keep thousands
# of spectra). The serial numbers only tell references apart: two Buffers may show the
# same values.
_young = {}
_old = {}
_serials = itertools.count()
_unclaimed = []  # addresses the extension kept for a Buffer that was never made
_sweeps = 0
_look_at_old = False  # the next sweep looks at _old too


def _released(reference):
    # A whole run's values: looked for among the old references too, as they may have
    # lived through sweeps before they died.
    global _look_at_old
    _look_at_old = True
    _release_dead_exports()


def _make(address, nbytes, format, call_back):
    """A Buffer of the nbytes at address in the given format, whose values the extension
    keeps until the reference kept here dies (none for no bytes: nothing is kept)."""
    raw = _bytes_at(_cast(_char_pointer, address), nbytes)
    buffer = _new(Buffer)
    _set(buffer, "_view", memoryview(raw).cast(format).toreadonly())
    if nbytes:
        _young[next(_serials)] = (address, _weak(raw, _released) if call_back else _weak(raw))
    return buffer


def _spectrum_property(which, format, doc):
    """Spectrum.mz (which 0) or .intensity (1) as a property that makes its Buffer here."""
    itemsize = 8 if format == "d" else 4

    def values(spectrum):
        address = _spectrum_values(spectrum, which)
        try:
            return _make(address, len(spectrum) * itemsize, format, False)
        except BaseException:
            if len(spectrum):
                _unclaimed.append(address)
            raise

    return property(values, doc=doc)


def _sweep():
    """Removes the references whose object has died; returns their addresses."""
    global _sweeps, _look_at_old
    # By key, not by swapping containers: another thread may be adding to _young and
    # _unclaimed.
    dead = _unclaimed[:]
    del _unclaimed[: len(dead)]
    for serial, kept in list(_young.items()):
        del _young[serial]
        if kept[1]() is None:
            dead.append(kept[0])
        else:
            _old[serial] = kept
    _sweeps += 1
    if _sweeps % 8 == 0 or _look_at_old:
        _look_at_old = False
        for serial, kept in list(_old.items()):
            if kept[1]() is None:
                del _old[serial]
                dead.append(kept[0])
    return dead


class _Marker:
    __slots__ = ("__weakref__",)


def _minor():
    """Has the interpreter run a minor collection, without a step of a major one.

    gc.collect_step() would start a major collection, and while one is in progress every
    minor collection ends with a step of it: several times the cost of the minor one. A
    new object dies in the first minor collection, which comes when allocations have
    filled the nursery; so this allocates until a new object's weak reference is cleared.
    """
    marker = _weak(_Marker())
    for _ in range(1 << 14):  # 256 MiB, more than any nursery; then a step after all
        if marker() is None:
            return
        bytearray(16384)
    _collect_step()
