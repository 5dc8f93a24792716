"""Compose stimulation protocols and save them as .vexa files.

A protocol is built through `Protocol`, printed with ``str()`` and written
with `Protocol.save`. Units: session duration in seconds (0.01 to 1800.0),
intensity as a fraction of full scale (0.0 to 1.0), arbitrary signals at
5000 samples per second with samples from 0.0 to 1.0.

A violated precondition raises ``pyo3_runtime.PanicException`` whose text
states the failed condition. It derives from BaseException, not Exception
(like SystemExit), and is not an attribute of this module: catch it with
``except BaseException as e`` and test ``type(e).__name__ == "PanicException"``.
"""

from typing import Final, final

import numpy as np

__all__ = ["Protocol", "Channel", "Coil"]

@final
class Coil:
    """The four coil outputs: A1, A2 on channel A; B1, B2 on channel B.

    The four members are the only instances. They compare by identity (use
    ``is``), are always true and cannot serve as a sequence index.
    """

    A1: Final[Coil]
    A2: Final[Coil]
    B1: Final[Coil]
    B2: Final[Coil]
    def __int__(self) -> int:
        """The coil's number: A1 0, A2 1, B1 2, B2 3."""

@final
class Channel:
    """The two output channels, A and B.

    The two members are the only instances. They compare by identity (use
    ``is``), are always true and cannot serve as a sequence index.
    """

    A: Final[Channel]
    B: Final[Channel]
    def __int__(self) -> int:
        """The channel's number: A 0, B 1."""

# A one-dimensional float64 array: fractions from 0.0 to 1.0, one per sample.
_SampleArray = np.ndarray[tuple[int], np.dtype[np.float64]]

