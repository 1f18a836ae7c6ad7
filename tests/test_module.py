"""The module frame: what importing binds, how the functions take their
arguments, and what a failed call or a failed import leaves behind."""

import collections
import ctypes
import functools
import inspect
import io
import json as std_json
import math
import os
import shutil
import subprocess
import sys
import textwrap
import traceback

import pytest

import _pavro_model
import pavro.bag
import pavro_cjson

from fakes import RecordingChain, RecordingFile

WRITERS = ["dump_json_small", "dump_json_big"]
READERS = ["load_json_small", "load_json_big"]
FUNCTIONS = WRITERS + READERS
THIRD = {
    "dump_json_small": "frequency_compress",
    "dump_json_big": "frequency_compress",
    "load_json_small": "merge",
    "load_json_big": "merge",
}
EMPTY_DOCUMENT = '{"codes":[],"chain":[]}'


def pjson_entries(exc):
    """Names of the traceback entries the module added, outermost first."""
    return [
        frame.f_code.co_name
        for frame, _ in traceback.walk_tb(exc.__traceback__)
        if frame.f_code.co_filename == "pjson"
    ]


def run_python(code, tmp_path, *options, path=()):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    env = dict(os.environ)
    env.pop("PYTHONWARNINGS", None)
    if path:
        env["PYTHONPATH"] = os.pathsep.join(str(p) for p in path)
    else:
        env.pop("PYTHONPATH", None)
    return subprocess.run(
        [sys.executable] + list(options) + ["-c", textwrap.dedent(code)],
        cwd=str(tmp_path),
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )


def report(code, tmp_path, *options, path=()):
    """Runs `code`, which prints one JSON value last, and returns that value."""
    done = run_python(code, tmp_path, *options, path=path)
    assert done.returncode == 0, done.stderr
    return std_json.loads(done.stdout.splitlines()[-1])


# ---------------------------------------------------------------------------
# What importing binds
# ---------------------------------------------------------------------------


def test_collaborators_are_bound_to_the_preferred_modules():
    ujson = pytest.importorskip("ujson")
    yajl2_cffi = pytest.importorskip("ijson.backends.yajl2_cffi")
    import ijson

    assert pavro_cjson.json is ujson
    assert pavro_cjson.ijson is yajl2_cffi
    assert pavro_cjson.math is math
    assert pavro_cjson.OrderedDict is collections.OrderedDict
    assert pavro_cjson.ObjectBuilder is ijson.ObjectBuilder
    assert pavro_cjson.ProbabilityBag is pavro.bag.ProbabilityBag


def test_test_marker_is_a_fresh_empty_dict():
    assert type(pavro_cjson.__test__) is dict
    assert pavro_cjson.__test__ == {}


def test_module_has_no_docstring_and_only_its_own_names(tmp_path):
    # In a fresh interpreter: other tests delete and restore names, which
    # moves them to the end of the module's dictionary.
    own = report("""
        import json, pavro_cjson
        assert pavro_cjson.__doc__ is None
        print(json.dumps([n for n in vars(pavro_cjson) if not n.startswith("__")]))
    """, tmp_path)
    assert own == [
        "json", "math", "OrderedDict", "ObjectBuilder", "ProbabilityBag", "ijson",
        "dump_json_small", "load_json_small", "dump_json_big", "load_json_big",
    ]


def test_names_bound_before_pavro_bag_is_imported(tmp_path):
    # A stand-in pavro.bag looks at the module while it is being made: the
    # names bound before ProbabilityBag must already be there, the later
    # ones not yet.
    package = tmp_path / "fake" / "pavro"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / "bag.py").write_text(textwrap.dedent("""
        import sys
        SEEN = [n for n in vars(sys.modules["pavro_cjson"]) if not n.startswith("__")]
        class ProbabilityBag:
            pass
    """))
    seen = report("""
        import json, pavro_cjson, pavro.bag
        print(json.dumps(pavro.bag.SEEN))
    """, tmp_path, path=[tmp_path / "fake"])
    assert seen == ["json", "math", "OrderedDict", "ObjectBuilder"]


