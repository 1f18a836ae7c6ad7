// The compiled event source.  The cffi backend spends most of a load in
// Python: a callback per event, an event tuple, a prefix string, a list of
// pending events per chunk.  Here the same yajl library calls straight into
// the reader, while everything the backend does in Python around the parse
// (turning bytes and str into files, the read(0) probe and the text-file
// wrapper with its warning, the 64 KiB reads) is still done by the
// backend's own functions, so the file is read exactly as before.
#include "streaming/yajl_source.hpp"

#include <dlfcn.h>

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

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
    // The backend's own Python pieces around the parse.
    PyObject* get_source = nullptr;
    PyObject* is_async_file = nullptr;
    PyObject* is_file = nullptr;
    PyObject* file_source = nullptr;
    PyObject* incomplete_error = nullptr;  // raised for yajl_status_error
    PyObject* json_error = nullptr;        // for any other failed status
    PyObject* decimal = nullptr;           // decimal.Decimal
    PyObject* read_size = nullptr;         // 65536, the backend's buf_size
};

ParserBindings bound;

// Looks `name` up on `obj`; a new reference, or nullptr with the error cleared.
PyObject* attr_or_null(PyObject* obj, const char* name) {
    PyObject* found = PyObject_GetAttrString(obj, name);
    if (found == nullptr) PyErr_Clear();
    return found;
}

// ===========================================================================
// Finding the library the way the backend found it
// ===========================================================================

// dlopen as cffi's ffi.dlopen does it: a name with a dot or a slash is
// tried as it stands, then ctypes.util.find_library resolves it.
void* open_library(PyObject* name) {
    Ref encoded(PyUnicode_EncodeFSDefault(name));
    if (!encoded) return nullptr;
    const char* text = PyBytes_AS_STRING(encoded.get());
    if (std::strchr(text, '.') != nullptr || std::strchr(text, '/') != nullptr) {
        if (void* handle = dlopen(text, RTLD_NOW)) return handle;
    }
    Ref util(PyImport_ImportModule("ctypes.util"));
    if (!util) return nullptr;
    Ref path(PyObject_CallMethod(util.get(), "find_library", "O", name));
    if (!path || path.get() == Py_None) return nullptr;
    Ref path_bytes(PyUnicode_EncodeFSDefault(path.get()));
    if (!path_bytes) return nullptr;
    return dlopen(PyBytes_AS_STRING(path_bytes.get()), RTLD_NOW);
}

template <typename F>
bool find_symbol(void* handle, const char* name, F& slot) {
    void* symbol = dlsym(handle, name);
    slot = reinterpret_cast<F>(symbol);
    return symbol != nullptr;
}

// Loads yajl once: os.getenv('YAJL_DLL') or 'yajl', major version 2.
bool load_library() {
    if (library != Library::unknown) return library == Library::loaded;
    library = Library::missing;
    Ref os(PyImport_ImportModule("os"));
    Ref configured(os ? PyObject_CallMethod(os.get(), "getenv", "s", "YAJL_DLL") : nullptr);
    const int given = configured ? PyObject_IsTrue(configured.get()) : -1;
    Ref name = given > 0 ? std::move(configured) : Ref(PyUnicode_FromString("yajl"));
    void* handle = given >= 0 && name && PyUnicode_Check(name.get()) ? open_library(name.get())
                                                                      : nullptr;
    PyErr_Clear();
    if (handle == nullptr) return false;
    const bool complete = find_symbol(handle, "yajl_version", yajl.version) &&
                          find_symbol(handle, "yajl_alloc", yajl.alloc) &&
                          find_symbol(handle, "yajl_parse", yajl.parse) &&
                          find_symbol(handle, "yajl_complete_parse", yajl.complete_parse) &&
                          find_symbol(handle, "yajl_get_error", yajl.get_error) &&
                          find_symbol(handle, "yajl_free_error", yajl.free_error) &&
                          find_symbol(handle, "yajl_free", yajl.free);
    if (!complete || yajl.version() / 10000 != 2) {
        dlclose(handle);
        return false;
    }
    library = Library::loaded;  // kept open for the life of the process
    return true;
}

