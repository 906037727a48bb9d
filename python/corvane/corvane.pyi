"""Type stubs for the `corvane` extension module."""
from typing import List, final

__all__ = ["RawReader", "Spectrum"]

@final
class RawReader:
    """An opened acquisition directory (run.d) with every scan decoded up front.

    Raises TypeError when path is not a str and RuntimeError with the reader's message
    when the acquisition cannot be opened.
    """

    def __new__(cls, path: str) -> "RawReader": ...
    @property
    def scan_count(self) -> int:
        """Number of scans; never 0 for a reader that opened."""
    def read_spectrum(self, scan_index: int) -> "Spectrum":
        """A new Spectrum for position scan_index (0-based; RuntimeError past the end,
        OverflowError when negative)."""

@final
class Spectrum:
    """One decoded scan: copies of its values, independent of the reader that made it.
    Not constructible from Python."""

    @property
    def mz(self) -> List[float]:
        """m/z values; a new list on every read."""
    @property
    def intensity(self) -> List[float]:
        """Intensities (32-bit values widened exactly); a new list on every read."""
    @property
    def ms_level(self) -> int: ...
    @property
    def retention_time_sec(self) -> float: ...
    def __len__(self) -> int:
        """Number of m/z values."""
