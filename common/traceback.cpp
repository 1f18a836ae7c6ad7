// Traceback entries for functions written in C.
#include "traceback.hpp"

#include "ref.hpp"

#include <frameobject.h>

namespace common {

void add_traceback(const char* filename, const char* funcname, int line, PyObject* globals) {
    // Building the code and frame objects may itself fail or clear the
    // error indicator, so the exception is parked while they are made.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(filename, funcname, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        Ref fallback;
        if (globals == nullptr) {  // no module dictionary (yet)
            fallback = Ref(PyDict_New());
            if (fallback) {
                PyDict_SetItemString(fallback.get(), "__builtins__",
                                     PyEval_GetBuiltins());
            }
            globals = fallback.get();
        }
        if (globals != nullptr) {
            frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        }
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) {
#if PY_VERSION_HEX < 0x030B0000
        // Before 3.11 the frame struct is public and its line is read
        // directly; from 3.11 on the empty code object carries the line.
        frame->f_lineno = line;
#endif
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

}  // namespace common
