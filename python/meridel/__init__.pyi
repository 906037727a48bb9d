"""Type stubs for the `meridel` extension module."""
import datetime
import os
from typing import (Any, Dict, Iterator, List, Literal, NamedTuple, Optional, Sequence, Tuple, Union, final,
                    SupportsFloat, SupportsIndex, overload)

__all__ = ["Acquisition", "Buffer", "Chromatogram", "DamagedDataWarning", "FormatError", "Instrument",
           "Precursor", "PrecursorEvidence", "RunArrays", "Salvage", "Spectrum", "open"]

__version__: str

_Path = Union[str, "os.PathLike[str]"]
# Integers: anything with __index__ (NumPy's integer scalars too); real numbers: anything
# float() takes as a number (NumPy's scalars, Decimal, Fraction), never text.
_Int = SupportsIndex
_Real = Union[SupportsFloat, SupportsIndex]
_Range = Tuple[_Real, _Real]
_Member = Literal["msn_value_1", "msn_value_2"]

class FormatError(ValueError):
    """The acquisition's contents are at fault (a damaged or unknown index, a file cut short)."""

class DamagedDataWarning(UserWarning):
    """A call's result includes scans whose data could not be read or decoded (they hold no
    points; Spectrum.error says why), or open(salvage=True) dropped the cut end of the scan
    index. One warning per call, naming the count and the first error."""

class Salvage(NamedTuple):
    """What open(path, salvage=True) left out of a scan index cut inside a record."""
    bytes_dropped: int             # the incomplete record's bytes at the end of MSScan.bin
    records_dropped: int           # records those bytes began (1)
    records_kept: int              # complete records read
    record_stride: int             # the record layout's size in bytes

class Instrument(NamedTuple):
    accession: str
    name: str

class Precursor(NamedTuple):
    """A fragment scan's precursor. The first three are the index's values under the names
    the index gives them; the others are None unless the acquisition was opened with
    precursor_mz (see meridel.open)."""
    msn_value_1: Optional[float]
    msn_value_2: Optional[float]
    reference: Optional[str]
    mz: Optional[float] = None              # the declared member's value; None when unusable
    charge: Optional[int] = None            # from the MS1 isotope envelope, when it decides
    monoisotopic_mz: Optional[float] = None  # likewise
    envelope_scan: Optional[str] = None     # native id of the MS1 scan the envelope was read from

class PrecursorEvidence(NamedTuple):
    """How well one member's values match a centroid of the MS1 scan before each fragment
    scan (Acquisition.precursor_evidence)."""
    member: str                         # "msn_value_1" or "msn_value_2"
    fragment_scans: int                 # scans of MS level 2 and above
    with_value: int                     # of them, with a usable value in the member
    with_ms1: int                       # of those, with an earlier MS1 scan that decoded
    matched: int                        # of those, with a centroid within the tolerance
    share: float                        # matched / fragment_scans
    median_error_ppm: Optional[float]   # signed, of the matched scans; None when none matched

class Chromatogram(NamedTuple):
    kind: str                      # "tic", "bpc" or "xic"
    rt: "Buffer"                   # 'd', seconds
    intensity: "Buffer"            # 'd'; 0.0 for a scan without points in the window
    target: Optional[float]        # xic only
    window: Optional[_Range]       # xic only: (low, high)

    def to_frame(self) -> Any:
        """pandas.DataFrame with columns rt and intensity (float64), one row per scan
        (needs pandas: pip install 'corvane[pandas]')."""
    def _repr_html_(self) -> str: ...

class RunArrays(NamedTuple):
    offsets: "Buffer"              # 'Q', one more than scans
    mz: "Buffer"                   # 'd'
    intensity: "Buffer"            # 'f'
    scan_index: "Buffer"           # 'Q'