@pytest.mark.parametrize("blocked, name, expected", [
    ("ujson", "json", "json"),
    ("ijson.backends.yajl2_cffi", "ijson", "ijson"),
])
def test_fallback_when_preferred_module_cannot_be_imported(tmp_path, blocked, name, expected):
    bound = report("""
        import json, sys
        sys.modules[{blocked!r}] = None
        import pavro_cjson
        print(json.dumps(getattr(pavro_cjson, {name!r}).__name__))
    """.format(blocked=blocked, name=name), tmp_path)
    assert bound == expected


def test_fallback_json_library_still_saves_and_loads(tmp_path):
    result = report("""
        import io, json, sys
        sys.modules["ujson"] = None
        import pavro_cjson
        from pavro.bag import ChainModel
        model = ChainModel.from_sequences([["a", "b", "a", "c"]])
        out = io.StringIO()
        pavro_cjson.dump_json_small(model, out)
        loaded = ChainModel()
        pavro_cjson.load_json_small(loaded, io.StringIO(out.getvalue()))
        print(json.dumps([out.getvalue(), loaded == model]))
    """, tmp_path)
    text, same = result
    assert ", " in text and same


# ---------------------------------------------------------------------------
# Failed imports
# ---------------------------------------------------------------------------

FAILED_IMPORT = """
    import json, sys, traceback
    {prepare}
    try:
        import pavro_cjson
    except BaseException as exc:
        entries = [(f.f_code.co_name, f.f_code.co_filename)
                   for f, _ in traceback.walk_tb(exc.__traceback__)]
        outcome = [type(exc).__name__, str(exc), entries, "pavro_cjson" in sys.modules]
    else:
        outcome = None
    {retry}
    print(json.dumps(outcome))
"""


SYS_MODULES_COLLIDER = (
    "K = type('K', (), {{'n': 0, '__hash__': lambda s: hash('pavro_cjson'), "
    "'__eq__': lambda s, o: sys._getframe(1).f_code.co_name == '_call_with_frames_removed' "
    "and (setattr(K, 'n', K.n + 1) or K.n >= {}) and 1 / 0}}); sys.modules[K()] = None")


@pytest.mark.parametrize("prepare, kind, message", [
    ("import pavro.bag; del pavro.bag.ProbabilityBag",
     "ImportError", "cannot import name ProbabilityBag"),
    ("import ijson; del ijson.ObjectBuilder", "ImportError", "cannot import name ObjectBuilder"),
    ("sys.modules['pavro.bag'] = None", "ModuleNotFoundError", None),
    ("sys.modules['ijson'] = None", "ModuleNotFoundError", None),
    ("sys.modules['math'] = None", "ModuleNotFoundError", None),
    ("import collections; del collections.OrderedDict",
     "ImportError", "cannot import name OrderedDict"),
    # Not an ImportError, so no fallback to the package's own parser.
    ("import types, ijson; broken = types.ModuleType('ijson.backends'); broken.__path__ = []; "
     "broken.__getattr__ = lambda name: 1 / 0; sys.modules['ijson.backends'] = broken",
     "ZeroDivisionError", None),
    # The module is in sys.modules while its body runs, so code run by an
    # import can reach it.
    ("import types, pavro.bag; sly = types.ModuleType('pavro.bag'); "
     "sly.__getattr__ = lambda name: (vars(sys.modules['pavro_cjson']).pop('__name__', 0), "
     "getattr(pavro.bag, name))[1]; sys.modules['pavro.bag'] = sly",
     "SystemError", "nameless module"),
    # A key in sys.modules that collides with our name and cannot be
    # compared while the module is being made (importlib's own look-ups,
    # made from Python frames of their own, find it merely unequal): the
    # first or the second comparison raises.
    (SYS_MODULES_COLLIDER.format(1), "ZeroDivisionError", None),
    (SYS_MODULES_COLLIDER.format(2), "ZeroDivisionError", None),
], ids=["no-ProbabilityBag", "no-ObjectBuilder", "no-pavro.bag", "no-ijson", "no-math",
        "no-OrderedDict", "broken-backends", "nameless", "sys.modules-lookup",
        "sys.modules-insert"])
