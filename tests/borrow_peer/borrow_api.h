/* The record behind the shared borrow registry capsule, as the test-only
 * C modules see it: its layout is the interface between extension modules. */
#ifndef BORROW_API_H
#define BORROW_API_H

#include <Python.h>
#include <stdint.h>

#define CAPSULE_NAME "_RUST_NUMPY_BORROW_CHECKING_API"

typedef struct {
    uint64_t version;
    void *flags;
    int (*acquire)(void *, PyObject *);
    int (*acquire_mut)(void *, PyObject *);
    void (*release)(void *, PyObject *);
    void (*release_mut)(void *, PyObject *);
} BorrowApi;

#endif
