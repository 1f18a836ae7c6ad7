"""How users' own models and files meet pavro_cjson's stub, checked by
the types session of noxfile.py with mypy --strict (never run, never collected).

Each call mypy must reject carries "# type: ignore[arg-type]"; --strict
warns about an ignore that is no longer needed, so a stub that grows too
lax fails here, and one that grows too strict fails on the calls above.
"""

import gzip
import io
import json
import sys
from typing import Dict, Iterable, Iterator, List, Tuple

import pavro_cjson
from pavro import ChainModel


class OwnBag:
    def __init__(self) -> None:
        self.pairs: Dict[Tuple[str, ...], int] = {}

    def choices(self) -> Iterator[Tuple[Tuple[str, ...], int]]:
        return iter(self.pairs.items())


class OwnModel:
    """A model of the user's own, typed as its author would."""

    def __init__(self) -> None:
        self.bags: Dict[str, OwnBag] = {}

    def build_frequency_dict(self) -> Dict[str, int]:
        return {}

    def items(self) -> Iterable[Tuple[str, OwnBag]]:
        return self.bags.items()

    def clear(self) -> None:
        self.bags.clear()

    def add_to_bag(self, start: str, follower: Iterable[str], count: int = 1) -> None:
        bag = self.bags.setdefault(start, OwnBag())
        key = tuple(follower)
        bag.pairs[key] = bag.pairs.get(key, 0) + count


class UntypedModel:
    def build_frequency_dict(self):  # type: ignore[no-untyped-def]
        return {}

    def items(self):  # type: ignore[no-untyped-def]
        return []


class ListFollowerModel(OwnModel):
    # Wrong: the streaming reader hands a generator, not a list.
    def add_to_bag(  # type: ignore[override]
        self, start: str, follower: List[str], count: int = 1
    ) -> None:
        pass


def accepted() -> None:
    model = OwnModel()
    pavro_cjson.dump_json_big(model, sys.stdout)
    pavro_cjson.dump_json_small(model, io.StringIO(), frequency_compress=False)
    pavro_cjson.dump_json_small(UntypedModel(), io.StringIO())
    pavro_cjson.load_json_big(model, io.BytesIO(b"{}"))
    pavro_cjson.load_json_big(model, gzip.open("model.json.gz"), merge=True)
    with open("model.json", "rb") as binary:
        pavro_cjson.load_json_small(ChainModel(), binary)
    with gzip.open("model.json.gz", "rt") as text:
        pavro_cjson.load_json_small(ChainModel(), text, merge=True)
    with open("model.json", "w") as out:
        pavro_cjson.dump_json_big(ChainModel(), out)
    pavro_cjson.json = json


def rejected() -> None:
    # No set_bag, which load_json_small's replace mode calls.
    pavro_cjson.load_json_small(OwnModel(), io.StringIO())  # type: ignore[arg-type]
    with open("model.json") as text:
        pavro_cjson.load_json_big(ChainModel(), text)  # type: ignore[arg-type]
    pavro_cjson.load_json_big(ListFollowerModel(), io.BytesIO())  # type: ignore[arg-type]
    pavro_cjson.dump_json_big(ChainModel(), io.BytesIO())  # type: ignore[arg-type]
    pavro_cjson.dump_json_big(ChainModel(), "model.json")  # type: ignore[arg-type]
    pavro_cjson.dump_json_small(ChainModel(), io.StringIO(), compress=1)  # type: ignore[call-arg]