// ===========================================================================
// One parse
// ===========================================================================

// Equal strings as one object: every string of a document is decoded once,
// so a model built from a plain document holds each code once, as one
// built from a compressed document does.  Keys are the UTF-8 text, which a
// strict decode gives back byte for byte.
class StringTable {
public:
    // The str for `text` (borrowed from the table), or nullptr with an error.
    PyObject* get(const char* text, size_t length) {
        const std::string_view key(text, length);
        const auto found = strings_.find(key);
        if (found != strings_.end()) return found->second.get();
        Ref str(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), nullptr));
        if (!str) return nullptr;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size);
        if (utf8 == nullptr) return nullptr;
        PyObject* const result = str.get();
        strings_.emplace(std::string_view(utf8, static_cast<size_t>(size)), std::move(str));
        return result;
    }

private:
    std::unordered_map<std::string_view, Ref> strings_;  // keys point into the values
};

struct Parse {
    EventSink* sink;
    StringTable strings;
    int failed_line = 0;
};

// Hands one event to the reader; yajl goes on while this returns 1.
int fail(void* ctx, int line) {
    static_cast<Parse*>(ctx)->failed_line = line;
    return 0;
}

// yajl calls back into C code only: no exception may cross it.
template <typename Body>
int guarded(void* ctx, Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return fail(ctx, __LINE__);
    }
}

// Hands one event to the reader; yajl goes on while this returns 1.
int deliver(void* ctx, Event kind, PyObject* value) {
    return guarded(ctx, [&] {
        const int line = static_cast<Parse*>(ctx)->sink->event(kind, nullptr, value);
        return line == 0 ? 1 : fail(ctx, line);
    });
}

// int(text) when it has no '.', 'e' or 'E', else decimal.Decimal(text): the
// backend's rule, the interpreter's digit limit included.
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
        const std::string digits(text, length);
        return Ref(PyLong_FromString(digits.c_str(), nullptr, 10));
    }
    Ref str(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), nullptr));
    if (!str) return Ref();
    return call1(bound.decimal, str.get());
}

int on_null(void* ctx) { return deliver(ctx, Event::null, Py_None); }

int on_boolean(void* ctx, int value) {
    return deliver(ctx, Event::boolean, value ? Py_True : Py_False);
}

int on_number(void* ctx, const char* text, size_t length) {
    Ref value = number_value(text, length);
    if (!value) return fail(ctx, __LINE__);
    return deliver(ctx, Event::number, value.get());
}

int on_string(void* ctx, const unsigned char* text, size_t length) {
    return guarded(ctx, [&] {
        PyObject* value =
            static_cast<Parse*>(ctx)->strings.get(reinterpret_cast<const char*>(text), length);
        if (value == nullptr) return fail(ctx, __LINE__);
        return deliver(ctx, Event::string, value);
    });
}

int on_map_key(void* ctx, const unsigned char* text, size_t length) {
    return guarded(ctx, [&] {
        PyObject* value =
            static_cast<Parse*>(ctx)->strings.get(reinterpret_cast<const char*>(text), length);
        if (value == nullptr) return fail(ctx, __LINE__);
        return deliver(ctx, Event::map_key, value);
    });
}

int on_start_map(void* ctx) { return deliver(ctx, Event::start_map, Py_None); }
int on_end_map(void* ctx) { return deliver(ctx, Event::end_map, Py_None); }
int on_start_array(void* ctx) { return deliver(ctx, Event::start_array, Py_None); }
int on_end_array(void* ctx) { return deliver(ctx, Event::end_array, Py_None); }

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

