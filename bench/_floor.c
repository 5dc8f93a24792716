/* Floor kernels for bench/run.py: the cheapest C that does each job, so the
 * module's timings can be read as multiples of what the machine allows.
 * Built by bench/_build.py into build/bench; never installed. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <pthread.h>
#include <immintrin.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

/* ---- read floor: sum a float64 array once ---------------------------- */

static double sum_scalar(const char *p, Py_ssize_t n, Py_ssize_t stride) {
    /* four accumulators so the add latency does not bound the loop */
    double a0 = 0, a1 = 0, a2 = 0, a3 = 0;
    Py_ssize_t i = 0;
    for (; i + 4 <= n; i += 4) {
        a0 += *(const double *)(p + (i + 0) * stride);
        a1 += *(const double *)(p + (i + 1) * stride);
        a2 += *(const double *)(p + (i + 2) * stride);
        a3 += *(const double *)(p + (i + 3) * stride);
    }
    for (; i < n; i++) a0 += *(const double *)(p + i * stride);
    return (a0 + a1) + (a2 + a3);
}

__attribute__((target("avx2"))) static double sum_avx2(const double *p, Py_ssize_t n) {
    __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
    Py_ssize_t i = 0;
    for (; i + 16 <= n; i += 16) {
        a0 = _mm256_add_pd(a0, _mm256_loadu_pd(p + i));
        a1 = _mm256_add_pd(a1, _mm256_loadu_pd(p + i + 4));
        a2 = _mm256_add_pd(a2, _mm256_loadu_pd(p + i + 8));
        a3 = _mm256_add_pd(a3, _mm256_loadu_pd(p + i + 12));
    }
    __m256d s = _mm256_add_pd(_mm256_add_pd(a0, a1), _mm256_add_pd(a2, a3));
    double lanes[4];
    _mm256_storeu_pd(lanes, s);
    double r = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    for (; i < n; i++) r += p[i];
    return r;
}

static int have_avx2;

static int get_f64_view(PyObject *obj, Py_buffer *v) {
    if (PyObject_GetBuffer(obj, v, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return -1;
    if (v->ndim != 1 || v->itemsize != 8 || !v->format || strcmp(v->format, "d") != 0) {
        PyBuffer_Release(v);
        PyErr_SetString(PyExc_TypeError, "need a 1-d float64 buffer");
        return -1;
    }
    return 0;
}

static PyObject *read_sum(PyObject *self, PyObject *arg) {
    Py_buffer v;
    if (get_f64_view(arg, &v) < 0) return NULL;
    Py_ssize_t n = v.shape[0], st = v.strides[0];
    double r = (st == 8 && have_avx2) ? sum_avx2((const double *)v.buf, n)
                                      : sum_scalar((const char *)v.buf, n, st);
    PyBuffer_Release(&v);
    return PyFloat_FromDouble(r);
}

/* ---- write floor: n int16 values ------------------------------------- */

/* One buffer reused by every call (pages faulted once): the steady state. */
static int16_t *reuse_buf;
static size_t reuse_cap;

static int16_t *reused(Py_ssize_t n) {
    size_t need = (size_t)n * 2;
    if (need > reuse_cap) {
        int16_t *nb = realloc(reuse_buf, need);
        if (!nb) return NULL;
        reuse_buf = nb;
        reuse_cap = need;
        memset(reuse_buf, 0, need);
    }
    return reuse_buf;
}

static void fill(int16_t *out, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; i++) out[i] = (int16_t)(i & 0x7fff);
}

static PyObject *write_reused(PyObject *self, PyObject *arg) {
    Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n < 0 && PyErr_Occurred()) return NULL;
    int16_t *out = reused(n);
    if (!out) return PyErr_NoMemory();
    fill(out, n);
    Py_RETURN_NONE;
}

/* A fresh mapping per call, returned as a capsule that unmaps it, so the
   caller can keep it alive: every page is new to the process. */
