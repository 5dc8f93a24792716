/* Test-only extension module: calls the borrow registry's hooks from
 * several native threads at once, without the interpreter lock, the way
 * another extension module's worker threads may. Never installed. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>

#include "borrow_api.h"

typedef struct {
    pthread_barrier_t *start;  /* all threads begin together */
    const BorrowApi *api;
    PyObject *shared;  /* read by every thread */
    PyObject *own;     /* written by this thread only */
    long rounds;
    long unexpected;   /* acquisitions that did not return 0 */
} Worker;

static void *work(void *arg) {
    Worker *w = arg;
    pthread_barrier_wait(w->start);
    for (long i = 0; i < w->rounds; i++) {
        if (w->api->acquire(w->api->flags, w->shared) == 0) {
            w->api->release(w->api->flags, w->shared);
        } else {
            w->unexpected++;
        }
        if (w->api->acquire_mut(w->api->flags, w->own) == 0) {
            w->api->release_mut(w->api->flags, w->own);
        } else {
            w->unexpected++;
        }
    }
    return NULL;
}

#define MAX_THREADS 16

/* hammer(capsule, shared, owns, rounds) -> unexpected refusals: one thread
 * per array in `owns` (a tuple), each borrowing `shared` for reading and
 * its own array for writing, `rounds` times, with the interpreter lock
 * released. The caller keeps every array alive. */
static PyObject *hammer(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *capsule, *shared, *owns;
    long rounds;
    if (!PyArg_ParseTuple(args, "OOO!l", &capsule, &shared, &PyTuple_Type, &owns, &rounds)) return NULL;
    const BorrowApi *api = PyCapsule_GetPointer(capsule, "_RUST_NUMPY_BORROW_CHECKING_API");
    if (api == NULL) return NULL;
    Py_ssize_t count = PyTuple_GET_SIZE(owns);
    if (count < 1 || count > MAX_THREADS) {
        PyErr_SetString(PyExc_ValueError, "1 to 16 arrays of their own");
        return NULL;
    }
    Worker workers[MAX_THREADS];
    pthread_t threads[MAX_THREADS];
    pthread_barrier_t start;
    Py_ssize_t started = 0;
    Py_BEGIN_ALLOW_THREADS
    pthread_barrier_init(&start, NULL, (unsigned)count);
    for (; started < count; started++) {
        workers[started] = (Worker){&start, api, shared, PyTuple_GET_ITEM(owns, started), rounds, 0};
        if (pthread_create(&threads[started], NULL, work, &workers[started]) != 0) abort();
    }
    for (Py_ssize_t i = 0; i < started; i++) pthread_join(threads[i], NULL);
    pthread_barrier_destroy(&start);
    Py_END_ALLOW_THREADS
    long unexpected = 0;
    for (Py_ssize_t i = 0; i < count; i++) unexpected += workers[i].unexpected;
    return PyLong_FromLong(unexpected);
}

static PyMethodDef methods[] = {
    {"hammer", hammer, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_registry_threads", NULL, -1, methods};

PyMODINIT_FUNC PyInit__registry_threads(void) { return PyModule_Create(&module); }