def test_missing_collaborator_fails_the_import_cleanly(tmp_path, prepare, kind, message):
    outcome = report(FAILED_IMPORT.format(prepare=prepare, retry=""), tmp_path)
    assert outcome is not None, "the import succeeded"
    failed_kind, failed_message, entries, left_behind = outcome
    assert failed_kind == kind
    if message is not None:
        assert failed_message == message
    assert ["init pavro_cjson", "pjson"] in entries
    assert not left_behind


def test_import_succeeds_once_the_cause_of_a_failure_is_gone(tmp_path):
    # Nothing of the failed attempt may stick: no module in sys.modules and
    # no half-made state that a second attempt would trip over.
    retry = """
    pavro.bag.ProbabilityBag = saved
    import io, pavro_cjson
    from pavro.bag import ChainModel
    model = ChainModel.from_sequences([["x", "y"]])
    out = io.StringIO()
    pavro_cjson.dump_json_small(model, out)
    loaded = ChainModel()
    pavro_cjson.load_json_small(loaded, io.StringIO(out.getvalue()))
    outcome = [outcome[0], pavro_cjson.ProbabilityBag is saved, loaded == model,
               sys.modules["pavro_cjson"] is pavro_cjson]
    """
    outcome = report(FAILED_IMPORT.format(
        prepare="import pavro.bag; saved = pavro.bag.ProbabilityBag; del pavro.bag.ProbabilityBag",
        retry=textwrap.dedent(retry).replace("\n", "\n    "),
    ), tmp_path)
    assert outcome == ["ImportError", True, True, True]


@pytest.mark.parametrize("prepare, restore, kind", [
    ("import collections.abc; collections.abc.Generator.register = lambda cls: 1 / 0",
     "del collections.abc.Generator.register", "ZeroDivisionError"),
    ("import collections.abc; saved = collections.abc.Generator; "
     "del collections.abc.Generator",
     "collections.abc.Generator = saved", "AttributeError"),
    ("import collections.abc; saved = sys.modules['collections.abc']; "
     "sys.modules['collections.abc'] = None",
     "sys.modules['collections.abc'] = saved", "ModuleNotFoundError"),
], ids=["register-raises", "no-Generator", "no-collections.abc"])
def test_retried_import_still_registers_the_decoding_generator(tmp_path, prepare, restore, kind):
    # The first attempt fails once the generator type is ready but before
    # it is registered; the retry must register it all the same.
    # Generator's subclass hook already accepts any type with its five
    # methods, and register() then adds nothing; so the retry is watched
    # for the call itself.
    retry = """
    {restore}
    import collections.abc, io
    calls = []
    register = collections.abc.Generator.register
    collections.abc.Generator.register = lambda cls: calls.append(cls) or register(cls)
    import pavro_cjson
    kept = []
    class Model:
        def clear(self):
            pass
        def add_to_bag(self, start, follower, count=None):
            kept.append(follower)
    pavro_cjson.load_json_big(Model(), io.BytesIO(b'{{"codes":[0,"a"],"chain":[0,[[0],1]]}}'))
    outcome = [outcome[0], calls == [type(kept[0])],
               isinstance(kept[0], collections.abc.Generator), list(kept[0])]
    """.format(restore=restore)
    outcome = report(FAILED_IMPORT.format(
        prepare=prepare, retry=textwrap.dedent(retry).replace("\n", "\n    ")), tmp_path)
    assert outcome == [kind, True, True, ["a"]]


