// Module initialisation: version check, module-level bindings and the four
// published functions.
#include "failure.hpp"
#include "functions.hpp"
#include "globals.hpp"
#include "module/binding.hpp"
#include "names.hpp"

#include <cstdio>

namespace pjson {

namespace {

// ===========================================================================
// Published functions
// ===========================================================================

using Body = PyObject* (*)(PyObject*, PyObject*, PyObject*);

template <const Signature& sig, const Frame& frame, Body body>
PyObject* entry(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
    Ref bound[3];
    if (bind_arguments(sig, args, kwargs, bound) < 0) PJ_FAIL(frame);
    return body(bound[0].get(), bound[1].get(), bound[2].get());
}

// Both writers take (chain, file, frequency_compress=True), both readers
// (chain, file, merge=False).
Signature writer_signature(const char* name) {
    return {name, {&names.chain, &names.file, &names.frequency_compress}, Py_True};
}

Signature reader_signature(const char* name) {
    return {name, {&names.chain, &names.file, &names.merge}, Py_False};
}

Signature dump_small_sig = writer_signature("dump_json_small");
Signature load_small_sig = reader_signature("load_json_small");
Signature dump_big_sig = writer_signature("dump_json_big");
Signature load_big_sig = reader_signature("load_json_big");

template <PyCFunctionWithKeywords f>
constexpr PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// Text signatures let inspect.signature() and help() show the parameters.
PyMethodDef function_defs[] = {
    {"dump_json_small",
     as_cfunction<entry<dump_small_sig, kDumpSmallFrame, dump_json_small>>(),
     METH_VARARGS | METH_KEYWORDS,
     "dump_json_small(chain, file, frequency_compress=True)\n--\n\n"
     "Save a chain model as one JSON document, built whole in memory and\n"
     "handed to the JSON library in a single dump call."},
    {"load_json_small",
     as_cfunction<entry<load_small_sig, kLoadSmallFrame, load_json_small>>(),
     METH_VARARGS | METH_KEYWORDS,
     "load_json_small(chain, file, merge=False)\n--\n\n"
     "Load a chain document parsed whole; replace the model's contents, or\n"
     "add to them when merge is true."},
    {"dump_json_big",
     as_cfunction<entry<dump_big_sig, kDumpBigFrame, dump_json_big>>(),
     METH_VARARGS | METH_KEYWORDS,
     "dump_json_big(chain, file, frequency_compress=True)\n--\n\n"
     "Save a chain model piece by piece through file.write, never holding\n"
     "the document in memory."},
    {"load_json_big",
     as_cfunction<entry<load_big_sig, kLoadBigFrame, load_json_big>>(),
     METH_VARARGS | METH_KEYWORDS,
     "load_json_big(chain, file, merge=False)\n--\n\n"
     "Load a chain document event by event from the incremental parser;\n"
     "replace the model's contents, or add to them when merge is true."},
};

// ===========================================================================
// Initialisation
// ===========================================================================

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pavro_cjson",  // m_name
    nullptr,        // m_doc
    -1,             // m_size: single-phase, no per-interpreter state
    nullptr,        // m_methods: functions are bound as objects below
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;  // owned; lives until shutdown

// The traceback name of a failed initialisation.
constexpr Frame kInit{"init pavro_cjson"};

// Warns when the interpreter running us is not the major.minor version
// these headers describe (a wheel copied to the wrong interpreter).
int check_version() {
    char built[32];
    std::snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return 0;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char running[32];
    std::snprintf(running, sizeof running, "%d.%d", major, minor);
    return PyErr_WarnFormat(
        nullptr, 1, "compiletime version %s of module '%.100s' does not match runtime version %s",
        built, "pavro_cjson", running);
}

// import name  (absolute)
Ref import(const char* name) {
    Ref module_name(PyUnicode_FromString(name));
    if (!module_name) return Ref();
    return Ref(PyImport_ImportModuleLevelObject(module_name.get(), module_dict,
                                                nullptr, nullptr, 0));
}

// from package import attr
Ref import_from(const char* package, const char* attr) {
    Ref package_name(PyUnicode_FromString(package));
    Ref attr_name(PyUnicode_FromString(attr));
    if (!package_name || !attr_name) return Ref();
    Ref fromlist(PyTuple_Pack(1, attr_name.get()));
    if (!fromlist) return Ref();
    Ref module(PyImport_ImportModuleLevelObject(package_name.get(), module_dict,
                                                nullptr, fromlist.get(), 0));
    if (!module) return Ref();
    Ref value(PyObject_GetAttr(module.get(), attr_name.get()));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", attr_name.get());
    }
    return value;
}

// Imports `first`, or `fallback` when `first` raises ImportError.
Ref import_with_fallback(Ref first, const char* fallback) {
    if (first) return first;
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return Ref();
    PyErr_Clear();
    return import(fallback);
}

int bind(PyObject* name, Ref value) {
    if (!value) return -1;
    return PyDict_SetItem(module_dict, name, value.get());
}

int bind(const char* name, Ref value) {
    if (!value) return -1;
    return PyDict_SetItemString(module_dict, name, value.get());
}

// The module body: every module-level name in its fixed order.  Returns
// 0, or -1 with the entry of the failing statement added.
int run_body(PyObject* module) {
    if (bind(names.json, import_with_fallback(import("ujson"), "json")) < 0) PJ_FAIL(kInit);
    if (bind(names.math, import("math")) < 0) PJ_FAIL(kInit);
    if (bind(names.OrderedDict, import_from("collections", "OrderedDict")) < 0) PJ_FAIL(kInit);
    if (bind(names.ObjectBuilder, import_from("ijson", "ObjectBuilder")) < 0) PJ_FAIL(kInit);
    if (bind(names.ProbabilityBag, import_from("pavro.bag", "ProbabilityBag")) < 0) PJ_FAIL(kInit);
    if (bind(names.ijson,
             import_with_fallback(import_from("ijson.backends", "yajl2_cffi"), "ijson")) < 0)
        PJ_FAIL(kInit);
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) PJ_FAIL(kInit);
    Ref owned_name(module_name);
    for (PyMethodDef& def : function_defs) {
        if (bind(def.ml_name, Ref(PyCFunction_NewEx(&def, nullptr, module_name))) < 0)
            PJ_FAIL(kInit);
    }
    if (bind("__test__", Ref(PyDict_New())) < 0) PJ_FAIL(kInit);
    return 0;
}

