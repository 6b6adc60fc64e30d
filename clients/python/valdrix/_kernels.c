/* One-pass accumulation kernels of valdrix.analysis.
 *
 * They add int16 traces into exact integer sums, which is the whole cost of a
 * t-test, an SNR or a CPA over a large campaign; everything after the sums is
 * small and done with numpy. Traces come in through the buffer protocol as a
 * 2-D int16 array whose rows may be spaced apart (the sample block of each
 * record in a memory-mapped trace file) but whose samples are contiguous. A
 * record's samples may start at an odd byte (after a one-byte label, say), so
 * they are loaded byte-wise (memcpy), which the compiler turns into unaligned
 * vector loads, never dereferenced as int16_t. Each
 * call works on the column range [col0, col1), so that threads can share one
 * set of sums by taking disjoint ranges; the GIL is released while it adds.
 *
 * class_sums(x, classes, s1, s2, col0, col1)
 *     For every row i whose class c = classes[i] lies in [0, G):
 *     s1[c, j] += x[i, j] and, when s2 is not None, s2[c, j] += x[i, j]^2.
 *     classes: contiguous int32 (n,); s1, s2: C-contiguous int64 (G, s).
 *
 * bucket_sums(x, buckets, s1, col0, col1[, hits])
 *     For every row i and every slot m of buckets (n, M) int32 with a bucket
 *     k = buckets[i, m] in [0, K): s1[k, j] += x[i, j]. hits: how many slots
 *     of one row may name the same bucket (1 where each slot has buckets of
 *     its own). moments, when given, (2, s) int64: every row's x and x^2 added
 *     into moments[0] and moments[1] on the way, which spares a CPA or an SNR
 *     a pass of its own for them. s1: C-contiguous int64
 *     (K, s). A CPA's buckets are (byte, value) pairs; an SNR's, classes of
 *     every byte at once. Rows are added into int32 partial sums over a block
 *     of columns that stays in cache, folded into s1 before they could overflow.
 *     s1 may instead be the int32 partial sums themselves, kept by the caller
 *     from call to call: C-contiguous (ceil(s / 64), K, 64), column j of
 *     bucket k at [j / 64, k, j % 64] (64 is the module's BLOCK_COLS). They
 *     are added to in place and never folded: the caller folds each bucket
 *     before 65535 rows have added to it (hits counted), and col0 and col1
 *     fall on multiples of 64 (or col1 = s).
 *     That spares every call a pass over K x s int64 sums.
 *
 * moment_sums(x, classes, m, col0, col1)
 *     For every row i whose class c lies in [0, G): the seven int64 sums of
 *     m[c] (G, 7, s) from which the moments up to the fourth follow exactly
 *     (see add_row_moments): x, x^2, x^3 = s3h 2^15 + s3l and
 *     x^4 = s4hh 2^30 + s4hl 2^16 + s4ll, with s3l and s4ll carried into
 *     their high parts at the end of the call.
 */

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define VALDRIX_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VALDRIX_CLONES
#endif

/* Rows added into the int32 partial sums before they are folded: |x| <= 32768,
   so 65535 rows cannot overflow. */
#define PARTIAL_ROWS 65535
/* Columns of one cache block of bucket_sums: a CPA's 16 bytes x 256 values x 64 x 4 B = 1 MiB, a
   core's second-level cache. Each row a bucket takes costs about the same
   bookkeeping however wide it is, so wide blocks add faster (64 columns: a
   sixth faster than 32 on 2,000-sample traces, 16 slots; 128 no faster). */
#define BLOCK_COLS 64
/* How far ahead the next rows of a column block are fetched. */
#define PREFETCH_ROWS 16
/* Rows gathered at once: 2048 x 128 B = 256 KiB of int16 samples, in the second-level cache. */
#define GATHER_ROWS 2048
/* Partial sums of one call at most: twice the second-level cache. More would
   keep more column blocks' rows mapped at once, but every pass would then wait
   for the third-level cache (measured on 2,000-sample traces, 16 slots). */
#define PARTIAL_BYTES ((size_t)2 << 20)
/* A slot's partial sums fetched ahead at most: a byte's 256 buckets of 64 columns. */
#define PREFETCH_BYTES ((size_t)64 << 10)

static int format_is(const Py_buffer *view, char code) {
    const char *f = view->format ? view->format : "B";
    if (*f == '<' || *f == '=' || *f == '@') {
        ++f;
    }
    return f[0] == code && f[1] == '\0';
}