// cffi's refusal of a chunk that is not bytes, after len() as the backend
// computes it first.
void refuse_chunk(PyObject* chunk) {
    if (PyObject_Length(chunk) < 0) return;
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
    Ref common(attr_or_null(backend, "common"));
    Ref decimal(PyImport_ImportModule("decimal"));
    if (!common || !decimal) {
        PyErr_Clear();
        return;
    }
    ParserBindings found;
    found.parse = attr_or_null(backend, "parse");
    found.get_source = attr_or_null(common.get(), "_get_source");
    found.is_async_file = attr_or_null(common.get(), "is_async_file");
    found.is_file = attr_or_null(common.get(), "is_file");
    found.file_source = attr_or_null(common.get(), "file_source");
    found.incomplete_error = attr_or_null(common.get(), "IncompleteJSONError");
    found.json_error = attr_or_null(common.get(), "JSONError");
    found.decimal = attr_or_null(decimal.get(), "Decimal");
    found.read_size = PyLong_FromLong(64 * 1024);
    PyObject* const parts[] = {found.parse,      found.get_source,       found.is_async_file,
                               found.is_file,    found.file_source,      found.incomplete_error,
                               found.json_error, found.decimal,          found.read_size};
    bool complete = true;
    for (PyObject* part : parts) complete = complete && part != nullptr;
    if (!complete) {
        for (PyObject* part : parts) Py_XDECREF(part);
        PyErr_Clear();
        return;
    }
    found.backend = backend_ref.release();
    found.builder = builder_ref.release();
    bound = found;
}

int open_compiled(PyObject* file, Ref& source) {
    if (bound.backend == nullptr) return 0;
    // Compared by identity only; bound.backend is ours for good, so the
    // attribute lookup below needs no reference to what the dict holds.
    PyObject* const backend_borrowed = PyDict_GetItemWithError(module_dict, names.ijson);
    if (backend_borrowed != bound.backend) return PyErr_Occurred() ? -1 : 0;
    PyObject* const builder_borrowed = PyDict_GetItemWithError(module_dict, names.ObjectBuilder);
    if (builder_borrowed != bound.builder) return PyErr_Occurred() ? -1 : 0;
    Ref parse(PyObject_GetAttr(bound.backend, names.parse));
    if (!parse) {
        PyErr_Clear();  // the parser's own path raises it again, as it always did
        return 0;
    }
    if (parse.get() != bound.parse || !load_library()) return 0;
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

int parse_compiled(PyObject* source, EventSink& sink) {
    Ref chunks = call2(bound.file_source, source, bound.read_size);
    if (!chunks) return __LINE__;
    Ref chunk_iter(PyObject_GetIter(chunks.get()));
    if (!chunk_iter) return __LINE__;
    Parse parse{&sink, {}, 0};
    HandleOwner handle(yajl.alloc(&callbacks, nullptr, &parse));
    if (handle.get() == nullptr) {
        PyErr_NoMemory();
        return __LINE__;
    }
    for (;;) {
        Ref chunk;
        const int got = next_item(chunk_iter.get(), chunk);
        if (got < 0) return __LINE__;  // the read's own error
        if (got == 0) return 0;
        const int more = PyObject_IsTrue(chunk.get());
        if (more < 0) return __LINE__;
        static const unsigned char nothing[1] = {0};
        const unsigned char* text = nothing;
        size_t length = 0;
        int status;
        if (more) {
            if (!PyBytes_Check(chunk.get())) {
                refuse_chunk(chunk.get());
                return __LINE__;
            }
            text = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(chunk.get()));
            length = static_cast<size_t>(PyBytes_GET_SIZE(chunk.get()));
            status = yajl.parse(handle.get(), text, length);
        } else {
            status = yajl.complete_parse(handle.get());
        }
        if (status == yajl_status_client_canceled && parse.failed_line != 0) {
            return parse.failed_line;  // the reader's or a conversion's exception
        }
        if (status != yajl_status_ok) {
            raise_parse_error(handle.get(), status, text, length);
            return __LINE__;
        }
        // The backend stops at the empty read and never draws the source again.
        if (!more) return 0;
    }
}

}  // namespace pjson::streaming
