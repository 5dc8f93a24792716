/* Test-only extension module: takes part in the NumPy borrow registry the
 * way another extension module of the process would. Never installed. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>

#include "borrow_api.h"

/* The registry in use: read from the capsule by attach(), or our own. */
static const BorrowApi *current = NULL;

/* Our own registry, installed by install(): it only counts calls and
 * answers every acquisition with a chosen code. */
static long calls[4];
static int answer = 0;
static int own_table;

static int own_acquire(void *flags, PyObject *array) {
    (void)flags; (void)array;
    calls[0]++;
    return answer;
}
static int own_acquire_mut(void *flags, PyObject *array) {
    (void)flags; (void)array;
    calls[1]++;
    return answer;
}
static void own_release(void *flags, PyObject *array) {
    (void)flags; (void)array;
    calls[2]++;
}
static void own_release_mut(void *flags, PyObject *array) {
    (void)flags; (void)array;
    calls[3]++;
}

static BorrowApi own = {1, &own_table, own_acquire, own_acquire_mut, own_release, own_release_mut};

/* attach(multiarray) -> version: use the registry the module carries. */
static PyObject *attach(PyObject *self, PyObject *multiarray) {
    (void)self;
    PyObject *capsule = PyObject_GetAttrString(multiarray, CAPSULE_NAME);
    if (capsule == NULL) return NULL;
    if (!PyCapsule_CheckExact(capsule)) {
        Py_DECREF(capsule);
        PyErr_SetString(PyExc_TypeError, "registry attribute is not a capsule");
        return NULL;
    }
    const BorrowApi *api = PyCapsule_GetPointer(capsule, CAPSULE_NAME);
    if (api == NULL) {
        Py_DECREF(capsule);
        return NULL;
    }
    /* The capsule reference is kept on purpose: the record must outlive us. */
    current = api;
    return PyLong_FromUnsignedLongLong(api->version);
}

/* install(multiarray, version) -> None: put our own registry there first. */
static PyObject *install(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *multiarray;
    unsigned long long version;
    if (!PyArg_ParseTuple(args, "OK", &multiarray, &version)) return NULL;
    own.version = version;
    PyObject *capsule = PyCapsule_New(&own, CAPSULE_NAME, NULL);
    if (capsule == NULL) return NULL;
    int rc = PyObject_SetAttrString(multiarray, CAPSULE_NAME, capsule);
    Py_DECREF(capsule);
    if (rc < 0) return NULL;
    current = &own;
    Py_RETURN_NONE;
}

/* set_answer(code) -> None: what our own registry answers to acquisitions. */
static PyObject *set_answer(PyObject *self, PyObject *arg) {
    (void)self;
    long code = PyLong_AsLong(arg);
    if (code == -1 && PyErr_Occurred()) return NULL;
    answer = (int)code;
    Py_RETURN_NONE;
}

/* own_calls() -> (acquire, acquire_mut, release, release_mut) counts. */
static PyObject *own_calls(PyObject *self, PyObject *unused) {
    (void)self; (void)unused;
    return Py_BuildValue("(llll)", calls[0], calls[1], calls[2], calls[3]);
}

static int need_registry(void) {
    if (current != NULL) return 0;
    PyErr_SetString(PyExc_RuntimeError, "no registry attached");
    return -1;
}

static PyObject *acquire(PyObject *self, PyObject *array) {
    (void)self;
    if (need_registry() < 0) return NULL;
    return PyLong_FromLong(current->acquire(current->flags, array));
}
static PyObject *acquire_mut(PyObject *self, PyObject *array) {
    (void)self;
    if (need_registry() < 0) return NULL;
    return PyLong_FromLong(current->acquire_mut(current->flags, array));
}
static PyObject *release(PyObject *self, PyObject *array) {
    (void)self;
    if (need_registry() < 0) return NULL;
    current->release(current->flags, array);
    Py_RETURN_NONE;
}
static PyObject *release_mut(PyObject *self, PyObject *array) {
    (void)self;
    if (need_registry() < 0) return NULL;
    current->release_mut(current->flags, array);
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"attach", attach, METH_O, NULL},
    {"install", install, METH_VARARGS, NULL},
    {"set_answer", set_answer, METH_O, NULL},
    {"own_calls", own_calls, METH_NOARGS, NULL},
    {"acquire", acquire, METH_O, NULL},
    {"acquire_mut", acquire_mut, METH_O, NULL},
    {"release", release, METH_O, NULL},
    {"release_mut", release_mut, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_borrow_peer", NULL, -1, methods};

PyMODINIT_FUNC PyInit__borrow_peer(void) { return PyModule_Create(&module); }
