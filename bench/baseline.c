/* Benchmark-only baseline: the cheapest possible call-through with the calling convention of
 * CallImportHookRemovingFrames (METH_VARARGS | METH_KEYWORDS). bench.py compiles it at run time.
 * call() does nothing but hand its argument tuple and keyword dictionary to the stored hook. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *hook = NULL;

static PyObject *set_hook(PyObject *self, PyObject *new_hook) {
    PyObject *previous = hook;
    Py_INCREF(new_hook);
    hook = new_hook;
    Py_XDECREF(previous);
    Py_RETURN_NONE;
}

static PyObject *call(PyObject *self, PyObject *args, PyObject *kwargs) {
    return PyObject_Call(hook, args, kwargs);
}

static PyMethodDef methods[] = {
    {"set_hook", set_hook, METH_O, NULL},
    {"call", (PyCFunction)(void (*)(void))call, METH_VARARGS | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "bench_baseline", NULL, -1, methods};

PyMODINIT_FUNC PyInit_bench_baseline(void) {
    PyObject *module = PyModule_Create(&moduledef);
#ifdef Py_GIL_DISABLED
    /* Measured single-threaded: it must not turn the GIL on for the module it is compared with. */
    if (module != NULL && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_CLEAR(module);
    }
#endif
    return module;
}
