"""Building, testing and checking pavro_cjson, as nox sessions.

    tools/run                         list the sessions
    tools/run pavro [-- COMMAND ...]  the main job: the pavro tool on the built-in text
    tools/run tests [-- PYTEST ARGS]  the test suite on the default Python and on 3.7

`tools/run` installs nox into .venv-nox first; with nox at hand,
`nox -s SESSION` is the same.  Every session keeps its venv under .nox/
and its CMake build in build/SESSION, so a second run compiles only what
changed, and sessions run side by side (`--parallel N`) never share one.
"""

import concurrent.futures
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from fnmatch import fnmatch
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
nox.options.default_venv_backend = "venv"
nox.options.reuse_venv = "yes"
# An interpreter that is not here is a session that cannot run, never one
# that nox fetches from somewhere.
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = True
# Every build, pip's isolated ones included, compiles on every core: a
# core left idle is time lost, whether sessions run alone or side by side.
os.environ.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
# Any two sessions may run side by side under `--parallel N` (CI runs its
# checks so, to keep both cores busy while one session installs or
# compiles): none shares a venv or a build folder with another.  What they
# do share is safe so: pytest's rewritten test modules and hypothesis's
# example database are written whole and renamed into place, and
# package's build/dist is waited for by the installed sessions (requires=).
nox.options.allow_parallel = True


# --- the interpreters ------------------------------------------------------------------
# The one place that knows them: the default python3 first, then every
# CPython that pyenv has, one per minor version, from 3.7 up.