static int get_traces(PyObject *obj, Py_buffer *view) {
    if (PyObject_GetBuffer(obj, view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
        return -1;
    }
    if (view->ndim != 2 || view->itemsize != 2 || !format_is(view, 'h')) {
        PyErr_SetString(PyExc_TypeError, "traces must be a 2-D int16 array");
        PyBuffer_Release(view);
        return -1;
    }
    if (view->shape[1] > 1 && view->strides[1] != 2) {
        PyErr_SetString(PyExc_ValueError, "the samples of a trace must be contiguous");
        PyBuffer_Release(view);
        return -1;
    }
    return 0;
}

static int get_contiguous(PyObject *obj, Py_buffer *view, int writable, char code, Py_ssize_t itemsize,
                          const char *what) {
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, view, flags) != 0) {
        return -1;
    }
    if (view->itemsize != itemsize || !(format_is(view, code) ||
                                        (code == 'q' && format_is(view, 'l') && sizeof(long) == 8) ||
                                        (code == 'i' && format_is(view, 'l') && sizeof(long) == 4))) {
        PyErr_Format(PyExc_TypeError, "%s has the wrong type", what);
        PyBuffer_Release(view);
        return -1;
    }
    return 0;
}

/* Sample j of a row of int16 samples, wherever the row starts. */
static inline int32_t sample_at(const char *row, Py_ssize_t j) {
    int16_t v;
    memcpy(&v, row + 2 * j, sizeof v);
    return v;
}

VALDRIX_CLONES
static void add_row(int64_t *restrict s1, int64_t *restrict s2, const char *restrict row, Py_ssize_t n) {
    for (Py_ssize_t j = 0; j < n; ++j) {
        int32_t v = sample_at(row, j);
        s1[j] += v;
        s2[j] += (int64_t)(v * v);
    }
}

VALDRIX_CLONES
static void add_row_partial(int32_t *restrict s1, const char *restrict row, Py_ssize_t n) {
    for (Py_ssize_t j = 0; j < n; ++j) {
        s1[j] += sample_at(row, j);
    }
}

/* The seven sums from which the central moments up to the fourth follow
   exactly. x^2 < 2^31 splits as h * 2^15 + l with h, l < 2^15, so that
   x^3 = (x h) 2^15 + x l and x^4 = h^2 2^30 + (h l) 2^16 + l^2: every term is
   below 2^31 in magnitude, and int64 sums of them hold 2^32 traces. */
enum { MOMENT_SUMS = 7, S1, S2, S3H, S3L, S4HH, S4HL, S4LL };
#define SUM(m, stride, k) ((m) + ((k) - S1) * (stride))

VALDRIX_CLONES
static void add_row_moments(int64_t *restrict m, Py_ssize_t stride, const char *restrict row, Py_ssize_t n) {
    int64_t *restrict s1 = SUM(m, stride, S1), *restrict s2 = SUM(m, stride, S2),
            *restrict s3h = SUM(m, stride, S3H), *restrict s3l = SUM(m, stride, S3L),
            *restrict s4hh = SUM(m, stride, S4HH), *restrict s4hl = SUM(m, stride, S4HL),
            *restrict s4ll = SUM(m, stride, S4LL);
    for (Py_ssize_t j = 0; j < n; ++j) {
        int32_t v = sample_at(row, j);
        uint32_t q = (uint32_t)(v * v);
        int32_t h = (int32_t)(q >> 15), l = (int32_t)(q & 0x7FFF);
        s1[j] += v;
        s2[j] += q;
        s3h[j] += v * h;
        s3l[j] += v * l;
        s4hh[j] += h * h;
        s4hl[j] += h * l;
        s4ll[j] += l * l;
    }
}

/* Samples below SMALL_SAMPLE in magnitude (a 12-bit converter's, say) have
   x^3 < 2^33 and x^4 < 2^44: they go straight into the low sums, which
   normalise_moments empties into the high ones before 2^16 rows could
   overflow them. Four sums a sample instead of seven. */
#define SMALL_SAMPLE 2048