static void unmap_capsule(PyObject *cap) {
    void *p = PyCapsule_GetPointer(cap, "floor.mapping");
    size_t len = (size_t)(uintptr_t)PyCapsule_GetContext(cap);
    if (p) munmap(p, len);
}

static PyObject *write_fresh(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "write_fresh(n, huge_pages)");
        return NULL;
    }
    Py_ssize_t n = PyLong_AsSsize_t(args[0]);
    if (n < 0 && PyErr_Occurred()) return NULL;
    int huge = PyObject_IsTrue(args[1]);
    const size_t huge_sz = (size_t)2 << 20;
    size_t page = huge ? huge_sz : 4096;
    size_t len = ((size_t)n * 2 + page - 1) & ~(page - 1);
    if (len == 0) len = page;
    size_t map_len = huge ? len + huge_sz : len;
    char *m = mmap(NULL, map_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return PyErr_SetFromErrno(PyExc_OSError);
    char *p = m;
    if (huge) {
        /* start on a 2 MB boundary so every page can be a huge one */
        p = (char *)(((uintptr_t)m + huge_sz - 1) & ~(uintptr_t)(huge_sz - 1));
        if (p > m) munmap(m, (size_t)(p - m));
        size_t tail = (size_t)(m + map_len - (p + len));
        if (tail) munmap(p + len, tail);
        madvise(p, len, MADV_HUGEPAGE);
    }
    fill((int16_t *)p, n);
    PyObject *cap = PyCapsule_New(p, "floor.mapping", unmap_capsule);
    if (!cap) {
        munmap(p, len);
        return NULL;
    }
    PyCapsule_SetContext(cap, (void *)(uintptr_t)len);
    return cap;
}

/* ---- copy floor: read f64, scale, round, store i16 (no checks) -------- */

__attribute__((target("avx2"))) static void convert_avx2(const double *p, int16_t *out,
                                                          Py_ssize_t n) {
    const __m256d k = _mm256_set1_pd(32767.0);
    Py_ssize_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i a = _mm256_cvtpd_epi32(_mm256_mul_pd(_mm256_loadu_pd(p + i), k));
        __m128i b = _mm256_cvtpd_epi32(_mm256_mul_pd(_mm256_loadu_pd(p + i + 4), k));
        _mm_storeu_si128((__m128i *)(out + i), _mm_packs_epi32(a, b));
    }
    for (; i < n; i++) out[i] = (int16_t)(p[i] * 32767.0 + 0.5);
}

static PyObject *convert_floor(PyObject *self, PyObject *arg) {
    Py_buffer v;
    if (get_f64_view(arg, &v) < 0) return NULL;
    Py_ssize_t n = v.shape[0], st = v.strides[0];
    int16_t *out = reused(n);
    if (!out) {
        PyBuffer_Release(&v);
        return PyErr_NoMemory();
    }
    if (st == 8 && have_avx2) {
        convert_avx2((const double *)v.buf, out, n);
    } else {
        const char *p = (const char *)v.buf;
        for (Py_ssize_t i = 0; i < n; i++)
            out[i] = (int16_t)(*(const double *)(p + i * st) * 32767.0 + 0.5);
    }
    PyBuffer_Release(&v);
    Py_RETURN_NONE;
}

/* ---- call-overhead anchors -------------------------------------------- */

static PyObject *bare(PyObject *self, PyObject *arg) { Py_RETURN_NONE; }

/* The buffer method takes and releases a buffer view of its argument. The
   locked one also does what a shared borrow registry must: take and release
   its lock once to register the array, and once to unregister it. */
static pthread_mutex_t registry_lock = PTHREAD_MUTEX_INITIALIZER;

static PyObject *view_once(PyObject *const *args, Py_ssize_t nargs, int locked) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "one argument");
        return NULL;
    }
    Py_buffer v;
    if (PyObject_GetBuffer(args[0], &v, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return NULL;
    for (int i = 0; i < 2 * locked; i++) {
        pthread_mutex_lock(&registry_lock);
        pthread_mutex_unlock(&registry_lock);
    }
    PyBuffer_Release(&v);
    Py_RETURN_NONE;
}

static PyObject *buf_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    return view_once(args, nargs, 0);
}