def test_other_error_of_preferred_json_library_is_not_a_fallback(tmp_path):
    (tmp_path / "shadow").mkdir()
    (tmp_path / "shadow" / "ujson.py").write_text("raise RuntimeError('broken ujson')\n")
    outcome = report(FAILED_IMPORT.format(prepare="", retry=""), tmp_path,
                     path=[tmp_path / "shadow"])
    kind, message, entries, left_behind = outcome
    assert (kind, message) == ("RuntimeError", "broken ujson")
    assert ["init pavro_cjson", "pjson"] in entries
    assert not left_behind


def test_import_under_warnings_as_errors_gives_no_version_warning(tmp_path):
    done = run_python("import pavro_cjson", tmp_path, "-W", "error")
    assert done.returncode == 0, done.stderr
    assert "compiletime version" not in done.stderr


def test_importing_again_gives_the_same_module():
    import importlib

    assert importlib.import_module("pavro_cjson") is pavro_cjson
    # The interpreter calls the init function once; a second call (as an
    # embedding application might make) must hand back the same module.
    init = ctypes.PyDLL(pavro_cjson.__file__).PyInit_pavro_cjson
    init.restype = ctypes.py_object
    init.argtypes = []
    assert init() is pavro_cjson


@pytest.mark.parametrize("module", [pavro_cjson, _pavro_model], ids=lambda m: m.__name__)
def test_shared_library_exports_only_the_init_function(module):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", module.__file__],
        stdout=subprocess.PIPE, universal_newlines=True, check=True,
    ).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + module.__name__]
    init = getattr(ctypes.PyDLL(module.__file__), "PyInit_" + module.__name__)
    init.restype = ctypes.py_object
    init.argtypes = []
    assert init() is module


# ---------------------------------------------------------------------------
# Function objects
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_identity_and_signature(name):
    function = getattr(pavro_cjson, name)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "pavro_cjson"
    default = "True" if name in WRITERS else "False"
    assert str(inspect.signature(function)) == "(chain, file, {}={})".format(THIRD[name], default)


# ---------------------------------------------------------------------------
# Argument binding
# ---------------------------------------------------------------------------


def at_least(name, given):
    return "{}() takes at least 2 positional arguments ({} given)".format(name, given)


BINDING_ERRORS = [
    # (args, kwargs, message template)
    ((), {}, at_least("{name}", 0)),
    (("c",), {}, at_least("{name}", 1)),
    ((), {"chain": "c"}, at_least("{name}", 1)),
    ((), {"file": "f"}, at_least("{name}", 0)),
    ((), {"chain": "c", "{third}": True}, at_least("{name}", 1)),
    (("c",), {"{third}": True}, at_least("{name}", 1)),
    (("c", "f", True, "x"), {}, "{name}() takes at most 3 positional arguments (4 given)"),
    (("c", "f", True, "x", "y"), {"bogus": 1},
     "{name}() takes at most 3 positional arguments (5 given)"),
    (("c", "f"), {"bogus": 1}, "{name}() got an unexpected keyword argument 'bogus'"),
    (("c", "f"), {"{other}": 1}, "{name}() got an unexpected keyword argument '{other}'"),
    (("c", "f"), {"chain": 1}, "{name}() got multiple values for keyword argument 'chain'"),
    (("c",), {"chain": 1, "file": 2},
     "{name}() got multiple values for keyword argument 'chain'"),
    (("c", "f", True), {"{third}": 1},
     "{name}() got multiple values for keyword argument '{third}'"),
    ((), {1: 2}, "{name}() keywords must be strings"),
    (("c", "f"), {1: 2}, "{name}() keywords must be strings"),
]


