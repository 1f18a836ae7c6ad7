// The compiled event source.  The cffi backend spends most of a load in
// Python: a callback per event, an event tuple, a prefix string, a list of
// pending events per chunk.  Here the same yajl library calls straight into
// the reader, while everything the backend does in Python around the parse
// (turning bytes and str into files, the read(0) probe and the text-file
// wrapper with its warning, the 64 KiB reads) is done by the
// backend's own functions, so the file is read exactly as its parse() reads it.
#include "streaming/yajl_source.hpp"

#include "failure.hpp"
#include "globals.hpp"
#include "names.hpp"

#include <dlfcn.h>

#include <cstring>

namespace pjson::streaming {

namespace {

// ===========================================================================
// The yajl 2.x interface (declared here: no headers needed to build)
// ===========================================================================

struct YajlCallbacks {
    int (*on_null)(void* ctx);
    int (*on_boolean)(void* ctx, int value);
    int (*on_integer)(void* ctx, long long value);
    int (*on_double)(void* ctx, double value);
    int (*on_number)(void* ctx, const char* text, size_t length);
    int (*on_string)(void* ctx, const unsigned char* text, size_t length);
    int (*on_start_map)(void* ctx);
    int (*on_map_key)(void* ctx, const unsigned char* text, size_t length);
    int (*on_end_map)(void* ctx);
    int (*on_start_array)(void* ctx);
    int (*on_end_array)(void* ctx);
};

using YajlHandle = void*;
enum YajlStatus { yajl_status_ok, yajl_status_client_canceled, yajl_status_error };

struct Yajl {
    int (*version)();
    YajlHandle (*alloc)(const YajlCallbacks*, void* alloc_funcs, void* ctx);
    int (*parse)(YajlHandle, const unsigned char*, size_t);
    int (*complete_parse)(YajlHandle);
    unsigned char* (*get_error)(YajlHandle, int verbose, const unsigned char*, size_t);
    void (*free_error)(YajlHandle, unsigned char*);
    void (*free)(YajlHandle);
};

enum class Library { unknown, loaded, missing };

Yajl yajl;
Library library = Library::unknown;

// ===========================================================================
// What the module bound at import (kept for the life of the process)
// ===========================================================================

struct ParserBindings {
    PyObject* backend = nullptr;  // the yajl2_cffi module
    PyObject* parse = nullptr;    // its parse function
    PyObject* builder = nullptr;  // ObjectBuilder
    PyObject* common = nullptr;   // the backend's ijson.common
    // The backend's own Python pieces around the parse, all looked up on
    // `common` by the backend at every use: a load compares them before it
    // parses on its own.
    PyObject* get_source = nullptr;
    PyObject* is_async_file = nullptr;
    PyObject* is_file = nullptr;
    PyObject* file_source = nullptr;
    PyObject* integer_or_decimal = nullptr;  // the backend's number rule, mirrored here
    PyObject* incomplete_error = nullptr;    // raised for yajl_status_error
    PyObject* json_error = nullptr;          // for any other failed status
    PyObject* decimal = nullptr;             // decimal.Decimal
    PyObject* read_size = nullptr;           // 65536, the backend's buf_size
    // Set by the library lookup: the backend's cffi library object (which
    // keeps yajl mapped) and its FFI, which converts list and tuple reads.
    PyObject* lib = nullptr;
    PyObject* ffi = nullptr;
};

ParserBindings bound;

// The library lookup runs at the first load, once: a load that arrives
// while another thread looks waits for its answer.
PyThread_type_lock lookup_lock = nullptr;
unsigned long lookup_owner = 0;  // the thread looking, 0 when none

// Looks `name` up on `obj`; a new reference, or nullptr with the error cleared.
PyObject* attr_or_null(PyObject* obj, const char* name) {
    PyObject* found = PyObject_GetAttrString(obj, name);
    if (found == nullptr) PyErr_Clear();
    return found;
}

// ===========================================================================
// The library the backend loaded
// ===========================================================================

// The functions are taken from the backend's own cffi library object, so
// they are the very ones its parse() calls, in the very file it opened at
// import (whatever YAJL_DLL said then, or says now).  dladdr proves all of
// them lie in one loaded object.

// The answer for a failed step of the lookup: 0, with the exception
// cleared, when it means the backend is not what it looks like (no such
// attribute, no cffi function), so the event path serves; else -1, the
// exception (an interrupt, a failed allocation) left for the caller.
int cannot_establish() {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) &&
        !PyErr_ExceptionMatches(PyExc_TypeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// The address of the backend's function `name`: 1 with `address` set, 0
// when it has none, -1 with an exception set.
int function_address(PyObject* lib, PyObject* ffi, const char* name, void** address) {
    Ref function(PyObject_GetAttrString(lib, name));
    if (!function) return cannot_establish();
    Ref number(PyObject_CallMethod(ffi, "cast", "sO", "uintptr_t", function.get()));
    if (!number) return cannot_establish();
    Ref integer(PyNumber_Long(number.get()));
    if (!integer) return cannot_establish();
    *address = PyLong_AsVoidPtr(integer.get());
    if (*address == nullptr && PyErr_Occurred()) return -1;
    return *address != nullptr;
}

template <typename F>
int take_function(PyObject* lib, PyObject* ffi, const char* name, const void** base, F& slot) {
    void* address = nullptr;
    const int found = function_address(lib, ffi, name, &address);
    if (found <= 0) return found;
    Dl_info info;
    if (dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return 0;
    if (*base != nullptr && *base != info.dli_fbase) return 0;  // not one library
    *base = info.dli_fbase;
    slot = reinterpret_cast<F>(address);
    return 1;
}

// 1 with `yajl` and the bindings' lib and ffi set, 0 when the backend's
// library cannot be established (for good), -1 with an exception set (the
// next load tries again).
int find_library() {
    Ref lib(PyObject_GetAttrString(bound.backend, "yajl"));
    if (!lib) return cannot_establish();
    Ref ffi(PyObject_GetAttrString(bound.backend, "ffi"));
    if (!ffi) return cannot_establish();
    Yajl found{};
    const void* base = nullptr;
    const auto take = [&](const char* name, auto& slot) {
        return take_function(lib.get(), ffi.get(), name, &base, slot);
    };
    // Each lookup may run Python code: stop at the first that fails.
    int result = 1;
    if (result > 0) result = take("yajl_version", found.version);
    if (result > 0) result = take("yajl_alloc", found.alloc);
    if (result > 0) result = take("yajl_parse", found.parse);
    if (result > 0) result = take("yajl_complete_parse", found.complete_parse);
    if (result > 0) result = take("yajl_get_error", found.get_error);
    if (result > 0) result = take("yajl_free_error", found.free_error);
    if (result > 0) result = take("yajl_free", found.free);
    if (result <= 0) return result;
    if (found.version() / 10000 != 2) return 0;
    yajl = found;
    bound.lib = lib.release();  // keeps the library mapped for good
    bound.ffi = ffi.release();
    return 1;
}

// 1 when the compiled source can parse, 0 when the event path must, -1
// with an exception set.
int library_ready() {
    if (library != Library::unknown) return library == Library::loaded;
    if (lookup_lock == nullptr) return 0;
    if (!PyThread_acquire_lock(lookup_lock, NOWAIT_LOCK)) {
        // Re-entered from inside the lookup (a signal handler, say): the
        // answer is not known yet, and the events are always right.
        if (lookup_owner == PyThread_get_thread_ident()) return 0;
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(lookup_lock, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
    int result = library == Library::loaded;
    if (library == Library::unknown) {
        lookup_owner = PyThread_get_thread_ident();
        result = find_library();
        lookup_owner = 0;
        if (result >= 0) library = result ? Library::loaded : Library::missing;
    }
    PyThread_release_lock(lookup_lock);
    return result;
}

// ===========================================================================
// One parse
// ===========================================================================

struct Parse {
    EventSink* sink;
    const Frame* frame;   // what a failure here is reported under
    bool failed = false;  // the exception and its traceback entry are set
};

// A callback answers yajl 1 to go on and 0 to cancel the parse: the C
// library's own convention, kept to this file.

// Cancels the parse for a failure whose traceback entry is already added.
int cancel(void* ctx) {
    static_cast<Parse*>(ctx)->failed = true;
    return 0;
}

// Cancels the parse for a failure in this file, adding its traceback entry
// at `line` under the parse's frame.
int fail(void* ctx, int line) {
    Parse* parse = static_cast<Parse*>(ctx);
    parse->frame->fail(line);
    return cancel(ctx);
}

// yajl calls back into C code only: no exception may cross it, so every
// callback body runs in here.  Returns 1 while yajl should go on.
template <typename Body>
int guarded(void* ctx, Body body) noexcept {
    try {
        return body();
    } catch (...) {  // nothing but bad_alloc is thrown below us
        PyErr_NoMemory();
        return fail(ctx, __LINE__);
    }
}

// Hands one event to the reader; its value is borrowed for the call.
int deliver(void* ctx, Event kind, PyObject* value) {
    if (static_cast<Parse*>(ctx)->sink->event(kind, nullptr, value) < 0) return cancel(ctx);
    return 1;
}

int deliver_guarded(void* ctx, Event kind, PyObject* value) {
    return guarded(ctx, [&] { return deliver(ctx, kind, value); });
}

// int(text) when it has no '.', 'e' or 'E', else decimal.Decimal(text): the
// backend's rule, the interpreter's digit limit included.  Every copy is a
// Python object, so running out of memory raises MemoryError.
Ref number_value(const char* text, size_t length) {
    bool integer = true;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c == '.' || c == 'e' || c == 'E') integer = false;
    }
    if (integer && length > 0 && length <= 18) {
        const bool negative = text[0] == '-';
        long long magnitude = 0;
        for (size_t i = negative ? 1 : 0; i < length; ++i) magnitude = magnitude * 10 + (text[i] - '0');
        return Ref(PyLong_FromLongLong(negative ? -magnitude : magnitude));
    }
    if (integer) {
        // PyLong_FromString wants the digits NUL-terminated.
        Ref digits(PyBytes_FromStringAndSize(text, static_cast<Py_ssize_t>(length)));
        if (!digits) return Ref();
        return Ref(PyLong_FromString(PyBytes_AS_STRING(digits.get()), nullptr, 10));
    }
    Ref str(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), nullptr));
    if (!str) return Ref();
    return call1(bound.decimal, str.get());
}

int on_null(void* ctx) { return deliver_guarded(ctx, Event::null, Py_None); }

int on_boolean(void* ctx, int value) {
    return deliver_guarded(ctx, Event::boolean, value ? Py_True : Py_False);
}

int on_number(void* ctx, const char* text, size_t length) {
    return guarded(ctx, [&] {
        Ref value = number_value(text, length);
        if (!value) return fail(ctx, __LINE__);
        return deliver(ctx, Event::number, value.get());
    });
}

// Each string is decoded anew and lives only as long as the reader keeps
// it: a member name or a skipped value is gone once the event has passed,
// and the reader shares the equal codes it hands to the model.  The str
// is made from yajl's bytes, so it carries no UTF-8 copy of itself.
int deliver_text(void* ctx, Event kind, const unsigned char* text, size_t length) {
    return guarded(ctx, [&] {
        Ref value(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(text),
                                       static_cast<Py_ssize_t>(length), nullptr));
        if (!value) return fail(ctx, __LINE__);
        return deliver(ctx, kind, value.get());
    });
}

int on_string(void* ctx, const unsigned char* text, size_t length) {
    return deliver_text(ctx, Event::string, text, length);
}

int on_map_key(void* ctx, const unsigned char* text, size_t length) {
    return deliver_text(ctx, Event::map_key, text, length);
}

int on_start_map(void* ctx) { return deliver_guarded(ctx, Event::start_map, Py_None); }
int on_end_map(void* ctx) { return deliver_guarded(ctx, Event::end_map, Py_None); }
int on_start_array(void* ctx) { return deliver_guarded(ctx, Event::start_array, Py_None); }
int on_end_array(void* ctx) { return deliver_guarded(ctx, Event::end_array, Py_None); }

// The backend's decimal configuration: numbers as text, no integer or
// double callbacks.
const YajlCallbacks callbacks = {
    on_null,   on_boolean,   nullptr,    nullptr,        on_number,   on_string,
    on_start_map, on_map_key, on_end_map, on_start_array, on_end_array,
};

class HandleOwner {
public:
    explicit HandleOwner(YajlHandle handle) : handle_(handle) {}
    HandleOwner(const HandleOwner&) = delete;
    HandleOwner& operator=(const HandleOwner&) = delete;
    ~HandleOwner() {
        if (handle_ != nullptr) yajl.free(handle_);
    }
    YajlHandle get() const { return handle_; }

private:
    YajlHandle handle_;
};

// The backend's exception for a failed status, with yajl's verbose message
// decoded as the backend decodes it (bytes when it is not UTF-8).
void raise_parse_error(YajlHandle handle, int status, const unsigned char* text, size_t length) {
    unsigned char* message = yajl.get_error(handle, 1, text, length);
    if (message == nullptr) {
        PyErr_NoMemory();
        return;
    }
    const char* raw = reinterpret_cast<const char*>(message);
    const Py_ssize_t size = static_cast<Py_ssize_t>(std::strlen(raw));
    Ref decoded(PyUnicode_DecodeUTF8(raw, size, nullptr));
    if (!decoded && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        decoded = Ref(PyBytes_FromStringAndSize(raw, size));
    }
    yajl.free_error(handle, message);
    if (!decoded) return;
    PyObject* cls = status == yajl_status_error ? bound.incomplete_error : bound.json_error;
    Ref error = call1(cls, decoded.get());
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

}  // namespace

void remember_parser_bindings() {
    Ref backend_ref = Ref::borrow(PyDict_GetItemString(module_dict, "ijson"));
    Ref builder_ref = Ref::borrow(PyDict_GetItemString(module_dict, "ObjectBuilder"));
    if (!backend_ref || !builder_ref) return;
    PyObject* const backend = backend_ref.get();
    Ref name(attr_or_null(backend, "__name__"));
    if (!name || !PyUnicode_Check(name.get()) ||
        PyUnicode_CompareWithASCIIString(name.get(), "ijson.backends.yajl2_cffi") != 0) {
        return;
    }
    Ref decimal(PyImport_ImportModule("decimal"));
    if (!decimal) {
        PyErr_Clear();
        return;
    }
    ParserBindings found;
    found.common = attr_or_null(backend, "common");
    PyObject* const common = found.common != nullptr ? found.common : Py_None;
    found.parse = attr_or_null(backend, "parse");
    found.get_source = attr_or_null(common, "_get_source");
    found.is_async_file = attr_or_null(common, "is_async_file");
    found.is_file = attr_or_null(common, "is_file");
    found.file_source = attr_or_null(common, "file_source");
    found.integer_or_decimal = attr_or_null(common, "integer_or_decimal");
    found.incomplete_error = attr_or_null(common, "IncompleteJSONError");
    found.json_error = attr_or_null(common, "JSONError");
    found.decimal = attr_or_null(decimal.get(), "Decimal");
    found.read_size = PyLong_FromLong(64 * 1024);
    PyObject* const parts[] = {found.common,           found.parse,
                               found.get_source,       found.is_async_file,
                               found.is_file,          found.file_source,
                               found.integer_or_decimal, found.incomplete_error,
                               found.json_error,       found.decimal,
                               found.read_size};
    bool complete = true;
    for (PyObject* part : parts) complete = complete && part != nullptr;
    if (complete && lookup_lock == nullptr) lookup_lock = PyThread_allocate_lock();
    if (!complete || lookup_lock == nullptr) {
        for (PyObject* part : parts) Py_XDECREF(part);
        PyErr_Clear();
        return;
    }
    found.backend = backend_ref.release();
    found.builder = builder_ref.release();
    bound = found;
}

namespace {

// Whether obj.name is still `expected`: 1 or 0, -1 with an exception set
// (a missing attribute is no exception: the event path meets it itself).
int still_bound(PyObject* obj, const char* name, PyObject* expected) {
    Ref now(PyObject_GetAttrString(obj, name));
    if (!now) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return now.get() == expected;
}

// Whether everything the backend's parse() would look up on its way is
// what the compiled source mirrors: 1 or 0, -1 with an exception set.
int backend_unchanged() {
    struct Binding {
        PyObject* const* owner;
        const char* name;
        PyObject* const* value;
    };
    const Binding bindings[] = {
        {&bound.backend, "parse", &bound.parse},
        {&bound.backend, "common", &bound.common},
        {&bound.common, "_get_source", &bound.get_source},
        {&bound.common, "is_async_file", &bound.is_async_file},
        {&bound.common, "is_file", &bound.is_file},
        {&bound.common, "file_source", &bound.file_source},
        {&bound.common, "integer_or_decimal", &bound.integer_or_decimal},
        {&bound.common, "IncompleteJSONError", &bound.incomplete_error},
        {&bound.common, "JSONError", &bound.json_error},
    };
    for (const Binding& binding : bindings) {
        const int same = still_bound(*binding.owner, binding.name, *binding.value);
        if (same <= 0) return same;
    }
    return 1;
}

}  // namespace

int open_compiled(PyObject* file, Ref& source) {
    if (bound.backend == nullptr) return 0;
    // Compared by identity only; bound.backend is ours for good, so the
    // attribute lookups below need no reference to what the dict holds.
    PyObject* const backend_borrowed = PyDict_GetItemWithError(module_dict, names.ijson);
    if (backend_borrowed != bound.backend) return PyErr_Occurred() ? -1 : 0;
    PyObject* const builder_borrowed = PyDict_GetItemWithError(module_dict, names.ObjectBuilder);
    if (builder_borrowed != bound.builder) return PyErr_Occurred() ? -1 : 0;
    // A helper rebound since import is the backend's to honour.
    const int unchanged = backend_unchanged();
    if (unchanged <= 0) return unchanged;
    const int ready = library_ready();
    if (ready <= 0) return ready;
    const int same_library = still_bound(bound.backend, "yajl", bound.lib);
    if (same_library <= 0) return same_library;
    // parse(): bytes and str become files; an asynchronous file or a
    // non-file source goes the parser's own way.
    Ref file_like = call1(bound.get_source, file);
    if (!file_like) return -1;
    Ref asynchronous = call1(bound.is_async_file, file_like.get());
    if (!asynchronous) return -1;
    const int is_async = PyObject_IsTrue(asynchronous.get());
    if (is_async != 0) return is_async < 0 ? -1 : 0;
    Ref readable = call1(bound.is_file, file_like.get());
    if (!readable) return -1;
    const int is_file = PyObject_IsTrue(readable.get());
    if (is_file <= 0) return is_file;
    source = std::move(file_like);
    return 1;
}

namespace {

// A read as the bytes yajl gets: the chunk itself, or what cffi makes of a
// list or tuple of ints (through the backend's own FFI, so a bad element
// fails as it does there).  len() runs first, as in the backend, so its
// error comes first.  Empty Ref with an exception set when cffi would
// refuse the chunk.
Ref chunk_bytes(PyObject* chunk) {
    if (PyBytes_CheckExact(chunk)) return Ref::borrow(chunk);
    if (PyObject_Length(chunk) < 0) return Ref();
    // A bytes subclass whose len() lies is still read as the bytes it holds.
    if (PyBytes_Check(chunk)) return Ref::borrow(chunk);
    if (PyList_Check(chunk) || PyTuple_Check(chunk)) {
        Ref array(PyObject_CallMethod(bound.ffi, "new", "sO", "unsigned char[]", chunk));
        if (!array) return Ref();
        Ref buffer(PyObject_CallMethod(bound.ffi, "buffer", "O", array.get()));
        if (!buffer) return Ref();
        return Ref(PyBytes_FromObject(buffer.get()));
    }
    if (PyUnicode_Check(chunk)) {
        PyErr_Format(PyExc_TypeError,
                     "initializer for ctype 'unsigned char *' must be a bytes or list or "
                     "tuple, not %.200s",
                     Py_TYPE(chunk)->tp_name);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "initializer for ctype 'unsigned char *' must be a cdata pointer, not "
                     "%.200s",
                     Py_TYPE(chunk)->tp_name);
    }
    return Ref();
}

}  // namespace

