"""Files as the command-line tool uses them: outputs that never replace a file
half-way, text read a piece at a time with the offset of any bad byte, and
the signals that end the tool.
"""

from __future__ import annotations

import codecs
import errno
import io
import os
import signal
import sys
import tempfile
from types import FrameType
from typing import BinaryIO, Callable, Iterator, List, Optional, TextIO, Tuple

STDIO = "-"
# Bytes of text read and decoded at a time.
TEXT_CHUNK = 1 << 20


class Failure(Exception):
    """A failure the user can act on; its message is printed as one line."""


class Stopped(BaseException):
    """A signal that ends the tool arrived; raised where the program was."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number

    @property
    def name(self) -> str:
        return signal.Signals(self.number).name


# SIGINT keeps Python's own KeyboardInterrupt; these two become Stopped.
ENDING_SIGNALS = [signal.SIGTERM] + ([signal.SIGHUP] if hasattr(signal, "SIGHUP") else [])


# Blocked while a temporary file is made or removed.
_STOPPING = set(ENDING_SIGNALS + [signal.SIGINT])


def _stop(number: int, frame: Optional[FrameType]) -> None:
    raise Stopped(number)


def ignore_ending_signals() -> None:
    """On the way out: a second signal must not cut the last words short."""
    for number in ENDING_SIGNALS + [signal.SIGINT]:
        signal.signal(number, signal.SIG_IGN)


def handle_ending_signals() -> None:
    """Make SIGTERM and SIGHUP raise Stopped, unless the caller chose to ignore them (nohup)."""
    for number in ENDING_SIGNALS:
        if signal.getsignal(number) is not signal.SIG_IGN:
            signal.signal(number, _stop)


def reason(error: BaseException) -> str:
    """What went wrong, in one line, for an error from a file or a reader."""
    if isinstance(error, UnicodeDecodeError):
        return "not UTF-8 text ({})".format(error.reason)
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    # Parser errors can run over several lines, the text around the fault.
    lines = str(error).strip().splitlines()
    name = type(error).__name__
    return "{}: {}".format(name, lines[0].strip()) if lines else name


def describe(path: str, output: bool = False) -> str:
    if path != STDIO:
        return path
    return "standard output" if output else "standard input"


# -- inputs -------------------------------------------------------------------


def input_size(path: str) -> int:
    """The size of the readable file `path` (0 for standard input), or a Failure saying why."""
    if path == STDIO:
        return 0
    try:
        size = os.stat(path).st_size
    except OSError as error:
        raise Failure("cannot read {}: {}".format(path, reason(error)))
    if os.path.isdir(path):
        raise Failure("cannot read {}: it is a directory".format(path))
    return size


def text_chunks(file: BinaryIO, name: str, start: int = 0, end: Optional[int] = None,
                moved: Callable[[int], None] = lambda done: None) -> Iterator[str]:
    """Decode the bytes `start` to `end` of `file` a chunk at a time.

    Invalid UTF-8 fails naming `name` and the offset of the first bad byte
    in the file, which a text file read through io cannot tell.
    """
    decoder = codecs.getincrementaldecoder("utf-8")()
    position = start
    while True:
        size = TEXT_CHUNK if end is None else min(TEXT_CHUNK, end - position)
        data = file.read(size) if size > 0 else b""
        pending = len(decoder.getstate()[0])
        try:
            text = decoder.decode(data, final=not data)
        except UnicodeDecodeError as error:
            offset = position - pending + error.start
            bad = error.object[error.start:error.start + 1]
            raise Failure("cannot read {}: not UTF-8 text: byte 0x{} at offset {} ({})".format(
                describe(name), bad.hex(), offset, error.reason))
        position += len(data)
        moved(position)
        if text:
            yield text
        if not data:
            return


def first_bad_utf8(path: str) -> Optional[str]:
    """Where the file `path` stops being UTF-8, in words, or None if it is UTF-8 throughout."""
    try:
        with open(path, "rb") as file:
            for _ in text_chunks(file, path):
                pass
    except Failure as failure:
        return str(failure).split(": ", 1)[1]
    except OSError:
        return None
    return None


# -- outputs ------------------------------------------------------------------


def _new_file_mode(path: str) -> int:
    # A replaced file keeps its permissions; a new one gets the usual ones,
    # not the owner-only ones of a temporary file.
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


class _Counting(io.TextIOBase):
    """Standard output as a UTF-8 text file that counts the bytes written."""

    def __init__(self, binary: BinaryIO) -> None:
        super().__init__()
        self._binary = binary
        self.size = 0

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        data = text.encode("utf-8", "surrogatepass")
        self._binary.write(data)
        self.size += len(data)
        return len(text)

    def flush(self) -> None:
        self._binary.flush()


class Output:
    """Where a document goes: a file that appears only once complete, or standard output.

    Entering creates the temporary file beside the final one, so that an
    output that cannot be written fails before any work; leaving without
    `commit()` (a failure, Ctrl-C, a signal) removes it.  An output that is
    a symbolic link replaces the file the link points to, and the link
    stays.
    """

    def __init__(self, path: str, force: bool) -> None:
        self.path = path
        self.force = force
        self.size = 0
        self._temporary: Optional[str] = None
        self._target = path

    @property
    def to_stdout(self) -> bool:
        return self.path == STDIO

    def _check(self) -> None:
        path = self.path
        if os.path.isdir(path):
            raise Failure("cannot write {}: it is a directory".format(path))
        if not self.force and os.path.lexists(path):
            raise Failure("{} exists; pass --force to replace it".format(path))
        if os.path.islink(path):
            try:
                os.stat(path)
            except OSError as error:
                if error.errno == errno.ELOOP:
                    raise Failure("cannot write {}: {}".format(path, reason(error)))
            self._target = os.path.realpath(path)
        directory = os.path.dirname(os.path.abspath(self._target))
        if not os.path.isdir(directory):
            raise Failure("cannot write {}: no directory {}".format(path, directory))

    def __enter__(self) -> Output:
        if self.to_stdout:
            return self
        self._check()
        directory, name = os.path.split(os.path.abspath(self._target))
        # A signal between the file's creation and the end of __enter__
        # would leave it, as no __exit__ follows: it waits until the file
        # is known, and unblocking it (which runs its handler) cleans up.
        signal.pthread_sigmask(signal.SIG_BLOCK, _STOPPING)
        try:
            descriptor, self._temporary = tempfile.mkstemp(
                prefix="." + name + ".", suffix=".tmp", dir=directory)
            os.close(descriptor)
        except OSError as error:
            raise Failure("cannot write {}: {}".format(self.path, reason(error)))
        finally:
            try:
                signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOPPING)
            except BaseException:
                self.__exit__()
                raise
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._temporary is None:
            return
        # A signal arriving now waits until the file is gone.
        signal.pthread_sigmask(signal.SIG_BLOCK, _STOPPING)
        try:
            _remove(self._temporary)
            self._temporary = None
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOPPING)

    def write(self, write: Callable[[TextIO], object]) -> None:
        """Call `write(file)` and put the result in place; the output is then complete."""
        if self.to_stdout:
            stream = _Counting(sys.stdout.buffer)
            sys.stdout.flush()
            write(stream)  # type: ignore[arg-type]  # a TextIOBase, as the writers need
            stream.flush()
            self.size = stream.size
            return
        assert self._temporary is not None, "write() outside the with block"
        temporary = self._temporary
        try:
            with io.open(temporary, "w", encoding="utf-8", newline="") as file:
                write(file)
                file.flush()
                os.fsync(file.fileno())
            os.chmod(temporary, _new_file_mode(self._target))
            # Checked again: the file may have appeared while we worked.
            if not self.force and os.path.lexists(self.path):
                raise Failure("{} exists; pass --force to replace it".format(self.path))
            self.size = os.path.getsize(temporary)
            os.replace(temporary, self._target)
            self._temporary = None
        except OSError as error:
            raise Failure("cannot write {}: {}".format(self.path, reason(error)))


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def pieces_of(paths: List[str], jobs: int) -> List[List[Tuple[str, int, Optional[int]]]]:
    """Split the texts `paths` into up to `jobs` shards of about equal size.

    A shard is a list of (path, start, end) pieces, in the order of the
    text; a file is cut only just after a sentence-ending character, where
    no word and no sentence can be split, so every shard reads as the same
    sentences as its part of the whole.  Standard input is one piece.
    """
    sizes = [0 if path == STDIO else os.path.getsize(path) for path in paths]
    wanted = max(1, -(-sum(sizes) // jobs))
    shards: List[List[Tuple[str, int, Optional[int]]]] = [[]]
    filled = 0
    for path, size in zip(paths, sizes):
        start = 0
        while True:
            if filled >= wanted and len(shards) < jobs:
                shards.append([])
                filled = 0
            room = wanted - filled
            cut = None
            if path != STDIO and size - start > room and len(shards) < jobs:
                cut = _sentence_end_after(path, start + room, size)
            if cut is None or cut >= size:
                shards[-1].append((path, start, None))
                filled += size - start
                break
            shards[-1].append((path, start, cut))
            shards.append([])
            start, filled = cut, 0
    return [shard for shard in shards if shard]


_SENTENCE_END_BYTES = (b".", b"!", b"?")


def _sentence_end_after(path: str, offset: int, size: int) -> Optional[int]:
    # '.', '!' and '?' never occur inside a UTF-8 multi-byte sequence, so a
    # cut after one of them is also a cut between characters.
    with open(path, "rb") as file:
        file.seek(offset)
        position = offset
        while position < size:
            data = file.read(1 << 16)
            if not data:
                return None
            found = [data.find(mark) for mark in _SENTENCE_END_BYTES]
            found = [index for index in found if index >= 0]
            if found:
                return position + min(found) + 1
            position += len(data)
    return None