def _minor(python):
    try:
        out = subprocess.run([python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                             capture_output=True, text=True, timeout=30, check=True).stdout
    except (OSError, subprocess.SubprocessError):
        return None
    return out.strip()


def _interpreters():
    found = {}
    candidates = [shutil.which("python3")] + sorted(
        glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python")),
        key=lambda path: [int(n) for n in re.findall(r"\d+", path)])
    for python in filter(None, candidates):
        minor = _minor(python)
        if minor and tuple(map(int, minor.split("."))) >= (3, 7):
            found.setdefault(minor, os.path.realpath(python))
    return found


PYTHONS = _interpreters()
DEFAULT = next(iter(PYTHONS))
# The suite runs from the tree on these; the installed sdist on the rest.
TESTED = [minor for minor in PYTHONS if minor in (DEFAULT, "3.7")]
INSTALLED = [minor for minor in PYTHONS if minor not in TESTED] or [DEFAULT]
# Debian's debug build, which counts references (sys.gettotalrefcount).
DEBUG_PYTHON = next(iter(sorted(glob.glob("/usr/bin/python3.*-dbg"))), "python3-dbg")

DEPENDENCIES = ["ujson", "ijson", "cffi"]
TEST_TOOLS = ["pytest", "pytest-xdist", "hypothesis", "tqdm"]
# Pinned: a new mypy may judge the same code differently, and a check that
# changes its mind by itself is no check.
MYPY = "mypy==2.4.1"


# --- helpers ---------------------------------------------------------------------------

def _build_tools():
    # The build runs without isolation, so CMake must be on PATH; where the
    # system has none, the PyPI wheel serves.
    return ["scikit-build-core"] + ([] if shutil.which("cmake") else ["cmake"])


def install(session, *settings, binary=True):
    """The project built into the session's venv, with the dependencies and
    test tools; `settings` are scikit-build-core settings (KEY=VALUE).

    The build folder is the session's own, build/SESSION."""
    # 3.7's own pip predates --config-settings.
    session.install("pip>=23")
    requirements = _build_tools() + DEPENDENCIES + TEST_TOOLS
    session.install(*(() if binary else ("--no-binary", ",".join(DEPENDENCIES))), *requirements)
    session.install("--no-build-isolation", "--no-deps", "--force-reinstall",
                    *("--config-settings=" + setting
                      for setting in settings + ("build-dir=%s" % build_dir(session),)), ".")


def build_dir(session):
    return ROOT / "build" / session.name


def werror(session):
    """The build every test and check uses: warnings are errors."""
    install(session, "cmake.define.PJSON_WERROR=ON")


def pytest(session, *args, paths=("tests",), env=None):
    """pytest on PYTEST ARGS when given, else on `paths`, in one process per
    core (pytest-xdist; `-n 0` among PYTEST ARGS runs it in this one)."""
    session.run("python", "-m", "pytest", "-n", "auto", *args, *(session.posargs or paths),
                env=env)


def each(name, pythons, **options):
    """Registers the decorated function as one session per interpreter,
    NAME-<minor>, and NAME itself for all of them."""
    def register(function):
        names = []
        for minor in pythons:
            names.append("%s-%s" % (name, minor))
            nox.session(name=names[-1], python=PYTHONS[minor], **options)(function)
        def every(session):
            pass
        every.__doc__ = "All of " + ", ".join(names) + "."
        nox.session(name=name, python=False, requires=names)(every)
        return function
    return register


# --- the main job and the smoke test ---------------------------------------------------

@nox.session(python=PYTHONS[DEFAULT])
def pavro(session):
    """The main job: the pavro tool on the built-in text (train, info, say, convert, info).

    With arguments, `pavro ARGS` instead, run from where you are."""
    install(session)
    if session.posargs:
        with session.chdir(session.invoked_from):
            session.run("python", "-m", "pavro", *session.posargs)
        return
    with tempfile.TemporaryDirectory(prefix="pavro-tour.") as work, session.chdir(work):
        session.log("The pavro tool on the built-in text, in %s (removed afterwards)." % work)
        session.log("Run any of these yourself as: tools/run pavro -- COMMAND ARG...")
        for step in (["train", "--builtin", "-o", "model.json"], ["info", "model.json"],
                     ["say", "model.json", "-n", "3", "--seed", "6"],
                     ["convert", "model.json", "compressed.json"], ["info", "compressed.json"]):
            session.run("python", "-m", "pavro", *step)


@nox.session(python=PYTHONS[DEFAULT])
def demo(session):
    """Every writer, compressed and plain, loaded back by every reader (pavro.demo ARGS)."""
    install(session)
    with session.chdir(session.invoked_from):
        session.run("python", "-m", "pavro.demo", *session.posargs)


# --- the tests -------------------------------------------------------------------------

@each("tests", TESTED)
def tests(session):
    """The test suite from the tree, warnings as errors."""
    werror(session)
    pytest(session)


@nox.session(python=PYTHONS[DEFAULT])
def package(session):
    """The sdist and the wheel: built, their contents checked, the wheel installed."""
    session.install("pip>=23", "build")
    dist = ROOT / "build" / "dist"
    shutil.rmtree(dist, ignore_errors=True)
    # The wheel comes from the unpacked sdist, in an isolated environment: it
    # comes out only if the sdist holds everything the build needs.
    session.run("python", "-m", "build", "--outdir", str(dist), ".", silent=True)
    (sdist,), (wheel,) = dist.glob("pavro_cjson-*.tar.gz"), dist.glob("pavro_cjson-*.whl")
    tracked = subprocess.run(["git", "ls-files", "common", "pjson", "pmodel", "pavro",
                              "CMakeLists.txt",
                              "pyproject.toml", "README.md"], cwd=ROOT, capture_output=True,
                             text=True, check=True).stdout.split()
    with tarfile.open(sdist) as tar:
        # Every member sits under one directory, "pavro_cjson-VERSION/".
        in_sdist = {name.partition("/")[2] for name in tar.getnames()}
    with zipfile.ZipFile(wheel) as whl:
        in_wheel = whl.namelist()
    problems = ["sdist lacks " + name for name in sorted(
        (set(tracked) | {"PKG-INFO", "pjson/pavro_cjson.pyi", "pmodel/_pavro_model.pyi",
                                "pavro/py.typed"}) - in_sdist)]
    problems += ["wheel lacks " + pattern for pattern in (
        "pavro_cjson.*.so", "pavro_cjson.pyi", "_pavro_model.*.so", "_pavro_model.pyi",
        "pavro/__init__.py", "pavro/bag.py",
        "pavro/demo.py", "pavro/py.typed", "*.dist-info/METADATA")
        if not any(fnmatch(name, pattern) for name in in_wheel)]
    problems += ["wheel carries the source " + name for name in in_wheel
                 if name.endswith((".cpp", ".hpp"))]
    if problems:
        session.error("; ".join(problems))
    # The wheel installs with its declared dependencies, the stub lies beside
    # the module, and the demo round-trips, away from the tree.
    session.install("--force-reinstall", str(wheel))
    with tempfile.TemporaryDirectory() as work, session.chdir(work):
        session.run("python", "-c", "import os, pavro, pavro_cjson\n"
                    "assert os.path.isfile(pavro_cjson.__file__.rsplit(os.sep, 1)[0]"
                    " + '/pavro_cjson.pyi'), 'no stub beside the module'\n"
                    "assert os.path.isfile(os.path.dirname(pavro.__file__) + '/py.typed')")
        session.run("python", "-m", "pavro.demo", silent=True)


@each("installed", INSTALLED, reuse_venv=False, requires=["package"])
def installed(session):
    """The test suite against the sdist installed into a fresh venv.

    The suite runs from a copy of tests/ outside the tree, so that a file the
    sdist lacks fails here."""
    (sdist,) = (ROOT / "build" / "dist").glob("pavro_cjson-*.tar.gz")
    session.install("pip>=23")
    # The dependencies come from the sdist's metadata, the test tools from the extra.
    session.install("--config-settings=cmake.define.PJSON_WERROR=ON", "%s[test]" % sdist)
    with tempfile.TemporaryDirectory() as work:
        # The working directory comes first on sys.path, also for the children
        # some tests start: it holds nothing but the copy, and pytest's settings.
        shutil.copytree(ROOT / "tests", Path(work) / "tests")
        shutil.copy(ROOT / "pytest.ini", work)
        with session.chdir(work):
            # A quarter of each property test's examples (tests/examples.py):
            # the tests-* sessions draw them all.
            pytest(session, "-p", "no:cacheprovider",
                   env={"PJSON_TEST_INSTALLED": "1", "PJSON_TEST_EXAMPLES_SCALE": "0.25"})


# --- the checks ------------------------------------------------------------------------

@nox.session(python=PYTHONS[DEFAULT])
def types(session):
    """The published types: stubtest, and mypy --strict on the README example, typing_usage.py, pavro.

    The README's example is also run."""
    werror(session)
    session.install(MYPY)
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = re.search(r"^## Example\n(.*?)(?=^## |\Z)", readme, re.M | re.S)
    block = section and re.search(r"^```python\n(.*?)^```", section.group(1), re.M | re.S)
    if not block:
        session.error("README.md: no ```python block under '## Example'")
    cache = "--cache-dir=%s" % (Path(session.virtualenv.location) / "mypy-cache")
    # Outside the tree, so that the module, its stub and pavro's marker can
    # only come from the venv.
    with tempfile.TemporaryDirectory() as work, session.chdir(work):
        Path("readme_example.py").write_text(block.group(1), encoding="utf-8")
        shutil.copy(ROOT / "tests" / "typing_usage.py", work)
        session.run("python", "-m", "mypy.stubtest", "pavro_cjson", "_pavro_model")
        session.run("python", "-m", "mypy", "--strict", cache, "readme_example.py")
        session.run("python", "readme_example.py")
        session.run("python", "-m", "mypy", "--strict", cache, "typing_usage.py")
    session.run("python", "-m", "mypy", "--strict", cache, "pavro")


@nox.session(python=PYTHONS[DEFAULT])
def headers(session):
    """Every source compiled against the headers of every CPython found, warnings as errors.

    With CMake's own flags (its compile_commands.json), without linking: the
    version guards hold from 3.7 up."""
    if not shutil.which("cmake"):
        session.install("cmake")
    compiles = []
    for minor, python in PYTHONS.items():
        build = ROOT / "build" / ("headers-" + minor)
        session.run("cmake", "-S", str(ROOT), "-B", str(build), "-DPython_EXECUTABLE=" + python,
                    "-DPJSON_WERROR=ON", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", silent=True)
        sources = json.loads((build / "compile_commands.json").read_text())
        compiles += [(minor, entry) for entry in sources]
        session.log("headers %s: %d sources" % (minor, len(sources)))

    def compile_one(job):
        entry = job[1]
        command = entry.get("arguments") or shlex.split(entry["command"])
        return job, subprocess.run(command + ["-fsyntax-only"], cwd=entry["directory"],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    # The compilers run side by side, one per core: each is a process of its
    # own, and a thread only waits for it.
    failed = []
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        for (minor, entry), done in pool.map(compile_one, compiles):
            if done.returncode != 0:
                name = "%s (%s)" % (os.path.relpath(entry["file"], ROOT), minor)
                print("\n==> %s\n%s" % (name, done.stdout), file=sys.stderr)
                failed.append(name)
    session.log("headers: %d compiles, %d failed" % (len(compiles), len(failed)))
    if failed:
        session.error("did not compile: " + ", ".join(failed))


@nox.session(python=DEBUG_PYTHON)
def leaks(session):
    """Reference leaks: the call table re-run under the debug interpreter (pytest --leaks).

    Each test of tests/test_call_table.py (or of PYTEST ARGS) is run again
    until the interpreter's total reference count stops growing."""
    # Every C extension here is compiled against the debug headers: a release
    # wheel loads, but its reference counting never reaches the total, and
    # objects it frees would look leaked.  A debug interpreter shows every
    # ResourceWarning, pip's own too.
    quiet = {"PYTHONWARNINGS": "ignore"}
    session.env.update(quiet)
    install(session, "cmake.build-type=Debug", binary=False)
    session.env.pop("PYTHONWARNINGS")
    pytest(session, "--leaks", paths=["tests/test_call_table.py"])


@nox.session(python=PYTHONS[DEFAULT])
def asan(session):
    """The test suite under AddressSanitizer and UndefinedBehaviorSanitizer."""
    install(session, "cmake.define.PJSON_ASAN=ON", "cmake.build-type=RelWithDebInfo")
    # The interpreter is not built with the runtimes, so they are loaded
    # before anything else (ASan refuses to start otherwise); g++ has them.
    cxx = os.environ.get("CXX", "g++")
    runtimes = [subprocess.run([cxx, "-print-file-name=" + name], capture_output=True,
                               text=True).stdout.strip() for name in ("libasan.so", "libubsan.so")]
    if not all(os.path.isabs(path) and os.path.exists(path) for path in runtimes):
        session.error("%s has no sanitizer runtimes (install g++)" % cxx)
    with tempfile.TemporaryDirectory(prefix="pjson-asan.") as reports:
        # PYTHONMALLOC=malloc: every object comes from malloc, so a reference
        # released once too often is a heap-use-after-free ASan sees, not a
        # reuse inside the interpreter's pools.  detect_leaks=0: the
        # interpreter keeps memory until exit by design; reference leaks are
        # the leaks session's.  allocator_may_return_null=1: an impossible
        # allocation gives MemoryError, as without the sanitizer.
        # PJSON_SANITIZER tells tests that they cannot cap a child's address
        # space (ASan reserves terabytes of shadow memory).  Reports go to
        # files, one per process: an aborting process takes pytest's captured
        # stderr with it, and a child's stderr is often a pipe a test reads.
        env = {
            "LD_PRELOAD": " ".join(runtimes + [os.environ.get("LD_PRELOAD", "")]).strip(),
            "ASAN_OPTIONS": "detect_leaks=0:halt_on_error=1:abort_on_error=1:"
                            "allocator_may_return_null=1:log_path=%s/asan" % reports,
            "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:log_path=%s/ubsan" % reports,
            "PYTHONMALLOC": "malloc",
            "PJSON_SANITIZER": "address",
        }
        try:
            pytest(session, "-p", "no:cacheprovider", env=env)
        finally:
            found = sorted(Path(reports).iterdir())
            for report in found:
                print("\n==> sanitizer report %s\n%s" % (report.name, report.read_text()),
                      file=sys.stderr)
            session.log("sanitizer reports: %d" % len(found))
        if found:
            session.error("the sanitizers reported %d processes" % len(found))


@nox.session(python=PYTHONS[DEFAULT])
def coverage(session):
    """Line coverage of the C++ under the suite, and the failure returns no test reached.

    tools/uncovered_failures.py makes the list.  It reports and does not
    judge: failing tests do not fail it."""
    build = build_dir(session)
    # Unoptimised, so that every line keeps its own count.
    install(session, "cmake.define.PJSON_COVERAGE=ON", "cmake.build-type=Debug")
    for counts in build.rglob("*.gcda"):
        counts.unlink()
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider",
                *(session.posargs or ["tests"]), success_codes=range(256))
    out = build / "gcov"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    data = [str(path) for path in build.rglob("*.gcda")]
    if not data:
        session.error("no coverage data under %s" % build)
    # One JSON file per object, with branch counts; --preserve-paths keeps the
    # two reader.cpp (and writer.cpp) apart.
    with session.chdir(out):
        session.run(os.environ.get("GCOV", "gcov"), "--preserve-paths", "--branch-probabilities",
                    "--json-format", *data, external=True, silent=True)
    session.run("python", str(ROOT / "tools" / "uncovered_failures.py"), "--root", str(ROOT),
                *map(str, sorted(out.glob("*.gcov.json.gz"))))
