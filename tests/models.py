"""Models the test modules share: hypothesis strategies for real models
(chain_models) and for odd ones the real model cannot hold (list_models),
and a real model with null and tuple start codes."""

from hypothesis import strategies as st

from pavro.bag import ChainModel

from fakes import ListModel


def json_libraries():
    """The JSON libraries the module may bind, ujson first where installed."""
    import json
    try:
        import ujson
    except ImportError:
        return [json]
    return [ujson, json]


# Codes a model may use: start codes are strings or integers; follower
# elements also null and tuples of strings and integers.  Short strings
# are favoured: they are the ones that stand for themselves at high ranks.
# No NUL characters: the yajl2_cffi parser of ijson releases before 3.6
# (the newest ones for Python 3.7 to 3.9) cuts strings short at a NUL.
characters = st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00")
short_strings = st.one_of(st.sampled_from(["", "a", "\u00e9", '"', "\\", "/", "\x01"]),
                          st.text(characters, max_size=3))
start_codes = st.one_of(short_strings, st.integers(-10 ** 9, 10 ** 9))
element_codes = st.one_of(
    start_codes,
    st.none(),
    st.lists(st.one_of(st.text(characters, max_size=2), st.integers(-99, 99)),
             max_size=3).map(tuple),
)


@st.composite
def chain_models(draw):
    """Real models; some with so many codes that later ones rank past 10
    and 100, where short strings stand for themselves."""
    model = ChainModel()
    n_fillers = draw(st.sampled_from([0, 11, 120]))
    if n_fillers:
        # The fillers occur most, so the drawn codes rank behind them.
        fillers = ["f{}".format(i) for i in range(n_fillers)]
        for i in range(0, n_fillers, 4):
            model.add_to_bag("f", fillers[i:i + 4], count=1)
            model.add_to_bag(fillers[i], fillers[i:i + 4], count=2)
    starts = draw(st.lists(start_codes, min_size=1, max_size=6, unique=True))
    elements = draw(st.lists(element_codes, max_size=8, unique=True)) + starts
    follower = st.lists(st.sampled_from(elements), max_size=4).map(tuple)
    for start in starts:
        choices = draw(st.lists(st.tuples(follower, st.integers(1, 10 ** 9)),
                                min_size=1, max_size=4, unique_by=lambda c: c[0]))
        for codes, count in choices:
            model.add_to_bag(start, codes, count=count)
    return model


def wide_start_model():
    # Starts the property above leaves out: null and (nested) tuples, which
    # a plain document writes as null and arrays in start position.
    model = ChainModel()
    model.add_to_bag(("t", 1), ["a", ("t", 1)], count=2)
    model.add_to_bag(None, [None, "a"], count=3)
    model.add_to_bag((), [()], count=1)
    model.add_to_bag(("u", ("v", 2)), ["a"], count=4)
    return model


# Codes the writers must handle alike: strings (escapes, non-ASCII, the
# empty string), integers, null and tuples of strings and integers.
scalar_codes = st.one_of(st.text(max_size=3), st.integers(-10 ** 6, 10 ** 6), st.none())
codes_strategy = st.one_of(
    scalar_codes,
    st.lists(st.one_of(st.text(max_size=2), st.integers(-99, 99)), max_size=3).map(tuple),
)


@st.composite
def list_models(draw):
    """Models with enough codes that some rank past 10 and 100."""
    n_fillers = draw(st.sampled_from([0, 3, 12, 104]))
    fillers = ["w{}".format(i) for i in range(n_fillers)]
    specials = draw(st.lists(codes_strategy, max_size=8, unique=True))
    vocab = fillers + [c for c in specials if c not in fillers]
    if not vocab:
        vocab = ["a"]
    starts = [c for c in vocab if isinstance(c, (str, int))] or ["a"]
    if starts == ["a"] and "a" not in vocab:
        vocab.append("a")
    # Fillers first and most frequent, so specials land behind them; ties
    # keep the mapping's order.
    frequencies = {code: 3 for code in fillers}
    for code in vocab[n_fillers:]:
        frequencies[code] = draw(st.integers(0, 3))
    follower = st.lists(st.sampled_from(vocab), max_size=4).map(tuple)
    choice = st.tuples(follower, st.integers(0, 10 ** 12))
    entries = draw(st.lists(st.tuples(st.sampled_from(starts), st.lists(choice, max_size=4)),
                            max_size=6))
    return ListModel(entries, frequencies)