static PyObject *buf_method_locked(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    return view_once(args, nargs, 1);
}

/* The least a setter must do: match one parameter given by position or
   keyword in a fast call, check the receiver's type, take an access flag
   with a compare-exchange, convert with PyFloat_AsDouble, store, release. */
typedef struct {
    PyObject_HEAD
    uintptr_t flag;
    double value;
} Setter;

static PyTypeObject *setter_type;
static PyObject *setter_keyword; /* interned "intensity" */

static PyObject *setter_set(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw != 1) {
        PyErr_SetString(PyExc_TypeError, "set() takes 1 argument");
        return NULL;
    }
    if (nkw == 1) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, 0);
        if (keyword != setter_keyword && PyUnicode_Compare(keyword, setter_keyword) != 0) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "unexpected keyword argument");
            return NULL;
        }
    }
    if (!PyObject_TypeCheck(self, setter_type)) {
        PyErr_SetString(PyExc_TypeError, "not a Setter");
        return NULL;
    }
    Setter *setter = (Setter *)self;
    uintptr_t expected = 0;
    if (!__atomic_compare_exchange_n(&setter->flag, &expected, UINTPTR_MAX, 0, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return NULL;
    }
    double value = PyFloat_AsDouble(args[0]);
    if (value == -1.0 && PyErr_Occurred()) {
        __atomic_store_n(&setter->flag, 0, __ATOMIC_RELEASE);
        return NULL;
    }
    setter->value = value;
    __atomic_store_n(&setter->flag, 0, __ATOMIC_RELEASE);
    Py_RETURN_NONE;
}

static PyObject *setter_get(PyObject *self, PyObject *unused) { return PyFloat_FromDouble(((Setter *)self)->value); }

static PyMethodDef setter_methods[] = {
    {"set", (PyCFunction)(void (*)(void))setter_set, METH_FASTCALL | METH_KEYWORDS, "set(intensity)"},
    {"get", setter_get, METH_NOARGS, "the stored value"},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot setter_slots[] = {
    {Py_tp_methods, setter_methods},
    {0, NULL},
};

static PyType_Spec setter_spec = {"_floor.Setter", sizeof(Setter), 0, Py_TPFLAGS_DEFAULT, setter_slots};

/* ---- save pipeline: zigzag LEB128 into a reused buffer, then a file --- */

static uint8_t *enc_buf;
static size_t enc_cap, enc_len;

/* varint bytes of zigzag(v) in the low 3 bytes, length in the top byte,
   indexed by the sample's 16 bits (256 KB, stays in L2) */
static uint32_t enc_lut[65536];

static void init_lut(void) {
    for (uint32_t v = 0; v < 65536; v++) {
        int16_t n = (int16_t)v;
        uint32_t z = (uint16_t)(((uint16_t)n << 1) ^ (uint16_t)(n >> 15));
        uint32_t w, len;
        if (z < 0x80) {
            w = z, len = 1;
        } else if (z < 0x4000) {
            w = (z & 0x7f) | 0x80 | ((z >> 7) << 8), len = 2;
        } else {
            w = (z & 0x7f) | 0x80 | ((((z >> 7) & 0x7f) | 0x80) << 8) | ((z >> 14) << 16), len = 3;
        }
        enc_lut[v] = w | (len << 24);
    }
}

static size_t encode_i16(const int16_t *s, Py_ssize_t n, uint8_t *out) {
    /* always store 4 bytes and advance by the length: no branches; the
       buffer has slack for the last store */
    uint8_t *p = out;
    for (Py_ssize_t i = 0; i < n; i++) {
        uint32_t w = enc_lut[(uint16_t)s[i]];
        memcpy(p, &w, 4);
        p += w >> 24;
    }
    return (size_t)(p - out);
}

static PyObject *encode(PyObject *self, PyObject *arg) {
    Py_buffer v;
    if (PyObject_GetBuffer(arg, &v, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return NULL;
    if (v.itemsize != 2 || !v.format || strcmp(v.format, "h") != 0) {
        PyBuffer_Release(&v);
        PyErr_SetString(PyExc_TypeError, "need an int16 buffer");
        return NULL;
    }
    Py_ssize_t n = v.len / 2;
    size_t need = (size_t)n * 3 + 4;
    if (need > enc_cap) {
        uint8_t *nb = realloc(enc_buf, need);
        if (!nb) {
            PyBuffer_Release(&v);
            return PyErr_NoMemory();
        }
        enc_buf = nb;
        enc_cap = need;
        memset(enc_buf, 0, enc_cap); /* fault the pages in once, outside timing */
    }
    enc_len = encode_i16((const int16_t *)v.buf, n, enc_buf);
    PyBuffer_Release(&v);
    return PyLong_FromSize_t(enc_len);
}

static PyObject *encoded_bytes(PyObject *self, PyObject *unused) {
    return PyBytes_FromStringAndSize((const char *)enc_buf, (Py_ssize_t)enc_len);
}

static int write_all(const char *path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    size_t off = 0;
    while (off < enc_len) {
        ssize_t w = write(fd, enc_buf + off, enc_len - off);
        if (w < 0) {
            close(fd);
            return -1;
        }
        off += (size_t)w;
    }
    return close(fd);
}

static PyObject *write_file(PyObject *self, PyObject *arg) {
    const char *path = PyUnicode_AsUTF8(arg);
    if (!path) return NULL;
    if (write_all(path) < 0) return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, arg);
    Py_RETURN_NONE;
}

static PyObject *save_pipeline(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "save_pipeline(samples, path)");
        return NULL;
    }
    PyObject *r = encode(self, args[0]);
    if (!r) return NULL;
    Py_DECREF(r);
    return write_file(self, args[1]);
}

