#include "borrow_registry.hpp"

#include <compare>
#include <cstddef>
#include <limits>
#include <memory>
#include <mutex>
#include <numeric>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "once.hpp"

namespace pyvexa::borrow {

namespace {

using numpy::as_array;
using numpy::npy_intp;

// Not part of the shared codes: a hook that failed inside (out of memory).
constexpr int kInternalFailure = -3;

// The memory an array spans: byte range [start, end), empty when any
// dimension is 0, with the data pointer and the gcd of the strides to tell
// interleaved views of one buffer apart.
struct BorrowKey {
    std::uintptr_t start;
    std::uintptr_t end;
    std::uintptr_t data;
    std::uintptr_t gcd_strides;

    bool empty() const noexcept { return start == end; }
    auto operator<=>(const BorrowKey&) const = default;
};

// Whether two keys of the same base may share bytes.
bool conflicts(const BorrowKey& a, const BorrowKey& b) noexcept {
    if (a.empty() || b.empty()) return false;
    if (a.start >= b.end || b.start >= a.end) return false;
    const std::uintptr_t gcd = std::gcd(a.gcd_strides, b.gcd_strides);
    if (gcd == 0) return true;
    const std::uintptr_t distance = a.data > b.data ? a.data - b.data : b.data - a.data;
    return distance % gcd == 0;
}

std::uintptr_t magnitude(npy_intp value) noexcept {
    return value < 0 ? std::uintptr_t{0} - static_cast<std::uintptr_t>(value) : static_cast<std::uintptr_t>(value);
}

// The key of an ndarray; reads only the array's fields.
BorrowKey key_of(const numpy::Api& api, PyObject* array) noexcept {
    const numpy::ArrayObject* fields = as_array(array);
    const auto data = reinterpret_cast<std::uintptr_t>(fields->data);
    if (fields->nd == 1) {
        // The common case, without the gcd loop.
        const npy_intp stride = fields->strides[0];
        if (fields->dimensions[0] == 0) return BorrowKey{data, data, data, magnitude(stride)};
        const npy_intp extent = (fields->dimensions[0] - 1) * stride;
        const auto size = static_cast<std::uintptr_t>(numpy::element_size(api, array));
        const std::uintptr_t start = extent < 0 ? data - magnitude(extent) : data;
        const std::uintptr_t end = (extent < 0 ? data : data + static_cast<std::uintptr_t>(extent)) + size;
        return BorrowKey{start, end, data, magnitude(stride)};
    }
    std::uintptr_t gcd = 0;
    npy_intp low = 0;   // most negative byte offset reached
    npy_intp high = 0;  // most positive byte offset reached
    bool empty = false;
    for (int axis = 0; axis < fields->nd; ++axis) {
        const npy_intp dimension = fields->dimensions[axis];
        const npy_intp stride = fields->strides[axis];
        gcd = std::gcd(gcd, magnitude(stride));
        if (dimension == 0) {
            empty = true;
            continue;
        }
        const npy_intp extent = (dimension - 1) * stride;
        (extent < 0 ? low : high) += extent;
    }
    if (empty) return BorrowKey{data, data, data, gcd};
    const auto size = static_cast<std::uintptr_t>(numpy::element_size(api, array));
    return BorrowKey{data - magnitude(low), data + static_cast<std::uintptr_t>(high) + size, data, gcd};
}

// The object owning the array's memory: the first base that is not an
// ndarray, or the last array of the chain.
void* base_address(const numpy::Api& api, PyObject* array) noexcept {
    for (;;) {
        PyObject* base = as_array(array)->base;
        if (base == nullptr) return array;
        if (!numpy::is_array(api, base)) return base;
        array = base;
    }
}

// One registered borrow: a positive count of readers, or -1 for a writer.
struct Borrow {
    void* base;
    BorrowKey key;
    std::intptr_t count;
};
constexpr std::intptr_t kExclusive = -1;

// The borrows held right now, unordered. A call holds its arrays only while
// it runs, so the list is short and a scan beats a map, and it allocates
// nothing once it has grown to the largest number held at once. Other
// extension modules call the hooks too, under whatever locking they keep,
// so the table has its own lock; nothing done while holding it calls into
// Python (keys and bases are read from the array fields beforehand).
struct Table {
    explicit Table(const numpy::Api& numpy_api) : api(numpy_api) { borrows.reserve(16); }
    const numpy::Api api;  // array type and descriptor layout, so no hook calls Python
    std::mutex mutex;
    std::vector<Borrow> borrows;
};

Table& table_of(void* flags) noexcept { return *static_cast<Table*>(flags); }

int acquire_shared(void* flags, PyObject* array) noexcept {
    Table& table = table_of(flags);
    void* base = base_address(table.api, array);
    const BorrowKey key = key_of(table.api, array);
    try {
        std::lock_guard<std::mutex> lock(table.mutex);
        Borrow* same = nullptr;
        bool blocked = false;
        for (Borrow& other : table.borrows) {
            if (other.base != base) continue;
            if (other.key == key) {
                same = &other;
            } else if (other.count == kExclusive && conflicts(key, other.key)) {
                blocked = true;
            }
        }
        if (same != nullptr) {
            if (same->count <= 0 || same->count == std::numeric_limits<std::intptr_t>::max()) return kConflict;
            ++same->count;
            return kGranted;
        }
        if (blocked) return kConflict;
        table.borrows.push_back(Borrow{base, key, 1});
        return kGranted;
    } catch (...) {
        return kInternalFailure;
    }
}

int acquire_exclusive(void* flags, PyObject* array) noexcept {
    if ((as_array(array)->flags & numpy::kWriteableFlag) == 0) return kNotWriteable;
    Table& table = table_of(flags);
    void* base = base_address(table.api, array);
    const BorrowKey key = key_of(table.api, array);
    try {
        std::lock_guard<std::mutex> lock(table.mutex);
        for (const Borrow& other : table.borrows) {
            if (other.base == base && (other.key == key || conflicts(key, other.key))) return kConflict;
        }
        table.borrows.push_back(Borrow{base, key, kExclusive});
        return kGranted;
    } catch (...) {
        return kInternalFailure;
    }
}

// Undoes one acquisition of `key` on `base` of the given kind.
void release_one(void* flags, PyObject* array, bool exclusive) noexcept {
    Table& table = table_of(flags);
    void* base = base_address(table.api, array);
    const BorrowKey key = key_of(table.api, array);
    try {
        std::lock_guard<std::mutex> lock(table.mutex);
        auto& borrows = table.borrows;
        for (auto entry = borrows.begin(); entry != borrows.end(); ++entry) {
            if (entry->base != base || entry->key != key) continue;
            if (exclusive ? entry->count != kExclusive : entry->count <= 0) return;
            if (!exclusive && --entry->count != 0) return;
            *entry = borrows.back();
            borrows.pop_back();
            return;
        }
    } catch (...) {
        // Only taking the lock can throw; the borrow then stays recorded.
    }
}

void release_shared(void* flags, PyObject* array) noexcept { release_one(flags, array, false); }
void release_exclusive(void* flags, PyObject* array) noexcept { release_one(flags, array, true); }

// Capsule destructor: frees the record and its table.
void destroy_capsule(PyObject* capsule) {
    auto* record = static_cast<SharedApi*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (record == nullptr) {
        PyErr_Clear();
        return;
    }
    delete static_cast<Table*>(record->flags);
    delete record;
}

// Installs a new registry on `multiarray`; returns its capsule. Throws PythonErrorSet.
PyRef install(const numpy::Api& api, PyObject* multiarray) {
    auto table = std::make_unique<Table>(api);
    auto record = std::make_unique<SharedApi>(
        SharedApi{1, table.get(), acquire_shared, acquire_exclusive, release_shared, release_exclusive});
    PyRef capsule = checked(PyCapsule_New(record.get(), kCapsuleName, destroy_capsule));
    static_cast<void>(table.release());  // the capsule owns both from here
    static_cast<void>(record.release());
    if (PyObject_SetAttrString(multiarray, kCapsuleName, capsule.get()) < 0) throw_python_error();
    return capsule;
}

// The registry record of the process; throws PythonErrorSet.
const SharedApi* load_registry(const numpy::Api& api) {
    PyRef multiarray = numpy::import_multiarray(api);
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), kCapsuleName));
    if (!capsule) {
        PyErr_Clear();
        capsule = install(api, multiarray.get());
    } else if (!PyCapsule_CheckExact(capsule.get())) {
        raise_cast_error(capsule.get(), "PyCapsule");
    }
    auto* record = static_cast<const SharedApi*>(PyCapsule_GetPointer(capsule.get(), kCapsuleName));
    if (record == nullptr) throw_python_error();
    if (record->version == 0) raise(PyExc_RuntimeError, "version 0 of the borrow checking API is not supported");
    // The record lives inside the capsule: keep it for the life of the process.
    static_cast<void>(capsule.release());
    return record;
}

OnceCell<const SharedApi*> g_registry;

}  // namespace

const SharedApi& registry(const numpy::Api& api) {
    return *g_registry.get_or_init([&api] { return load_registry(api); });
}

const SharedApi* loaded_registry() noexcept {
    const SharedApi* const* record = g_registry.peek();
    return record == nullptr ? nullptr : *record;
}

}  // namespace pyvexa::borrow
