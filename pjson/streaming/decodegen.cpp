// The decoding generator type.  It presents itself as a generator named
// "genexpr" (send, throw, close, __name__, __qualname__) and is registered
// as a collections.abc.Generator, so models can treat it like the
// generator expression it stands for.
#include "streaming/decodegen.hpp"

#include "document/document.hpp"
#include "failure.hpp"

#include <structmember.h>

namespace pjson {

namespace {

constexpr Frame kGenexpr{"genexpr"};

struct DecodeGenerator {
    PyObject_HEAD
    PyObject* iterator;  // over the follower; nullptr once finished
    PyObject* codes;     // the decoding map; nullptr once finished
    PyObject* ranks;     // its rank index; nullptr once finished
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    char running;
    char started;
};

SignalCheck signal_ticks;  // shared by all steps; the GIL serialises them

PyObject* gen_name = nullptr;      // "genexpr"
PyObject* gen_qualname = nullptr;  // "load_json_big.<locals>.genexpr"

void finish(DecodeGenerator* self) {
    Py_CLEAR(self->iterator);
    Py_CLEAR(self->codes);
    Py_CLEAR(self->ranks);
}

int gen_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<DecodeGenerator*>(op);
    Py_VISIT(self->iterator);
    Py_VISIT(self->codes);
    Py_VISIT(self->ranks);
    return 0;
}

int gen_clear(PyObject* op) {
    finish(reinterpret_cast<DecodeGenerator*>(op));
    return 0;
}

void gen_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<DecodeGenerator*>(op);
    PyObject_GC_UnTrack(op);
    if (self->weakrefs != nullptr) PyObject_ClearWeakRefs(op);
    finish(self);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    PyObject_GC_Del(op);
}

int refuse_while_running(const DecodeGenerator* self) {
    if (!self->running) return 0;
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return -1;
}

// One step: the next element's code, KeyError for an element the map lacks.
PyObject* gen_iternext(PyObject* op) {
    auto* self = reinterpret_cast<DecodeGenerator*>(op);
    if (self->iterator == nullptr) return nullptr;
    if (refuse_while_running(self) < 0) return nullptr;
    // Drawing the follower and comparing keys can run Python code; the step
    // keeps its own references so nothing it uses can vanish under it.
    Ref iterator = Ref::borrow(self->iterator);
    Ref codes = Ref::borrow(self->codes);
    Ref ranks = Ref::borrow(self->ranks);
    self->running = 1;
    self->started = 1;
    Ref element;
    const int got = next_item(iterator.get(), element);
    Ref code;
    if (got > 0) code = document::decode(codes.get(), ranks.get(), element.get());
    self->running = 0;
    // A model drawing from C code runs no bytecode between steps, so the
    // steps themselves let Ctrl-C through.
    if (got > 0 && code && signal_ticks.tick() < 0) code.reset();
    if (got > 0 && code) return code.release();
    // Exhausted or failed: a generator that raised is finished too.
    finish(self);
    if (got == 0) return nullptr;
    PJ_FAIL(kGenexpr);  // KeyError, the follower's own error, or an interrupt
}

// send(value): a generator expression ignores what is sent, except that
// nothing but None may start it.
PyObject* gen_send(PyObject* op, PyObject* value) {
    auto* self = reinterpret_cast<DecodeGenerator*>(op);
    if (!self->started && self->iterator != nullptr && value != Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* result = gen_iternext(op);
    if (result == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

// throw(type[, value[, traceback]]): the generator finishes and the
// exception comes back out, as from a generator suspended at a yield.  Bad
// arguments leave it as it was.
PyObject* gen_throw(PyObject* op, PyObject* args) {
    PyObject* type;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &tb)) return nullptr;
    auto* self = reinterpret_cast<DecodeGenerator*>(op);
    if (refuse_while_running(self) < 0) return nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb != nullptr && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc_type;
    if (PyExceptionClass_Check(type)) {
        exc_type = type;
        if (value == nullptr) value = Py_None;
    } else if (PyExceptionInstance_Check(type)) {
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "instance exception may not have a separate value");
            return nullptr;
        }
        exc_type = reinterpret_cast<PyObject*>(Py_TYPE(type));
        value = type;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from "
                     "BaseException, not %.200s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    self->started = 1;
    finish(self);
    PyErr_SetObject(exc_type, value);
    if (tb != nullptr) {
        PyObject *t, *v, *old_tb;
        PyErr_Fetch(&t, &v, &old_tb);
        Py_XDECREF(old_tb);
        Py_INCREF(tb);
        PyErr_Restore(t, v, tb);
    }
    PJ_FAIL(kGenexpr);
}