VALDRIX_CLONES
static void add_row_moments_small(int64_t *restrict m, Py_ssize_t stride, const char *restrict row, Py_ssize_t n) {
    int64_t *restrict s1 = SUM(m, stride, S1), *restrict s2 = SUM(m, stride, S2),
            *restrict s3l = SUM(m, stride, S3L), *restrict s4ll = SUM(m, stride, S4LL);
    for (Py_ssize_t j = 0; j < n; ++j) {
        int64_t v = sample_at(row, j);
        int64_t q = v * v;
        s1[j] += v;
        s2[j] += q;
        s3l[j] += v * q;
        s4ll[j] += q * q;
    }
}

VALDRIX_CLONES
static int row_is_small(const char *restrict row, Py_ssize_t n) {
    int32_t lo = 0, hi = 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        int32_t v = sample_at(row, j);
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    return lo > -SMALL_SAMPLE && hi < SMALL_SAMPLE;
}

/* Carries the low sums of x^3 and x^4 into their high parts (floor division,
   so the value hi * 2^k + lo is kept), leaving the low parts below 2^15 and
   2^30. */
static void normalise_moments(int64_t *restrict m, Py_ssize_t stride, Py_ssize_t c0, Py_ssize_t c1) {
    int64_t *s3h = SUM(m, stride, S3H), *s3l = SUM(m, stride, S3L);
    int64_t *s4hh = SUM(m, stride, S4HH), *s4ll = SUM(m, stride, S4LL);
    for (Py_ssize_t j = c0; j < c1; ++j) {
        int64_t carry3 = s3l[j] >> 15, carry4 = s4ll[j] >> 30;
        s3h[j] += carry3;
        s3l[j] -= carry3 * ((int64_t)1 << 15);
        s4hh[j] += carry4;
        s4ll[j] -= carry4 * ((int64_t)1 << 30);
    }
}

/* Columns [c0, c0 + w) of rows [r0, r1) copied into one contiguous block of
   BLOCK_COLS samples a row, zero beyond w. The rows lie a whole record apart,
   each on a page of its own once a trace is long, so they are asked for ahead:
   the copy then runs at the memory's bandwidth, not at its latency. */
VALDRIX_CLONES
static void gather_rows(int16_t *restrict block, const char *base, Py_ssize_t stride, Py_ssize_t r0,
                        Py_ssize_t r1, Py_ssize_t c0, Py_ssize_t w, int64_t *restrict m1, int64_t *restrict m2) {
    for (Py_ssize_t i = r0; i < r1; ++i) {
        const char *row = base + i * stride + 2 * c0;
        if (i + PREFETCH_ROWS < r1) {
            const char *ahead = row + PREFETCH_ROWS * stride;
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + 2 * w - 1);
        }
        int16_t *restrict dst = block + (i - r0) * BLOCK_COLS;
        if (w == BLOCK_COLS) {
            memcpy(dst, row, BLOCK_COLS * sizeof(int16_t));
            if (m1 != NULL) {
                for (Py_ssize_t j = 0; j < BLOCK_COLS; ++j) {
                    int32_t v = dst[j];
                    m1[j] += v;
                    m2[j] += (int64_t)(v * v);
                }
            }
        } else {
            for (Py_ssize_t j = 0; j < BLOCK_COLS; ++j) {
                dst[j] = (int16_t)(j < w ? sample_at(row, j) : 0);
            }
            if (m1 != NULL) {
                for (Py_ssize_t j = 0; j < w; ++j) {
                    int32_t v = dst[j];
                    m1[j] += v;
                    m2[j] += (int64_t)(v * v);
                }
            }
        }
    }
}

/* Asks for the partial sums that slot m of these rows will add to. */
static void prefetch_slot(const int32_t *partial, const int32_t *idx, Py_ssize_t slots, Py_ssize_t m,
                          Py_ssize_t buckets, Py_ssize_t rows) {
    int32_t lo = INT32_MAX, hi = -1;
    for (Py_ssize_t i = 0; i < rows; ++i) {
        int32_t k = idx[i * slots + m];
        if (k >= 0 && k < buckets) {
            lo = k < lo ? k : lo;
            hi = k > hi ? k : hi;
        }
    }
    if (hi >= lo && (size_t)(hi - lo + 1) * BLOCK_COLS * sizeof(int32_t) <= PREFETCH_BYTES) {
        const char *from = (const char *)(partial + (size_t)lo * BLOCK_COLS);
        const char *to = (const char *)(partial + (size_t)(hi + 1) * BLOCK_COLS);
        for (const char *line = from; line < to; line += 64) {
            __builtin_prefetch(line, 1);
        }
    }
}

