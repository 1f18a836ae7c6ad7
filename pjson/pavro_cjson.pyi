# Types of the native module.  The parameter kinds and defaults match what
# the functions bind at run time (stubtest checks them against the build).
#
# The models and files are protocols: any object with the methods the
# functions actually call type-checks, as it runs.  Parameters the module
# only hands on (codes, counts) are Any, since any value the JSON library
# can write or the parser can produce goes through.

from types import ModuleType
from typing import Any, Dict, Iterable, Protocol, Tuple, Union

from pavro.bag import ProbabilityBag

# The JSON library and the streaming parser the functions look up on every
# call; assigning another module here changes what they use.
json: ModuleType
ijson: ModuleType

__test__: Dict[str, Any]

# -- what the writers call ---------------------------------------------------

class _SavedBag(Protocol):
    # (follower, count) pairs; a follower is an iterable of codes.
    def choices(self) -> Iterable[Tuple[Iterable[Any], Any]]: ...

class _Frequencies(Protocol):
    # (code, occurrences) pairs, as dict.items() gives them.
    def items(self) -> Iterable[Tuple[Any, Any]]: ...

class _SavedChain(Protocol):
    def build_frequency_dict(self) -> _Frequencies: ...
    def items(self) -> Iterable[Tuple[Any, _SavedBag]]: ...

class _TextWriter(Protocol):
    def write(self, __text: str) -> object: ...

# -- what the readers call ---------------------------------------------------

class _LoadedChain(Protocol):
    # The follower may be a one-pass iterator (the streaming reader hands a
    # generator), so a model must not take it for a sequence.
    def clear(self) -> object: ...
    def add_to_bag(self, __start: Any, __follower: Iterable[Any], *, count: Any) -> object: ...

class _WholeLoadedChain(_LoadedChain, Protocol):
    # Replace mode fills a fresh ProbabilityBag per start code and hands it over.
    def set_bag(self, __start: Any, __bag: ProbabilityBag) -> object: ...

class _TextReader(Protocol):
    # Read whole; the JSON library takes text (or bytes).
    def read(self) -> Union[str, bytes]: ...

class _BinaryReader(Protocol):
    # Read in blocks by the incremental parser, which wants bytes.
    def read(self, __size: int) -> bytes: ...

# -- the four functions --------------------------------------------------------

def dump_json_small(chain: _SavedChain, file: _TextWriter, frequency_compress: bool = True) -> None: ...
def load_json_small(chain: _WholeLoadedChain, file: _TextReader, merge: bool = False) -> None: ...
def dump_json_big(chain: _SavedChain, file: _TextWriter, frequency_compress: bool = True) -> None: ...
def load_json_big(chain: _LoadedChain, file: _BinaryReader, merge: bool = False) -> None: ...