PyObject* gen_close(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<DecodeGenerator*>(op);
    if (refuse_while_running(self) < 0) return nullptr;
    finish(self);
    Py_RETURN_NONE;
}

PyObject* gen_repr(PyObject* op) {
    auto* self = reinterpret_cast<DecodeGenerator*>(op);
    return PyUnicode_FromFormat("<generator object %S at %p>", self->qualname, op);
}

PyObject* gen_get_running(PyObject* op, void*) {
    return PyBool_FromLong(reinterpret_cast<DecodeGenerator*>(op)->running);
}

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, "send(arg) -> send 'arg' into generator."},
    {"throw", gen_throw, METH_VARARGS, "throw(typ[,val[,tb]]) -> raise exception in generator."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef gen_members[] = {
    {const_cast<char*>("__name__"), T_OBJECT, offsetof(DecodeGenerator, name), READONLY, nullptr},
    {const_cast<char*>("__qualname__"), T_OBJECT, offsetof(DecodeGenerator, qualname), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef gen_getset[] = {
    {const_cast<char*>("gi_running"), gen_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject DecodeGeneratorType = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

Ref new_decode_generator(PyObject* follower, PyObject* codes, PyObject* ranks) {
    Ref iterator(PyObject_GetIter(follower));
    if (!iterator) return Ref();
    auto* self = PyObject_GC_New(DecodeGenerator, &DecodeGeneratorType);
    if (self == nullptr) return Ref();
    self->iterator = iterator.release();
    Py_INCREF(codes);
    self->codes = codes;
    Py_INCREF(ranks);
    self->ranks = ranks;
    Py_INCREF(gen_name);
    self->name = gen_name;
    Py_INCREF(gen_qualname);
    self->qualname = gen_qualname;
    self->weakrefs = nullptr;
    self->running = 0;
    self->started = 0;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(self));
    return Ref(reinterpret_cast<PyObject*>(self));
}

namespace {

int ready_type() {
    collected_type(DecodeGeneratorType, "pavro_cjson.generator", sizeof(DecodeGenerator),
                   nullptr, gen_dealloc, gen_traverse, gen_clear);
    DecodeGeneratorType.tp_repr = gen_repr;
    DecodeGeneratorType.tp_weaklistoffset = offsetof(DecodeGenerator, weakrefs);
    DecodeGeneratorType.tp_iter = PyObject_SelfIter;
    DecodeGeneratorType.tp_iternext = gen_iternext;
    DecodeGeneratorType.tp_methods = gen_methods;
    DecodeGeneratorType.tp_members = gen_members;
    DecodeGeneratorType.tp_getset = gen_getset;
    return PyType_Ready(&DecodeGeneratorType);
}

// Registered so isinstance(g, collections.abc.Generator) holds whatever
// Generator's subclass hook asks of a type.  Apart from readying the type:
// an import that failed in between leaves a ready type unregistered, and
// the retry must still register it.
bool registered_as_generator = false;

int register_as_generator() {
    if (registered_as_generator) return 0;
    Ref abc(PyImport_ImportModule("collections.abc"));
    if (!abc) return -1;
    Ref generator_abc(PyObject_GetAttrString(abc.get(), "Generator"));
    if (!generator_abc) return -1;
    Ref registered(PyObject_CallMethod(generator_abc.get(), "register", "O",
                                       reinterpret_cast<PyObject*>(&DecodeGeneratorType)));
    if (!registered) return -1;
    registered_as_generator = true;
    return 0;
}

}  // namespace

int init_decode_generator() {
    if (gen_name == nullptr) {
        gen_name = PyUnicode_InternFromString("genexpr");
        if (gen_name == nullptr) return -1;
    }
    if (gen_qualname == nullptr) {
        gen_qualname = PyUnicode_InternFromString("load_json_big.<locals>.genexpr");
        if (gen_qualname == nullptr) return -1;
    }
    if (!(DecodeGeneratorType.tp_flags & Py_TPFLAGS_READY) && ready_type() < 0) return -1;
    return register_as_generator();
}

}  // namespace pjson