/* A gathered block of rows added into the partial sums of their buckets, two
   slots at a time: each row is loaded once for both, and two slots' buckets
   (two bytes' 256 values, say) take 128 KiB of partial sums, which stay in
   the second-level cache while the block streams past. A wide span's partial
   sums live in the third-level cache, so each pass first asks for its share
   in one sweep. */
VALDRIX_CLONES
static void bucket_block(int32_t *restrict partial, const int16_t *restrict block, const int32_t *idx,
                         Py_ssize_t slots, Py_ssize_t buckets, Py_ssize_t rows) {
    Py_ssize_t m = 0;
    for (; m + 1 < slots; m += 2) {
        prefetch_slot(partial, idx, slots, m, buckets, rows);
        prefetch_slot(partial, idx, slots, m + 1, buckets, rows);
        for (Py_ssize_t i = 0; i < rows; ++i) {
            const int16_t *restrict src = block + i * BLOCK_COLS;
            int32_t k0 = idx[i * slots + m], k1 = idx[i * slots + m + 1];
            int ok0 = k0 >= 0 && k0 < buckets, ok1 = k1 >= 0 && k1 < buckets;
            if (ok0 && ok1 && k0 != k1) {
                int32_t *restrict d0 = partial + (size_t)k0 * BLOCK_COLS;
                int32_t *restrict d1 = partial + (size_t)k1 * BLOCK_COLS;
                for (Py_ssize_t j = 0; j < BLOCK_COLS; ++j) {
                    int32_t v = src[j];
                    d0[j] += v;
                    d1[j] += v;
                }
                continue;
            }
            if (ok0) {
                int32_t *restrict d0 = partial + (size_t)k0 * BLOCK_COLS;
                for (Py_ssize_t j = 0; j < BLOCK_COLS; ++j) {
                    d0[j] += src[j];
                }
            }
            if (ok1) {
                int32_t *restrict d1 = partial + (size_t)k1 * BLOCK_COLS;
                for (Py_ssize_t j = 0; j < BLOCK_COLS; ++j) {
                    d1[j] += src[j];
                }
            }
        }
    }
    for (; m < slots; ++m) {
        prefetch_slot(partial, idx, slots, m, buckets, rows);
        for (Py_ssize_t i = 0; i < rows; ++i) {
            int32_t k = idx[i * slots + m];
            if (k < 0 || k >= buckets) {
                continue;
            }
            int32_t *restrict dst = partial + (size_t)k * BLOCK_COLS;
            const int16_t *restrict src = block + i * BLOCK_COLS;
            for (Py_ssize_t j = 0; j < BLOCK_COLS; ++j) {
                dst[j] += src[j];
            }
        }
    }
}

VALDRIX_CLONES
static void fold(int64_t *restrict dst, int32_t *restrict src, Py_ssize_t n) {
    for (Py_ssize_t j = 0; j < n; ++j) {
        dst[j] += src[j];
        src[j] = 0;
    }
}