@final
class Buffer:
    """A read-only run of numbers shared without copying (PEP 3118): memoryview(b),
    numpy.asarray(b) and array.array(b.format, b) read the same memory."""

    @property
    def format(self) -> str:
        """'d', 'f', 'Q', 'I' or 'q'."""
    @property
    def itemsize(self) -> int: ...
    @property
    def nbytes(self) -> int: ...
    def tolist(self) -> List[Any]: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Any]: ...
    @overload
    def __getitem__(self, index: int) -> Any: ...
    @overload
    def __getitem__(self, index: slice) -> Union["Buffer", memoryview]:
        """A slice with step 1 is a Buffer over the same memory; another step gives a
        read-only memoryview over it."""
    def __array__(self, dtype: Any = None, copy: Optional[bool] = None) -> Any: ...

@final
class Spectrum:
    """One decoded scan; from an Acquisition only. Pickles by value."""

    @property
    def index(self) -> int: ...
    @property
    def native_id(self) -> str: ...
    @property
    def scan_id(self) -> int: ...
    @property
    def ms_level(self) -> int: ...
    @property
    def retention_time_sec(self) -> float: ...
    @property
    def mz_first(self) -> Optional[float]: ...
    @property
    def mz_last(self) -> Optional[float]: ...
    @property
    def precursor(self) -> Optional[Precursor]: ...
    @property
    def is_profile(self) -> bool: ...
    @property
    def instrument_kind(self) -> int: ...
    @property
    def error(self) -> Optional[str]:
        """None, or why the spectrum has no points: the text of the failure to read or
        decode its data block."""
    @property
    def mz(self) -> Buffer:
        """m/z values ('d'), sharing the spectrum's memory."""
    @property
    def intensity(self) -> Buffer:
        """Intensities ('f'), sharing the spectrum's memory."""
    def __len__(self) -> int: ...
    def to_frame(self) -> Any:
        """pandas.DataFrame with columns mz (float64) and intensity (float32), one row per
        point (needs pandas: pip install 'corvane[pandas]')."""
    def _repr_html_(self) -> str: ...
    def centroid(self) -> "Spectrum":
        """The spectrum with its profile points picked into centroid peaks (a new Spectrum,
        is_profile False), as iter(centroid=True) gives it; itself when it is not profile
        data. Runs with the interpreter lock released."""