def fill(template, name):
    other = "merge" if THIRD[name] == "frequency_compress" else "frequency_compress"
    return template.format(name=name, third=THIRD[name], other=other)


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(name, args, kwargs, message):
    function = getattr(pavro_cjson, name)
    kwargs = {fill(k, name) if isinstance(k, str) else k: v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert str(caught.value) == fill(message, name)
    assert pjson_entries(caught.value) == ["pavro_cjson." + name]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_non_string_keyword_from_a_c_level_call(name):
    # functools.partial hands its keyword dict to the function as it is,
    # without the interpreter's own check of the keys.
    call = functools.partial(getattr(pavro_cjson, name), **{1: 2})
    with pytest.raises(TypeError) as caught:
        call("c", "f")
    assert str(caught.value) == "{}() keywords must be strings".format(name)


class Key(str):
    pass


@pytest.mark.parametrize("make_key", [
    lambda text: "".join(list(text)),  # equal but not the interned literal
    Key,
], ids=["uninterned", "str-subclass"])
def test_keywords_are_matched_by_value(make_key):
    chain = RecordingChain()
    out = RecordingFile()
    pavro_cjson.dump_json_small(**{
        make_key("chain"): chain, make_key("file"): out, make_key("frequency_compress"): False,
    })
    assert chain.log == [("items",)]
    assert out.getvalue() == EMPTY_DOCUMENT


# ---------------------------------------------------------------------------
# Defaults and truth values of the third argument
# ---------------------------------------------------------------------------


def document_file(name):
    """An empty chain document, opened the way the reader's parser prefers."""
    if name == "load_json_big":
        return io.BytesIO(EMPTY_DOCUMENT.encode("ascii"))
    return io.StringIO(EMPTY_DOCUMENT)


def call_with_third(name, *third, **kw_third):
    """Calls a function on an empty recording model; returns (model log, text)."""
    chain = RecordingChain()
    if name in WRITERS:
        out = RecordingFile()
        getattr(pavro_cjson, name)(chain, out, *third, **kw_third)
        return chain.log, out.getvalue()
    getattr(pavro_cjson, name)(chain, document_file(name), *third, **kw_third)
    return chain.log, None


@pytest.mark.parametrize("name", WRITERS)
def test_writers_compress_by_default(name):
    log, text = call_with_third(name)
    assert log[0] == ("build_frequency_dict",)
    assert (log, text) == call_with_third(name, True)
    assert (log, text) == call_with_third(name, frequency_compress=True)


@pytest.mark.parametrize("name", READERS)
def test_readers_replace_by_default(name):
    log, _ = call_with_third(name)
    assert ("clear",) in log
    assert log == call_with_third(name, False)[0] == call_with_third(name, merge=False)[0]


class Truth:
    """An object whose truth value is whatever its __bool__ says."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FALSE_VALUES = [False, None, 0, 0.0, "", [], {}, Truth(False)]
TRUE_VALUES = [True, 1, -1, "x", [0], object(), Truth(True)]


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("value, truth", [(v, False) for v in FALSE_VALUES]
                         + [(v, True) for v in TRUE_VALUES])
def test_third_argument_counts_by_truth_value(name, value, truth):
    log, _ = call_with_third(name, value)
    if name in WRITERS:
        assert (("build_frequency_dict",) in log) is truth
    else:
        assert (("clear",) in log) is (not truth)


class Refused(Exception):
    pass


class Untestable:
    def __init__(self):
        self.error = Refused("no truth value")

    def __bool__(self):
        raise self.error


@pytest.mark.parametrize("name", FUNCTIONS)
def test_failing_truth_test_is_passed_on_unchanged(name):
    third = Untestable()
    chain = RecordingChain()
    out = RecordingFile() if name in WRITERS else document_file(name)
    with pytest.raises(Refused) as caught:
        getattr(pavro_cjson, name)(chain, out, third)
    assert caught.value is third.error
    assert pjson_entries(caught.value)[0] == "pavro_cjson." + name
    # Nothing of the model is touched before the mode is known.
    assert chain.log == []


def test_failing_truth_test_leaves_the_whole_document_file_untouched():
    out = RecordingFile()
    with pytest.raises(Refused):
        pavro_cjson.dump_json_small(RecordingChain(), out, Untestable())
    assert out.pieces == []