// Drops a half-built module: out of sys.modules if we put it there, and no
// longer the dictionary name lookups go to.
void discard(bool registered) {
    if (registered) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (PyDict_DelItemString(PyImport_GetModuleDict(), "pavro_cjson") < 0) PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
    module_dict = nullptr;
}

// Puts the new module into sys.modules (unless a module of its name is
// there already, `registered` says which) and runs everything the module
// needs, in order.  0, or -1 with the failing statement's entry added.
int make(PyObject* module, bool& registered) {
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr || PyDict_SetItemString(module_dict, "__builtins__", builtins) < 0)
        PJ_FAIL(kInit);
    // Registered early so that code run by the imports below can find us.
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref name(PyModule_GetNameObject(module));
    const int present = name ? PyDict_Contains(modules, name.get()) : -1;
    if (present < 0) PJ_FAIL(kInit);
    if (present == 0) {
        if (PyDict_SetItemString(modules, "pavro_cjson", module) < 0) PJ_FAIL(kInit);
        registered = true;
    }
    if (init_dump_json_small() < 0 || init_dump_json_big() < 0 || init_load_json_big() < 0)
        PJ_FAIL(kInit);
    if (run_body(module) < 0) return -1;
    bind_load_json_big();
    return 0;
}

PyObject* init_module() {
    if (the_module != nullptr) {
        Py_INCREF(the_module);
        return the_module;
    }
    if (check_version() < 0) return nullptr;
    if (init_names() < 0) return nullptr;

    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    module_dict = PyModule_GetDict(module.get());  // borrowed from the module
    bool registered = false;
    if (make(module.get(), registered) < 0) {
        discard(registered);
        return nullptr;
    }
    the_module = module.release();
    Py_INCREF(the_module);
    return the_module;
}

}  // namespace

}  // namespace pjson

// Before 3.9 PyMODINIT_FUNC carries no visibility of its own, and the
// build hides everything by default.
#if PY_VERSION_HEX < 0x03090000
#define PJSON_MODINIT extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define PJSON_MODINIT PyMODINIT_FUNC
#endif

PJSON_MODINIT PyInit_pavro_cjson(void) {
    PyObject* module = pjson::init_module();
    if (module == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init pavro_cjson");
    }
    return module;
}