static PyObject *class_sums(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *xo, *co, *s1o, *s2o;
    Py_ssize_t col0, col1;
    if (!PyArg_ParseTuple(args, "OOOOnn", &xo, &co, &s1o, &s2o, &col0, &col1)) {
        return NULL;
    }
    Py_buffer x, cls, s1, s2 = {0};
    if (get_traces(xo, &x) != 0) {
        return NULL;
    }
    if (get_contiguous(co, &cls, 0, 'i', 4, "classes") != 0) {
        PyBuffer_Release(&x);
        return NULL;
    }
    if (get_contiguous(s1o, &s1, 1, 'q', 8, "s1") != 0) {
        PyBuffer_Release(&x);
        PyBuffer_Release(&cls);
        return NULL;
    }
    int with_squares = s2o != Py_None;
    if (with_squares && get_contiguous(s2o, &s2, 1, 'q', 8, "s2") != 0) {
        PyBuffer_Release(&x);
        PyBuffer_Release(&cls);
        PyBuffer_Release(&s1);
        return NULL;
    }
    const Py_ssize_t n = x.shape[0], s = x.shape[1];
    const Py_ssize_t groups = s > 0 ? (Py_ssize_t)(s1.len / 8) / s : 0;
    PyObject *result = NULL;
    if (cls.len / 4 != n) {
        PyErr_SetString(PyExc_ValueError, "one class per trace is needed");
    } else if (s > 0 && (s1.len / 8) % s != 0) {
        PyErr_SetString(PyExc_ValueError, "s1 must have as many columns as the traces have samples");
    } else if (with_squares && s2.len != s1.len) {
        PyErr_SetString(PyExc_ValueError, "s1 and s2 must have the same shape");
    } else if (col0 < 0 || col1 > s || col0 > col1) {
        PyErr_SetString(PyExc_ValueError, "column range out of the traces");
    } else {
        const char *base = (const char *)x.buf;
        const int32_t *classes = (const int32_t *)cls.buf;
        int64_t *sum1 = (int64_t *)s1.buf;
        int64_t *sum2 = with_squares ? (int64_t *)s2.buf : NULL;
        const Py_ssize_t width = col1 - col0;
        int32_t *partial = NULL;
        if (!with_squares) {
            partial = calloc((size_t)(groups > 0 ? groups : 1) * (size_t)(width > 0 ? width : 1), sizeof(int32_t));
            if (partial == NULL) {
                PyErr_NoMemory();
                goto done;
            }
        }
        Py_BEGIN_ALLOW_THREADS
        Py_ssize_t rows = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            int32_t c = classes[i];
            if (c < 0 || c >= groups) {
                continue;
            }
            const char *row = base + i * x.strides[0] + 2 * col0;
            if (with_squares) {
                add_row(sum1 + c * s + col0, sum2 + c * s + col0, row, width);
            } else {
                add_row_partial(partial + c * width, row, width);
                if (++rows == PARTIAL_ROWS) {
                    for (Py_ssize_t g = 0; g < groups; ++g) {
                        fold(sum1 + g * s + col0, partial + g * width, width);
                    }
                    rows = 0;
                }
            }
        }
        if (partial != NULL) {
            for (Py_ssize_t g = 0; g < groups; ++g) {
                fold(sum1 + g * s + col0, partial + g * width, width);
            }
        }
        Py_END_ALLOW_THREADS
        free(partial);
        Py_INCREF(Py_None);
        result = Py_None;
    }
done:
    PyBuffer_Release(&x);
    PyBuffer_Release(&cls);
    PyBuffer_Release(&s1);
    if (with_squares) {
        PyBuffer_Release(&s2);
    }
    return result;
}