@final
class Protocol:
    """A stimulation protocol for a two-channel, four-coil machine.

    A new protocol has the default machine description, intensity 0.0, a
    60.0 s session, channel A enabled, channel B disabled and no signals.

    Signals are addressed by index: each add_*_signal method returns the
    next index (0, 1, 2, ...), which never changes. Indices given to the
    source setters and to add_mixed_signal are stored unchecked, so they may
    name a signal added later or none at all; ``vexafile check`` finds bad
    ones in a saved file.

    Every method checks, in this order: the argument list (TypeError); that
    no other call on this protocol is running (RuntimeError); each argument
    from left to right (TypeError "argument '<name>': <reason>", or the
    interpreter's OverflowError for an index below 0 or of 2**64 and more);
    then its own preconditions (PanicException, with the failed condition as
    its text). After a failure the protocol is unchanged (save excepted, see
    there) and usable.
    """

    def __new__(cls) -> Protocol:
        """A new protocol with the default settings and no signals.

        The environment variable VEXA_TARGET_MACHINE is read now: set to
        any value, the protocol records that it was composed on the machine.

        Raises:
            TypeError("Protocol.__new__() takes 0 positional arguments but 1 was given"):
                an argument was given; keywords are refused likewise.
        """

    def set_stimulation_intensity(self, intensity: float) -> None:
        """Set the stimulation intensity, a fraction of full scale.

        Args:
            intensity: 0.0 to 1.0 inclusive; a float, an int, or an object
                with __float__ or __index__ (not a str).

        Raises:
            TypeError: not convertible to float ("argument 'intensity': ...").
            RuntimeError("Already borrowed"): called while another call on
                this protocol converts its arguments.
            PanicException("assertion failed: intensity >= 0.0 && intensity <= 1.0"):
                below 0.0, above 1.0 or NaN; nothing is stored.
        """

    def set_session_duration(self, duration: float) -> None:
        """Set the session length in seconds.

        It fixes the sample count of arbitrary signals added afterwards
        (get_num_samples); arbitrary signals added before keep theirs.

        Args:
            duration: seconds, 0.01 to 1800.0 inclusive.

        Raises:
            TypeError: not convertible to float ("argument 'duration': ...").
            RuntimeError("Already borrowed"): called while another call on
                this protocol converts its arguments.
            PanicException("assertion failed: duration <= config::MAX_SESSION_DURATION"):
                above 1800.0, +inf or NaN (tested first).
            PanicException("assertion failed: duration >= 0.01"): below 0.01
                or -inf.
        """

    def enable_channel(self, channel: Channel) -> None:
        """Switch a channel on (channel A is on already; nothing switches one off).

        Args:
            channel: Channel.A or Channel.B.

        Raises:
            TypeError("argument 'channel': 'int' object cannot be cast as 'Channel'"):
                channel is not a Channel (here an int).
            RuntimeError("Already borrowed"): called while another call on
                this protocol converts its arguments.
        """

    def set_amplitude_source(self, coil: Coil, index: int, external: bool | np.bool_ = False) -> None:
        """Choose the signal that drives a coil's amplitude.

        external=False stores signal `index` and clears the external input
        number; external=True stores external input `index` and clears the
        signal index. The last call for a coil wins. The index is stored
        unchecked (vexafile check finds bad ones).

        Args:
            coil: Coil.A1, Coil.A2 (channel A), Coil.B1, Coil.B2 (channel B).
            index: a signal index or external input number, 0 to 2**64 - 1.
            external: exactly a bool or a NumPy bool; 0 and 1 are refused.

        Raises:
            TypeError("argument 'coil': 'Channel' object cannot be cast as 'Coil'"):
                coil is not a Coil.
            TypeError("argument 'external': 'int' object cannot be cast as 'bool'"):
                external is not a bool.
            OverflowError: index below 0 or 2**64 and more (a non-int index
                is a TypeError "argument 'index': ...").
            RuntimeError("Already borrowed"): called while another call on
                this protocol converts its arguments.
        """

    def set_modulation_source(self, channel: Channel, index: int, external: bool | np.bool_ = False) -> None:
        """Choose the signal that drives a channel's modulation.

        Works as set_amplitude_source does for a coil: the last call for a
        channel wins, and the index is stored unchecked.

        Args:
            channel: Channel.A or Channel.B.
            index: with external=False a signal index, with external=True an
                external input number; 0 to 2**64 - 1. The other is cleared.
            external: exactly a bool or a NumPy bool (not 0 or 1).

        Raises:
            TypeError("argument 'channel': 'Coil' object cannot be cast as 'Channel'"):
                channel is not a Channel.
            OverflowError: index below 0 or 2**64 and more; a non-int index
                is a TypeError "argument 'index': ...".
            RuntimeError("Already borrowed"): called while another call on
                this protocol converts its arguments.
        """

    def add_constant_signal(self, value: float) -> int:
        """Append a constant signal.

        Args:
            value: stored as given (no range; NaN and infinities kept).

        Returns:
            The new signal's index.

        Raises:
            TypeError: not convertible to float ("argument 'value': ...").
            RuntimeError("Already borrowed"): called while another call on
                this protocol converts its arguments.
        """

    def add_sine_signal(self, amplitude: float, frequency: float, phase: float = 0.0, depth: float = 1.0) -> int:
        """Append a sine signal.

        The four values are stored as given (NaN and infinities too); the
        machine that runs the protocol gives them their units. Passing None
        is not an omission: it fails conversion.

        Args:
            amplitude: required.
            frequency: required.
            phase: default 0.0.
            depth: default 1.0.

        Returns:
            The new signal's index.

        Raises:
            TypeError: an argument not convertible to float
                ("argument 'phase': ..." and so on); nothing is appended.
            RuntimeError("Already borrowed"): called while another call on
                this protocol converts its arguments.
        """

    def add_ramp_signal(self, peak: float, up_duration: float, down_duration: float) -> int:
        """Append a ramp signal: up to `peak`, then back down.

        The three values are stored as given (negative ones too); the
        machine that runs the protocol gives them their units.

        Args:
            peak: the highest value.
            up_duration: length of the rise.
            down_duration: length of the fall.

        Returns:
            The new signal's index.

        Raises:
            TypeError: an argument not convertible to float
                ("argument 'peak': ..." and so on); nothing is appended.
            RuntimeError("Already borrowed"): called while another call on
                this protocol converts its arguments.
        """

    def add_mixed_signal(self, a_idx: int, b_idx: int) -> int:
        """Append a mix of two signals given by index.

        The indices are stored unchecked: they may name a signal added
        later, the new signal itself, or none (vexafile check finds bad ones).

        Args:
            a_idx: first signal's index, 0 to 2**64 - 1.
            b_idx: second signal's index, 0 to 2**64 - 1.

        Returns:
            The new signal's index.

        Raises:
            TypeError: an index that is not an int ("argument 'a_idx': ...").
            OverflowError: an index below 0 or 2**64 and more.
            RuntimeError("Already borrowed"): called while another call on
                this protocol converts its arguments.
        """

    def add_arbitrary_signal(self, samples: _SampleArray) -> int:
        """Append a signal given sample by sample, 5000 samples per second.

        Sample s is stored as round(s * 32767.0), halves away from zero
        (0.5 becomes 16384). The array is read in place, in index order.

        Args:
            samples: a one-dimensional float64 NumPy array in native byte
                order, any stride (views, read-only and broadcast arrays
                do), holding exactly get_num_samples() values, that is
                ceil(session duration * 5000.0), each 0.0 to 1.0.

        Returns:
            The new signal's index.

        Raises:
            (in the order checked)
            RuntimeError("Already borrowed"): called while another call on
                this protocol converts its arguments.
            PanicException: NumPy cannot be imported; the text begins
                "Failed to access NumPy array API capsule".
            TypeError("argument 'samples': 'list' object cannot be cast as 'ndarray'"):
                not an ndarray; an ndarray of the wrong dimensions, dtype or
                byte order reads "'ndarray' object cannot be cast as 'ndarray'".
            PanicException("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"):
                another extension module holds the array for writing.
            PanicException("assertion failed: samples.len() == self.get_num_samples()"):
                wrong length (tested before any sample).
            PanicException("assertion failed: *sample >= 0.0"): the first
                bad sample is below 0.0 or NaN.
            PanicException("assertion failed: *sample <= 1.0"): the first
                bad sample is above 1.0.
        """

    def get_num_samples(self) -> int:
        """Samples an arbitrary signal needs now: ceil(session duration * 5000.0).

        The product is taken in double precision: 60.0 s gives 300000,
        0.1 s 500, but 0.07 s 351. From 50 (0.01 s) to 9000000 (1800.0 s).

        Raises:
            RuntimeError("Already borrowed"): called while another call on
                this protocol converts its arguments.
        """

    def get_sampling_rate(self) -> float:
        """Samples per second of arbitrary signals: always 5000.0.

        Raises:
            RuntimeError("Already mutably borrowed"): called while another
                call on this protocol converts its arguments.
        """

    def save(self, filepath: str) -> None:
        """Write the protocol to a .vexa file (postcard encoding, no header).

        In order: checks the suffix; puts one constant 0.0 signal into an
        empty signal list (it stays on the protocol, so the next signal
        appended gets index 1); encodes everything in memory; only then
        creates the file (mode 0666 less the umask) or truncates it, and
        writes it whole. Contents are not validated. Saving twice writes
        identical bytes. There is no fsync.

        Args:
            filepath: a str ending in ".vexa" (case-sensitive), used as
                given: no "~" expansion, no suffix added.

        Raises:
            TypeError("argument 'filepath': 'bytes' object cannot be cast as 'str'"):
                not a str; a pathlib.Path is refused too (pass str(path)).
            RuntimeError("Already borrowed"): called while another call on
                this protocol converts its arguments.
            PanicException('assertion failed: filepath.ends_with(".vexa")'):
                wrong suffix; nothing changes, no file is touched.
            PanicException('called `Result::unwrap()` on an `Err` value: Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'):
                a NUL in the name; no file is created.
            PanicException('called `Result::unwrap()` on an `Err` value: Os { code: 2, kind: NotFound, message: "No such file or directory" }'):
                the directory is missing. Other file errors read alike with
                their own code, kind and text (IsADirectory,
                PermissionDenied, StorageFull, ...); when a write fails the
                file keeps what was written before.
        """

    def __str__(self) -> str:
        """The whole protocol as indented text, four blanks per level.

        Fields appear in file order; vexafile.to_text of the saved file
        gives the same text.

        Raises:
            RuntimeError("Already mutably borrowed"): called while another
                call on this protocol converts its arguments.
        """