static PyObject *avx2_used(PyObject *self, PyObject *unused) { return PyBool_FromLong(have_avx2); }

static PyMethodDef methods[] = {
    {"read_sum", read_sum, METH_O, "sum a 1-d float64 buffer"},
    {"write_reused", write_reused, METH_O, "write n int16 into the reused buffer"},
    {"write_fresh", (PyCFunction)(void (*)(void))write_fresh, METH_FASTCALL,
     "write n int16 into a fresh mapping; returns its owner"},
    {"convert_floor", convert_floor, METH_O, "f64 -> scaled int16, no checks"},
    {"bare", bare, METH_O, "one argument, returns None"},
    {"buf_method", (PyCFunction)(void (*)(void))buf_method, METH_FASTCALL, "get/release a buffer"},
    {"buf_method_locked", (PyCFunction)(void (*)(void))buf_method_locked, METH_FASTCALL,
     "get/release a buffer, lock/unlock twice"},
    {"encode", encode, METH_O, "zigzag LEB128 into the reused buffer; returns length"},
    {"encoded_bytes", encoded_bytes, METH_NOARGS, "copy of the last encoding"},
    {"write_file", write_file, METH_O, "open/write/close the last encoding"},
    {"save_pipeline", (PyCFunction)(void (*)(void))save_pipeline, METH_FASTCALL, "encode + write"},
    {"avx2_used", avx2_used, METH_NOARGS, "whether the AVX2 kernels run"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "_floor", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__floor(void) {
    __builtin_cpu_init();
    have_avx2 = __builtin_cpu_supports("avx2");
    init_lut();
    setter_keyword = PyUnicode_InternFromString("intensity");
    if (!setter_keyword) return NULL;
    setter_type = (PyTypeObject *)PyType_FromSpec(&setter_spec);
    if (!setter_type) return NULL;
    PyObject *module = PyModule_Create(&moddef);
    if (!module) return NULL;
    if (PyModule_AddObjectRef(module, "Setter", (PyObject *)setter_type) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