static PyObject *bucket_sums(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *xo, *vo, *s1o;
    PyObject *mo = Py_None;
    Py_ssize_t col0, col1, hits = 1;
    if (!PyArg_ParseTuple(args, "OOOnn|nO", &xo, &vo, &s1o, &col0, &col1, &hits, &mo)) {
        return NULL;
    }
    if (hits < 1) {
        hits = 1;
    }
    Py_buffer x, idx, s1, m = {0};
    const int mom = mo != Py_None;
    if (get_traces(xo, &x) != 0) {
        return NULL;
    }
    if (PyObject_GetBuffer(vo, &idx, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyBuffer_Release(&x);
        return NULL;
    }
    if (PyObject_GetBuffer(s1o, &s1, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) != 0) {
        PyBuffer_Release(&x);
        PyBuffer_Release(&idx);
        return NULL;
    }
    /* int32 sums: the caller's partial sums, blocked by 32 columns. */
    const int kept = s1.itemsize == 4 && (format_is(&s1, 'i') || (format_is(&s1, 'l') && sizeof(long) == 4));
    if (!kept && !(s1.itemsize == 8 && (format_is(&s1, 'q') || (format_is(&s1, 'l') && sizeof(long) == 8)))) {
        PyErr_SetString(PyExc_TypeError, "sums must be int64, or int32 partial sums");
        PyBuffer_Release(&x);
        PyBuffer_Release(&idx);
        PyBuffer_Release(&s1);
        return NULL;
    }
    if (mom && get_contiguous(mo, &m, 1, 'q', 8, "moments") != 0) {
        PyBuffer_Release(&x);
        PyBuffer_Release(&idx);
        PyBuffer_Release(&s1);
        return NULL;
    }
    const Py_ssize_t n = x.shape[0], s = x.shape[1];
    int64_t *mom1 = mom ? (int64_t *)m.buf : NULL, *mom2 = mom ? (int64_t *)m.buf + s : NULL;
    PyObject *result = NULL;
    Py_ssize_t slots = idx.ndim == 2 ? idx.shape[1] : 0;
    const Py_ssize_t col_blocks = (s + BLOCK_COLS - 1) / BLOCK_COLS;
    const Py_ssize_t row_len = kept ? col_blocks * BLOCK_COLS * 4 : s * 8;
    Py_ssize_t buckets = row_len > 0 ? s1.len / row_len : 0;
    if (idx.ndim != 2 || idx.itemsize != 4 || !(format_is(&idx, 'i') || (format_is(&idx, 'l') && sizeof(long) == 4))
        || idx.shape[0] != n) {
        PyErr_SetString(PyExc_ValueError, "buckets must be a (traces, slots) int32 array");
    } else if (row_len > 0 && s1.len % row_len != 0) {
        PyErr_SetString(PyExc_ValueError, kept ? "partial sums must be (ceil(samples / 64), buckets, 64)"
                                               : "sums must have as many columns as the traces have samples");
    } else if (kept && (col0 % BLOCK_COLS != 0 || (col1 != s && col1 % BLOCK_COLS != 0))) {
        PyErr_SetString(PyExc_ValueError, "the column range of partial sums must fall on multiples of 64");
    } else if (mom && m.len != 16 * s) {
        PyErr_SetString(PyExc_ValueError, "moments must be (2, samples)");
    } else if (col0 < 0 || col1 > s || col0 > col1) {
        PyErr_SetString(PyExc_ValueError, "column range out of the traces");
    } else {
        const char *base = (const char *)x.buf;
        const int32_t *index = (const int32_t *)idx.buf;
        int64_t *sum1 = kept ? NULL : (int64_t *)s1.buf;
        /* Each row adds to a bucket at most hits times: fold before 2^31 could be passed. */
        const Py_ssize_t rows_per_fold = PARTIAL_ROWS / hits > 0 ? PARTIAL_ROWS / hits : 1;
        const Py_ssize_t nb = buckets > 0 ? buckets : 1;
        /* Column blocks side by side, as many as PARTIAL_BYTES of partial sums
           hold: each run of rows is then gathered block after block while its
           pages are still in the TLB, rather than once per column block of the
           whole chunk. */
        Py_ssize_t span = (Py_ssize_t)(PARTIAL_BYTES / ((size_t)nb * BLOCK_COLS * sizeof(int32_t))) * BLOCK_COLS;
        if (span < BLOCK_COLS) {
            span = BLOCK_COLS;
        }
        if (span > col1 - col0) {
            span = (col1 - col0 + BLOCK_COLS - 1) / BLOCK_COLS * BLOCK_COLS;
        }
        const Py_ssize_t blocks = span / BLOCK_COLS > 0 ? span / BLOCK_COLS : 1;
        int32_t *partial = kept ? NULL : calloc((size_t)nb * BLOCK_COLS * (size_t)blocks, sizeof(int32_t));
        int16_t *block = malloc((size_t)GATHER_ROWS * BLOCK_COLS * sizeof(int16_t));
        if ((!kept && partial == NULL) || block == NULL) {
            free(partial);
            free(block);
            PyErr_NoMemory();
        } else {
            Py_BEGIN_ALLOW_THREADS
            for (Py_ssize_t s0 = col0; s0 < col1; s0 += span) {
                const Py_ssize_t stop = col1 - s0 < span ? col1 : s0 + span;
                int32_t *sums_of_span = kept ? (int32_t *)s1.buf + (size_t)(s0 / BLOCK_COLS) * nb * BLOCK_COLS : partial;
                Py_ssize_t unfolded = 0;
                for (Py_ssize_t r0 = 0;; r0 += GATHER_ROWS) {
                    /* r1 == r0 past the last row: the partial sums are folded and the span is done. */
                    const Py_ssize_t r1 = r0 >= n ? r0 : (n - r0 < GATHER_ROWS ? n : r0 + GATHER_ROWS);
                    if (kept && r1 == r0) {
                        break;
                    }
                    if (!kept && (r1 == r0 || unfolded + (r1 - r0) > rows_per_fold)) {
                        for (Py_ssize_t c0 = s0; c0 < stop; c0 += BLOCK_COLS) {
                            const Py_ssize_t w = stop - c0 < BLOCK_COLS ? stop - c0 : BLOCK_COLS;
                            int32_t *mine = sums_of_span + (size_t)((c0 - s0) / BLOCK_COLS) * nb * BLOCK_COLS;
                            for (Py_ssize_t k = 0; k < buckets; ++k) {
                                fold(sum1 + k * s + c0, mine + k * BLOCK_COLS, w);
                            }
                        }
                        unfolded = 0;
                        if (r1 == r0) {
                            break;
                        }
                    }
                    for (Py_ssize_t c0 = s0; c0 < stop; c0 += BLOCK_COLS) {
                        const Py_ssize_t w = stop - c0 < BLOCK_COLS ? stop - c0 : BLOCK_COLS;
                        int32_t *mine = sums_of_span + (size_t)((c0 - s0) / BLOCK_COLS) * nb * BLOCK_COLS;
                        gather_rows(block, base, x.strides[0], r0, r1, c0, w, mom ? mom1 + c0 : NULL,
                                    mom ? mom2 + c0 : NULL);
                        bucket_block(mine, block, index + r0 * slots, slots, buckets, r1 - r0);
                    }
                    unfolded += r1 - r0;
                }
            }
            Py_END_ALLOW_THREADS
            free(partial);
            free(block);
            Py_INCREF(Py_None);
            result = Py_None;
        }
    }
    PyBuffer_Release(&x);
    PyBuffer_Release(&idx);
    PyBuffer_Release(&s1);
    if (mom) {
        PyBuffer_Release(&m);
    }
    return result;
}

static PyObject *moment_sums(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *xo, *co, *mo;
    Py_ssize_t col0, col1;
    if (!PyArg_ParseTuple(args, "OOOnn", &xo, &co, &mo, &col0, &col1)) {
        return NULL;
    }
    Py_buffer x, cls, m;
    if (get_traces(xo, &x) != 0) {
        return NULL;
    }
    if (get_contiguous(co, &cls, 0, 'i', 4, "classes") != 0) {
        PyBuffer_Release(&x);
        return NULL;
    }
    if (get_contiguous(mo, &m, 1, 'q', 8, "sums") != 0) {
        PyBuffer_Release(&x);
        PyBuffer_Release(&cls);
        return NULL;
    }
    const Py_ssize_t n = x.shape[0], s = x.shape[1];
    const Py_ssize_t per_group = (Py_ssize_t)MOMENT_SUMS * s;
    const Py_ssize_t groups = per_group > 0 ? (m.len / 8) / per_group : 0;
    PyObject *result = NULL;
    if (cls.len / 4 != n) {
        PyErr_SetString(PyExc_ValueError, "one class per trace is needed");
    } else if (per_group > 0 && (m.len / 8) % per_group != 0) {
        PyErr_SetString(PyExc_ValueError, "sums must be (groups, 7, samples)");
    } else if (col0 < 0 || col1 > s || col0 > col1) {
        PyErr_SetString(PyExc_ValueError, "column range out of the traces");
    } else {
        const char *base = (const char *)x.buf;
        const int32_t *classes = (const int32_t *)cls.buf;
        int64_t *sums = (int64_t *)m.buf;
        Py_BEGIN_ALLOW_THREADS
        for (Py_ssize_t i = 0; i < n; ++i) {
            int32_t c = classes[i];
            if (c < 0 || c >= groups) {
                continue;
            }
            const char *row = base + i * x.strides[0] + 2 * col0;
            if (row_is_small(row, col1 - col0)) {
                add_row_moments_small(sums + c * per_group + col0, s, row, col1 - col0);
            } else {
                add_row_moments(sums + c * per_group + col0, s, row, col1 - col0);
            }
            if ((i + 1) % PARTIAL_ROWS == 0 || i + 1 == n) {
                for (Py_ssize_t g = 0; g < groups; ++g) {
                    normalise_moments(sums + g * per_group, s, col0, col1);
                }
            }
        }
        Py_END_ALLOW_THREADS
        Py_INCREF(Py_None);
        result = Py_None;
    }
    PyBuffer_Release(&x);
    PyBuffer_Release(&cls);
    PyBuffer_Release(&m);
    return result;
}

static PyMethodDef methods[] = {
    {"class_sums", class_sums, METH_VARARGS, "Per-class sums (and sums of squares) of int16 traces."},
    {"bucket_sums", bucket_sums, METH_VARARGS, "Sums of int16 traces into the buckets each trace names."},
    {"moment_sums", moment_sums, METH_VARARGS, "Per-class sums of int16 traces' powers 1 to 4, split exactly."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_kernels", "Accumulation kernels of valdrix.analysis.", -1, methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__kernels(void) {
    PyObject *m = PyModule_Create(&module);
    if (m != NULL && PyModule_AddIntConstant(m, "BLOCK_COLS", BLOCK_COLS) != 0) {
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