int parse_compiled(PyObject* source, EventSink& sink, const Frame& frame) {
    Ref chunks = call2(bound.file_source, source, bound.read_size);
    if (!chunks) PJ_FAIL(frame);
    Ref chunk_iter(PyObject_GetIter(chunks.get()));
    if (!chunk_iter) PJ_FAIL(frame);
    Parse parse{&sink, &frame};
    HandleOwner handle(yajl.alloc(&callbacks, nullptr, &parse));
    if (handle.get() == nullptr) {
        PyErr_NoMemory();
        PJ_FAIL(frame);
    }
    for (;;) {
        Ref chunk;
        const int got = next_item(chunk_iter.get(), chunk);
        if (got < 0) PJ_FAIL(frame);  // the read's own error
        if (got == 0) return 0;
        const int more = PyObject_IsTrue(chunk.get());
        if (more < 0) PJ_FAIL(frame);
        static const unsigned char nothing[1] = {0};
        const unsigned char* text = nothing;
        size_t length = 0;
        Ref data;
        int status;
        if (more) {
            data = chunk_bytes(chunk.get());
            if (!data) PJ_FAIL(frame);
            text = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data.get()));
            length = static_cast<size_t>(PyBytes_GET_SIZE(data.get()));
            status = yajl.parse(handle.get(), text, length);
        } else {
            // The backend takes any false read for the end of the file.
            status = yajl.complete_parse(handle.get());
        }
        if (status == yajl_status_client_canceled && parse.failed) {
            return -1;  // the reader's or a conversion's exception, its entry added
        }
        if (status != yajl_status_ok) {
            // The backend hands the read to yajl once more for the
            // message: a false read cffi cannot take (None, 0, "") fails
            // there instead.
            if (!more && !PyBytes_CheckExact(chunk.get()) && !chunk_bytes(chunk.get())) {
                PJ_FAIL(frame);
            }
            raise_parse_error(handle.get(), status, text, length);
            PJ_FAIL(frame);
        }
        // The backend stops at the empty read and never draws the source again.
        if (!more) return 0;
    }
}

}  // namespace pjson::streaming