@final
class Acquisition:
    """An opened acquisition directory; from meridel.open() only. A context manager;
    after close() every data call raises ValueError. Pickles by path."""

    @property
    def path(self) -> str: ...
    @property
    def source_name(self) -> str: ...
    @property
    def instrument(self) -> Instrument: ...
    @property
    def acquired_time(self) -> Optional[str]: ...
    @property
    def acquired_datetime(self) -> Optional[datetime.datetime]: ...
    @property
    def precursor_mz(self) -> Optional[_Member]:
        """The member declared to hold the precursor m/z with open(), or None."""
    @property
    def salvaged(self) -> Optional[Salvage]:
        """What open(path, salvage=True) dropped from a cut scan index; None when nothing was."""
    def _repr_html_(self) -> str: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> Spectrum: ...
    def __iter__(self) -> "_SpectrumIterator": ...
    def __enter__(self) -> "Acquisition": ...
    def __exit__(self, *exc_info: Any) -> bool: ...
    def by_scan_id(self, scan_id: _Int) -> Spectrum: ...
    def nearest(self, rt_seconds: _Real, ms_level: Optional[_Int] = None) -> Spectrum: ...
    def scans(self, decode: bool = False,
              threads: Optional[_Int] = None) -> Dict[str, Union[Buffer, List[Optional[str]]]]:
        """The index as columns. "error": what the index and the files' sizes prove
        (a block past the end of its file, a missing file); every spectrum's error
        when decode is true (decodes the whole run)."""
    def scans_frame(self, decode: bool = False, threads: Optional[_Int] = None) -> Any:
        """pandas.DataFrame of the scans() columns (needs pandas)."""
    def iter(self, ms_level: Optional[_Int] = None, rt_range: Optional[_Range] = None,
             threads: Optional[_Int] = None, centroid: bool = False) -> "_SpectrumIterator":
        """The selected spectra in scan order, decoded ahead on `threads` threads (None: the
        machine's cores, at most 4). Its threads go when it is exhausted, closed, its
        acquisition closed, or it is collected; use it as a context manager on PyPy.
        centroid: profile scans come as centroid peaks, picked on the decoding threads."""
    def arrays(self, ms_level: Optional[_Int] = None, rt_range: Optional[_Range] = None,
               threads: Optional[_Int] = None, centroid: bool = False) -> RunArrays: ...
    def tic(self, ms_level: Optional[_Int] = 1, rt_range: Optional[_Range] = None,
            threads: Optional[_Int] = None) -> Chromatogram: ...
    def bpc(self, ms_level: Optional[_Int] = 1, rt_range: Optional[_Range] = None,
            threads: Optional[_Int] = None) -> Chromatogram: ...
    def xic(self, targets: Union[_Real, Sequence[_Real]], ppm: Optional[_Real] = None,
            da: Optional[_Real] = None, ms_level: Optional[_Int] = 1, rt_range: Optional[_Range] = None,
            threads: Optional[_Int] = None) -> List[Chromatogram]: ...
    def precursor_evidence(self, ppm: _Real = 10, threads: Optional[_Int] = None) -> List[PrecursorEvidence]:
        """For each member that may hold the precursor m/z, how many fragment scans have a
        value there matching a centroid of the MS1 scan before them within ppm, and the
        median error. Declare the member that matches with open(path, precursor_mz=...)."""
    def report(self, path: _Path, threads: Optional[_Int] = None) -> None: ...
    def to_mzml(self, path: _Path, compression: Optional[str] = "zlib", index: bool = True,
                threads: Optional[_Int] = None, overwrite: bool = False, centroid: bool = False,
                ms_level: Optional[_Int] = None, rt_range: Optional[_Range] = None,
                top_n: Optional[_Int] = None, min_intensity: Optional[_Real] = None) -> None:
        """Writes the run as an mzML 1.1 file, as corvane-convert does (temporary file,
        atomic rename; never replaces a file unless overwrite, never writes into the
        acquisition). compression: "zlib", "numpress" (lossy MS-Numpress, then zlib) or
        None. centroid: profile scans as centroid peaks; ms_level and rt_range select
        scans; top_n and min_intensity keep each spectrum's most intense points. The
        precursor member declared with open() is written as the selected ion. The file is
        the same for every thread count. The interpreter lock is released."""
    def to_mgf(self, path: _Path, centroid: bool = False, ms_level: Optional[_Int] = None,
               rt_range: Optional[_Range] = None, top_n: Optional[_Int] = None,
               min_intensity: Optional[_Real] = None, threads: Optional[_Int] = None,
               overwrite: bool = False) -> None:
        """Writes the fragment scans as an MGF file, under the same file rules as to_mzml().
        Needs the precursor member declared with open(): ValueError otherwise, and nothing
        is written. Fragment scans without a usable precursor m/z, or whose data could not
        be read, are left out, with a UserWarning naming them."""
    def close(self) -> None:
        """Releases the run and stops every iterator's decoding; later calls raise ValueError."""

@final
class _SpectrumIterator(Iterator[Spectrum]):
    """meridel.SpectrumIterator: what Acquisition.iter() and iter(acquisition) return."""
    def __iter__(self) -> "_SpectrumIterator": ...
    def __next__(self) -> Spectrum: ...
    def __length_hint__(self) -> int: ...
    def __enter__(self) -> "_SpectrumIterator": ...
    def __exit__(self, *exc_info: Any) -> bool: ...
    def close(self) -> None:
        """Ends the iteration (StopIteration from then on) and lets its threads go."""

def open(path: _Path, precursor_mz: Optional[_Member] = None, salvage: bool = False) -> Acquisition:
    """Opens the acquisition directory at path (str or os.PathLike). precursor_mz: the
    member of the index that holds a fragment scan's precursor m/z ("msn_value_1" or
    "msn_value_2"); None keeps to the index's values. salvage: read a scan index cut inside
    a record, dropping the cut end with a DamagedDataWarning (acq.salvaged says what).
    FileNotFoundError when nothing is at path or it has no AcqData, NotADirectoryError for
    a file."""
