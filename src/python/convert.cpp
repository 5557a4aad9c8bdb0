#include "python/convert.hpp"

#include "python/array.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

namespace tessarin::py {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";
constexpr const char* kChangedWhileRead = "argument changed while it was being read";

// The standard type-mismatch message: "'<type>' object cannot be converted to '<expected>'".
[[noreturn]] void type_mismatch(PyObject* o, const char* expected) {
    Ref name = Ref::steal(check(PyType_GetName(Py_TYPE(o))));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), expected);
    throw ErrorAlreadySet{};
}

// Calls `each(item)` for every item the iterator protocol yields, in order.
template <class Each>
void for_each_item(PyObject* o, Each&& each) {
    Ref iterator = Ref::steal(check(PyObject_GetIter(o)));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) each(item.get());
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
}

// A capacity to reserve from the object's own length, without trusting a huge
// or failing __len__: the vector still grows as items really arrive.
std::size_t reserve_hint(PyObject* o) {
    constexpr Py_ssize_t kMaxHint = Py_ssize_t{1} << 20;
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(n < kMaxHint ? n : kMaxHint);
}

// The integer value of `o` as an int object: an exact int is its own index,
// anything else goes through __index__.
Ref index_of(PyObject* o) { return PyLong_CheckExact(o) ? Ref::borrow(o) : Ref::steal(check(PyNumber_Index(o))); }

// The integer value of `o` as a signed 64-bit number; `overflow` is +1 or -1
// (and the number meaningless) when it lies beyond that range.
struct Int64 {
    long long value = 0;
    int overflow = 0;
};

Int64 read_int64(PyObject* o) {
    Ref index = index_of(o);
    Int64 out;
    out.value = PyLong_AsLongLongAndOverflow(index.get(), &out.overflow);
    if (out.value == -1 && out.overflow == 0 && PyErr_Occurred()) throw ErrorAlreadySet{};
    return out;
}

// The signed integer kinds are all narrower than 64 bits, so an int too large
// for 64 bits is out of their range like any other and says so in the same words.
std::int64_t to_int64(PyObject* o) {
    const Int64 v = read_int64(o);
    if (v.overflow != 0) raise(PyExc_OverflowError, kOutOfRange);
    return v.value;
}

// Calls `each(item)` for every item of a sequence, in order. Exact lists and
// tuples are read by index, which yields exactly what their iterators would:
// the list's length is re-read at every step, as its iterator does, in case an
// item's conversion changes the list.
// A huge sequence can be interrupted while it is read: the call then ends
// before its engine runs.
template <class Each>
void for_each_sequence_item(PyObject* o, Each&& each_item, Py_ssize_t start = 0) {
    CancelPoll& poll = conversion_poll();
    auto each = [&](PyObject* item) {
        poll.tick(kUnitsPerPythonItem);
        each_item(item);
    };
    if (PyList_CheckExact(o)) {
        for (Py_ssize_t i = start; i < PyList_Size(o); ++i) {
            // Hold the item: converting it may run code that removes it from the list.
            Ref item = Ref::borrow(PyList_GetItem(o, i));
            each(item.get());
        }
    } else if (PyTuple_CheckExact(o)) {
        const Py_ssize_t n = PyTuple_Size(o);
        for (Py_ssize_t i = 0; i < n; ++i) each(PyTuple_GetItem(o, i));
    } else {
        for_each_item(o, each);
    }
}

template <class Item, class Convert>
std::vector<Item> convert_sequence(PyObject* o, Convert&& convert) {
    require_sequence(o);
    std::vector<Item> out;
    out.reserve(reserve_hint(o));
    for_each_sequence_item(o, [&](PyObject* item) { out.push_back(convert(item)); });
    return out;
}

// ---- numeric buffers ---------------------------------------------------------
//
// memoryview, array.array and numpy.ndarray iterate over exactly the elements
// of their buffer, so a one-dimensional numeric buffer from one of them is read
// straight from memory, whatever its stride or byte order. Each element becomes
// what its Python item would: an integer goes through double (so a 64-bit value
// rounds twice, as an int item does), a float through double, a bool is 0 or 1.
// Anything else takes the general path, which raises what iteration raises.

// The type `module_name`.`type_name` when the caller has already imported
// that module (only then can it have made an object of the type), else null.
Ref imported_type(const char* module_name, const char* type_name) {
    PyObject* modules = PyImport_GetModuleDict();                     // borrowed
    PyObject* module = PyDict_GetItemString(modules, module_name);  // borrowed
    if (module == nullptr) return {};
    Ref type = Ref::steal(PyObject_GetAttrString(module, type_name));
    if (!type) {
        PyErr_Clear();
        return {};
    }
    if (!PyType_Check(type.get())) return {};
    return type;
}

// The native type whose iteration `o` keeps, if any.
enum class NativeIteration { none, memoryview, array, ndarray };

NativeIteration native_iteration(PyObject* o) {
    PyTypeObject* const type = Py_TYPE(o);
    void* const iter = PyType_GetSlot(type, Py_tp_iter);
    if (iter == nullptr) return NativeIteration::none;
    if (iter == PyType_GetSlot(&PyMemoryView_Type, Py_tp_iter)) return NativeIteration::memoryview;
    struct ArrayType {
        const char* module_name;
        const char* type_name;
        NativeIteration iteration;
    };
    constexpr std::array<ArrayType, 2> kArrayTypes{{
        {"array", "array", NativeIteration::array},
        {"numpy", "ndarray", NativeIteration::ndarray},
    }};
    for (const auto& [module_name, type_name, iteration] : kArrayTypes) {
        Ref native = imported_type(module_name, type_name);
        if (!native) continue;
        auto* const native_type = reinterpret_cast<PyTypeObject*>(native.get());
        if (iter != PyType_GetSlot(native_type, Py_tp_iter)) continue;
        // An ndarray's iterator indexes the array, so a subclass that
        // overrides __getitem__ changes what iteration yields.
        if (iteration == NativeIteration::ndarray &&
            PyType_GetSlot(type, Py_sq_item) != PyType_GetSlot(native_type, Py_sq_item)) {
            continue;
        }
        // The buffer must be the native type's own: its export runs no Python
        // code, so taking a view in the middle of a read changes nothing.
        if (PyType_GetSlot(type, Py_bf_getbuffer) != PyType_GetSlot(native_type, Py_bf_getbuffer)) continue;
        return iteration;
    }
    return NativeIteration::none;
}

// Widening a float32 to the double of a Python float quiets a signalling NaN
// and keeps its payload, so every NaN arrives quiet.
float float_item(std::uint32_t bits) {
    constexpr std::uint32_t kMagnitude = 0x7fffffffu;
    constexpr std::uint32_t kInfinity = 0x7f800000u;
    constexpr std::uint32_t kQuietBit = 0x00400000u;
    if ((bits & kMagnitude) > kInfinity) bits |= kQuietBit;
    return std::bit_cast<float>(bits);
}

// float16 to float32 is exact. Placed in a float's low exponent bits, a half's
// exponent and mantissa read 2^112 times too small (the biases are 15 and 127),
// subnormals included, so one exact product rebiases every finite value;
// infinities and NaNs (payload kept) take the top exponent instead. Written
// without branches so that whole runs of elements convert in vector registers.
float half_item(std::uint16_t bits) {
    constexpr std::uint32_t kHalfTopExponent = 0x7c00u << 13;  // infinities and NaNs from here up
    constexpr float kRebias = 0x1p112f;
    const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
    const std::uint32_t magnitude = static_cast<std::uint32_t>(bits & 0x7fffu) << 13;
    const auto finite = std::bit_cast<std::uint32_t>(std::bit_cast<float>(magnitude) * kRebias);
    const std::uint32_t special = magnitude | 0x7f800000u;
    // A mask, not a conditional: the compiler does not move a product out of a
    // branch, so a conditional would keep the loop scalar.
    const std::uint32_t is_special = 0u - static_cast<std::uint32_t>(magnitude >= kHalfTopExponent);
    return float_item(sign | (special & is_special) | (finite & ~is_special));
}

float double_item(std::uint64_t bits) { return static_cast<float>(std::bit_cast<double>(bits)); }

template <class T>
float integer_item(std::make_unsigned_t<T> bits) {
    return static_cast<float>(static_cast<double>(std::bit_cast<T>(bits)));
}

// Exporters read any nonzero byte as True.
float bool_item(std::uint8_t bits) { return bits != 0 ? 1.0f : 0.0f; }

template <class Bits>
Bits byte_reversed(Bits v) {
    if constexpr (sizeof(Bits) == 2) {
        return __builtin_bswap16(v);
    } else if constexpr (sizeof(Bits) == 4) {
        return __builtin_bswap32(v);
    } else if constexpr (sizeof(Bits) == 8) {
        return __builtin_bswap64(v);
    } else {
        return v;
    }
}

// Elements [first, last) of sizeof(Bits)-byte elements from `base`, `stride`
// bytes apart at any alignment, narrowed by Item into out[first..].
template <class Bits, bool Swapped, float (*Item)(Bits)>
void read_elements(const char* base, Py_ssize_t stride, Py_ssize_t first, Py_ssize_t last, float* out) {
    const auto load = [](const char* p) {
        Bits bits;
        std::memcpy(&bits, p, sizeof bits);
        if constexpr (Swapped) bits = byte_reversed(bits);
        return Item(bits);
    };
    constexpr auto kSize = static_cast<Py_ssize_t>(sizeof(Bits));
    if (stride == kSize) {
        // A constant stride lets the compiler vectorise the contiguous case.
        for (Py_ssize_t i = first; i < last; ++i) out[i] = load(base + i * kSize);
    } else {
        for (Py_ssize_t i = first; i < last; ++i) out[i] = load(base + i * stride);
    }
}

using ElementReader = void (*)(const char*, Py_ssize_t, Py_ssize_t, Py_ssize_t, float*);

enum class ElementKind { signed_integer, unsigned_integer, boolean, floating };

template <bool Swapped>
ElementReader element_reader(ElementKind kind, Py_ssize_t size) {
    using std::uint16_t, std::uint32_t, std::uint64_t, std::uint8_t;
    switch (kind) {
        case ElementKind::signed_integer:
            switch (size) {
                case 1: return read_elements<uint8_t, Swapped, integer_item<std::int8_t>>;
                case 2: return read_elements<uint16_t, Swapped, integer_item<std::int16_t>>;
                case 4: return read_elements<uint32_t, Swapped, integer_item<std::int32_t>>;
                case 8: return read_elements<uint64_t, Swapped, integer_item<std::int64_t>>;
                default: return nullptr;
            }
        case ElementKind::unsigned_integer:
            switch (size) {
                case 1: return read_elements<uint8_t, Swapped, integer_item<uint8_t>>;
                case 2: return read_elements<uint16_t, Swapped, integer_item<uint16_t>>;
                case 4: return read_elements<uint32_t, Swapped, integer_item<uint32_t>>;
                case 8: return read_elements<uint64_t, Swapped, integer_item<uint64_t>>;
                default: return nullptr;
            }
        case ElementKind::boolean:
            return size == 1 ? read_elements<uint8_t, Swapped, bool_item> : nullptr;
        case ElementKind::floating:
            switch (size) {
                case 2: return read_elements<uint16_t, Swapped, half_item>;
                case 4: return read_elements<uint32_t, Swapped, float_item>;
                case 8: return read_elements<uint64_t, Swapped, double_item>;
                default: return nullptr;
            }
    }
    return nullptr;
}

// The struct-module codes of single numbers. Sizes are the platform's with no
// prefix or '@', the fixed standard ones with '=', '<', '>' or '!' (0: the
// code has no standard size).
struct ElementCode {
    char code;
    ElementKind kind;
    Py_ssize_t native_size;
    Py_ssize_t standard_size;
};

constexpr std::array<ElementCode, 16> kElementCodes{{
    {'b', ElementKind::signed_integer, 1, 1},
    {'B', ElementKind::unsigned_integer, 1, 1},
    {'h', ElementKind::signed_integer, sizeof(short), 2},
    {'H', ElementKind::unsigned_integer, sizeof(short), 2},
    {'i', ElementKind::signed_integer, sizeof(int), 4},
    {'I', ElementKind::unsigned_integer, sizeof(int), 4},
    {'l', ElementKind::signed_integer, sizeof(long), 4},
    {'L', ElementKind::unsigned_integer, sizeof(long), 4},
    {'q', ElementKind::signed_integer, sizeof(long long), 8},
    {'Q', ElementKind::unsigned_integer, sizeof(long long), 8},
    {'n', ElementKind::signed_integer, sizeof(Py_ssize_t), 0},
    {'N', ElementKind::unsigned_integer, sizeof(std::size_t), 0},
    {'?', ElementKind::boolean, 1, 1},
    {'e', ElementKind::floating, 2, 2},
    {'f', ElementKind::floating, 4, 4},
    {'d', ElementKind::floating, 8, 8},
}};

// One number of a known code: its kind, its size and whether its bytes are
// in the reverse of the machine's order.
struct Element {
    ElementKind kind;
    Py_ssize_t size;
    bool swapped;
};

// The element of `format` and `itemsize`, or nothing when they are not one
// number of a known code and size.
std::optional<Element> parse_element(std::string_view format, Py_ssize_t itemsize) {
    char order = '@';
    if (!format.empty() && std::string_view("@=<>!").find(format.front()) != std::string_view::npos) {
        order = format.front();
        format.remove_prefix(1);
    }
    if (format.size() != 1) return std::nullopt;
    const auto* code = std::find_if(kElementCodes.begin(), kElementCodes.end(),
                                    [&](const ElementCode& c) { return c.code == format.front(); });
    if (code == kElementCodes.end()) return std::nullopt;
    const Py_ssize_t size = order == '@' ? code->native_size : code->standard_size;
    if (size == 0 || size != itemsize) return std::nullopt;
    constexpr bool kBigEndian = std::endian::native == std::endian::big;
    const bool big = order == '>' || order == '!' || ((order == '@' || order == '=') && kBigEndian);
    return Element{code->kind, size, big != kBigEndian};
}

// The reader for elements of `format` and `itemsize`, or null when they are
// not one number of a known code and size.
ElementReader element_reader(std::string_view format, Py_ssize_t itemsize) {
    const std::optional<Element> e = parse_element(format, itemsize);
    if (!e) return nullptr;
    return e->swapped ? element_reader<true>(e->kind, e->size) : element_reader<false>(e->kind, e->size);
}

// A memoryview iterates only over formats of one struct code in native size
// and order, written bare or after '@': with any other prefix, even one that
// names the native order, its iterator raises NotImplementedError. Half
// floats it unpacks on some interpreter versions only, and not always with
// their NaN payloads. Those formats take the general path, which gives what
// iteration gives, error included.
bool memoryview_iterates(std::string_view format) {
    if (!format.empty() && format.front() == '@') format.remove_prefix(1);
    return format.size() == 1 && format.front() != 'e';
}

// What a view says about the memory it reads.
struct ViewLayout {
    const void* buf = nullptr;
    Py_ssize_t len = 0;
    Py_ssize_t itemsize = 0;
    int ndim = 0;
    // Every dimension, so that a handler that changes a row's length or
    // stride under a two-dimensional read is seen too.
    std::vector<Py_ssize_t> shape;
    std::vector<Py_ssize_t> strides;  // in bytes
    std::string format;

    bool operator==(const ViewLayout&) const = default;
};

// A view of an object's buffer, released with it.
class HeldView {
public:
    HeldView() = default;
    HeldView(const HeldView&) = delete;
    HeldView& operator=(const HeldView&) = delete;
    ~HeldView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // False, with no error pending, when `o` gives no view.
    bool acquire(PyObject* o) {
        if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }

    ViewLayout layout() const {
        const auto dims = static_cast<std::size_t>(view_.ndim);
        return {view_.buf,
                view_.len,
                view_.itemsize,
                view_.ndim,
                {view_.shape, view_.shape + dims},
                {view_.strides, view_.strides + dims},
                view_.format != nullptr ? view_.format : "B"};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// An error a caller's object may give as its answer when it is looked at
// (a wrong type, a value out of range, a broken __iter__ or __str__).
// Interrupts, exits and exhausted memory are not answers: they must reach the
// caller, or a user could not stop the call and a real failure would come back
// dressed as a result.
bool pending_error_is_ordinary() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

// The objects whose memory a view of `o` reads, and how each laid it out when
// the read began: `o`, the exporter behind each memoryview (its `obj`) and
// behind each ndarray (its `base`), as far as the chain goes through those two
// kinds, and the object it ends at. While a view is held an exporter should
// keep its memory in place, and the interpreter's own exporters refuse to
// resize or release then. But an ndarray does not always (resize(refcheck=False)
// reallocates under any view), it holds no view of the object it was made
// over (np.ndarray(buffer=...), np.memmap), and a memoryview that is only an
// ndarray's base can be released. A signal handler run between two blocks of
// a read can do any of these, so after every poll the whole chain is looked at
// again.
class MemoryChain {
public:
    // Null when the chain holds an ndarray whose buffer is not numpy's own, or
    // when `o` or a memoryview or ndarray in it gives no view: such a read
    // takes the general path.
    static std::optional<MemoryChain> of(PyObject* o) {
        Ref ndarray = imported_type("numpy", "ndarray");
        auto* const ndarray_type = reinterpret_cast<PyTypeObject*>(ndarray.get());
        MemoryChain chain;
        Ref link = Ref::borrow(o);
        for (;;) {
            const char* owner = nullptr;
            if (PyMemoryView_Check(link.get())) {
                owner = "obj";
            } else if (ndarray_type != nullptr && PyObject_TypeCheck(link.get(), ndarray_type)) {
                if (PyType_GetSlot(Py_TYPE(link.get()), Py_bf_getbuffer) !=
                    PyType_GetSlot(ndarray_type, Py_bf_getbuffer)) {
                    return std::nullopt;
                }
                owner = "base";
            }
            if (owner == nullptr) break;
            Ref next = Ref::steal(PyObject_GetAttrString(link.get(), owner));
            if (!next) {
                if (!pending_error_is_ordinary()) throw ErrorAlreadySet{};
                PyErr_Clear();
                return std::nullopt;
            }
            chain.links_.push_back(std::move(link));
            if (next.get() == Py_None) break;
            link = std::move(next);
        }
        // Laid out only now, after every attribute above (which a subclass
        // may compute in Python) has been read.
        for (const Ref& native : chain.links_) {
            HeldView view;
            if (!view.acquire(native.get())) return std::nullopt;
            chain.layouts_.push_back(view.layout());
        }
        // The object the chain ends at (array.array when `o` is one), when it
        // gives a view.
        if (link) {
            HeldView view;
            if (view.acquire(link.get())) {
                chain.layouts_.push_back(view.layout());
                chain.links_.push_back(std::move(link));
            }
        }
        if (chain.links_.empty()) return std::nullopt;
        return chain;
    }

    // How `o` was laid out when the chain was made.
    const ViewLayout& layout() const { return layouts_.front(); }

    // Whether every link still gives a view laid out as when the chain was
    // made. Only the end of the chain can run Python code when it is viewed
    // (an exporter written in Python), so it is looked at first: whatever
    // that code lets a handler do to the links before it is still seen.
    bool unchanged() const {
        for (std::size_t i = links_.size(); i-- > 0;) {
            HeldView view;
            if (!view.acquire(links_[i].get()) || view.layout() != layouts_[i]) return false;
        }
        return true;
    }

private:
    std::vector<Ref> links_;
    std::vector<ViewLayout> layouts_;
};

// Reads the numbers of `o`'s buffer into `out` when it has one dimension or,
// up to `max_dims`, two (rows in the first, each read as the one-dimensional
// buffer of that row would be) and elements of a known number format; a
// memoryview (`iteration`) only in the formats its iterator takes. The layout
// read, or nothing (nothing read, no error pending) for anything else, and for
// a read long enough to poll whose memory chain cannot be made: the caller
// takes the general path then, as for any other object.
std::optional<ViewLayout> read_numeric_view(PyObject* o, NativeIteration iteration, int max_dims,
                                            std::vector<float>& out) {
    HeldView held;
    if (!held.acquire(o)) return std::nullopt;
    const ViewLayout layout = held.layout();
    if (layout.ndim < 1 || layout.ndim > max_dims) return std::nullopt;
    if (iteration == NativeIteration::memoryview && !memoryview_iterates(layout.format)) return std::nullopt;
    const ElementReader read = element_reader(layout.format, layout.itemsize);
    if (read == nullptr) return std::nullopt;
    const bool one_row = layout.ndim == 1;
    const Py_ssize_t rows = one_row ? 1 : layout.shape[0];
    const Py_ssize_t row_stride = one_row ? 0 : layout.strides[0];
    const Py_ssize_t cols = layout.shape.back();
    const Py_ssize_t stride = layout.strides.back();
    const Py_ssize_t n = rows * cols;
    // In blocks, so that reading a huge buffer (or one huge row) answers
    // Ctrl-C like any other argument conversion (the buffer is released as
    // the stop unwinds). The result grows block by block: reserving touches
    // no memory, so a stop comes before the whole result has been zero-filled.
    constexpr Py_ssize_t kBlock = Py_ssize_t{1} << 16;
    // Only a read of several blocks polls in the middle, so only such a read
    // needs its chain (looking at it costs about as much as a short read).
    std::optional<MemoryChain> chain;
    if (n > kBlock) {
        chain = MemoryChain::of(o);
        if (!chain) return std::nullopt;
        // (a subclass's `base`, computed in Python, may have changed `o`)
        if (chain->layout() != layout) raise(PyExc_BufferError, kChangedWhileRead);
    }
    const auto* const base = static_cast<const char*>(layout.buf);
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    CancelPoll& poll = conversion_poll();
    for (Py_ssize_t first = 0; first < n; first += kBlock) {
        const Py_ssize_t last = std::min(n, first + kBlock);
        out.resize(static_cast<std::size_t>(last));
        // The part of each row the block covers.
        for (Py_ssize_t i = first; i < last;) {
            const Py_ssize_t r = i / cols;
            const Py_ssize_t row_first = r * cols;
            const Py_ssize_t stop = std::min(last, row_first + cols);
            read(base + r * row_stride, stride, i - row_first, stop - row_first, out.data() + row_first);
            i = stop;
        }
        if (poll.tick(static_cast<std::uint64_t>(last - first)) && last < n && !chain->unchanged()) {
            raise(PyExc_BufferError, kChangedWhileRead);
        }
    }
    return layout;
}

// A one-dimensional buffer of a type whose own iteration `o` keeps.
bool read_numeric_buffer(PyObject* o, std::vector<float>& out) {
    if (!PyObject_CheckBuffer(o)) return false;
    const NativeIteration iteration = native_iteration(o);
    if (iteration == NativeIteration::none) return false;
    return read_numeric_view(o, iteration, 1, out).has_value();
}

// The integers of a one-dimensional buffer of an integer format, or nothing
// (no error pending) when `o` gives no such view; OverflowError for an
// unsigned 64-bit value beyond the signed range.
std::optional<std::vector<std::int64_t>> integer_array_items(PyObject* o);

// ---- display texts -------------------------------------------------------------

constexpr Py_UCS4 kReplacementCharacter = 0xFFFD;

bool is_surrogate(Py_UCS4 cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

void append_utf8(std::string& out, Py_UCS4 cp) {
    const auto byte = [&](Py_UCS4 bits) { out.push_back(static_cast<char>(bits)); };
    if (cp < 0x80) {
        byte(cp);
    } else if (cp < 0x800) {
        byte(0xC0 | (cp >> 6));
        byte(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        byte(0xE0 | (cp >> 12));
        byte(0x80 | ((cp >> 6) & 0x3F));
        byte(0x80 | (cp & 0x3F));
    } else {
        byte(0xF0 | (cp >> 18));
        byte(0x80 | ((cp >> 12) & 0x3F));
        byte(0x80 | ((cp >> 6) & 0x3F));
        byte(0x80 | (cp & 0x3F));
    }
}

// The UTF-8 of a str. A display text may hold lone surrogates, which UTF-8
// cannot carry; each one becomes U+FFFD rather than failing the call.
std::string lossy_utf8(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* bytes = PyUnicode_AsUTF8AndSize(text, &size)) {
        return std::string(bytes, static_cast<std::size_t>(size));
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    const Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) throw ErrorAlreadySet{};
    std::string out;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 cp = PyUnicode_ReadChar(text, i);
        if (cp == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
        append_utf8(out, is_surrogate(cp) ? kReplacementCharacter : cp);
    }
    return out;
}

std::string unprintable_placeholder(PyObject* o) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
    if (name) {
        try {
            return "<unprintable " + lossy_utf8(name.get()) + " object>";
        } catch (const ErrorAlreadySet&) {
        }
    }
    PyErr_Clear();
    return "<unprintable object>";
}

// What str() makes of `o`. Every object has a text: when its str() fails in
// an ordinary way, the failure goes to the unraisable hook and a placeholder
// naming the type stands in.
std::string display_text(PyObject* o) {
    Ref text = Ref::steal(PyObject_Str(o));
    if (text) return lossy_utf8(text.get());
    if (!pending_error_is_ordinary()) throw ErrorAlreadySet{};
    PyErr_WriteUnraisable(o);
    return unprintable_placeholder(o);
}

}  // namespace

CancelPoll& conversion_poll() noexcept {
    // Constant-initialised, so reaching it needs no guard.
    thread_local constinit CancelPoll poll;
    return poll;
}

void require_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) type_mismatch(o, "Sequence");
}

std::vector<float> Arg<std::vector<float>>::convert(PyObject* o) {
    std::vector<float> out;
    // The package's own arrays are no sequences, but a one-dimensional one
    // handed back in is read as the numbers it holds (it has no iteration to
    // keep; its export runs no Python code and its memory never moves).
    if (is_array(o) && read_numeric_view(o, NativeIteration::none, 1, out)) return out;
    require_sequence(o);
    if (read_numeric_buffer(o, out)) return out;
    Py_ssize_t done = 0;
    if (PyList_CheckExact(o)) {
        // Reading an exact float runs no Python code, so while the items are
        // exact floats the list cannot change and needs neither a re-read
        // length nor a held reference per item. Only the interruption poll
        // between blocks can run Python code (a signal handler), so the length
        // is read again after each one.
        Py_ssize_t n = PyList_Size(o);
        out.reserve(static_cast<std::size_t>(n));
        CancelPoll& poll = conversion_poll();
        constexpr auto kBlock = static_cast<Py_ssize_t>(kCancelBlockItems);
        while (done < n) {
            const Py_ssize_t stop = done + std::min(n - done, kBlock);
            for (PyObject* item = nullptr; done < stop && PyFloat_CheckExact(item = PyList_GetItem(o, done));
                 ++done) {
                out.push_back(static_cast<float>(PyFloat_AsDouble(item)));
            }
            if (done < stop) break;  // an item that is not an exact float
            poll.tick(static_cast<std::uint64_t>(kBlock) * kUnitsPerPythonItem);
            n = PyList_Size(o);
        }
        if (done == n) return out;
    } else {
        out.reserve(reserve_hint(o));
    }
    for_each_sequence_item(o, [&](PyObject* item) { out.push_back(Arg<float>::convert(item)); }, done);
    return out;
}

namespace {

std::int8_t small_integer(std::int64_t v) {
    if (v < std::numeric_limits<std::int8_t>::min() || v > std::numeric_limits<std::int8_t>::max()) {
        raise(PyExc_OverflowError, kOutOfRange);
    }
    return static_cast<std::int8_t>(v);
}

}  // namespace

std::vector<std::int8_t> Arg<std::vector<std::int8_t>>::convert(PyObject* o) {
    // The package's own integer arrays (its sign vectors) are no sequences,
    // but a one-dimensional one handed back in is read as the integers it
    // holds, each checked as an item is; otherwise an engine's result could
    // not be passed to the next call (and a counterfactual would hash the
    // array's display text instead of its signs).
    if (is_array(o)) {
        if (std::optional<std::vector<std::int64_t>> items = integer_array_items(o)) {
            std::vector<std::int8_t> out;
            out.reserve(items->size());
            for (const std::int64_t v : *items) out.push_back(small_integer(v));
            return out;
        }
    }
    return convert_sequence<std::int8_t>(o, [](PyObject* item) { return small_integer(to_int64(item)); });
}

std::vector<std::string> Arg<std::vector<std::string>>::convert(PyObject* o) {
    return convert_sequence<std::string>(o, [](PyObject* item) { return Arg<std::string>::convert(item); });
}

std::vector<std::vector<float>> Arg<std::vector<std::vector<float>>>::convert(PyObject* o) {
    // A two-dimensional package array handed back in is its rows, read as
    // the vectors they are.
    if (std::vector<float> all; is_array(o)) {
        const std::optional<ViewLayout> layout = read_numeric_view(o, NativeIteration::none, 2, all);
        if (layout && layout->ndim == 2) {
            const auto cols = static_cast<std::ptrdiff_t>(layout->shape[1]);
            std::vector<std::vector<float>> rows(static_cast<std::size_t>(layout->shape[0]));
            for (std::size_t r = 0; r < rows.size(); ++r) {
                const auto first = all.begin() + static_cast<std::ptrdiff_t>(r) * cols;
                rows[r].assign(first, first + cols);
            }
            return rows;
        }
    }
    return convert_sequence<std::vector<float>>(o,
                                                [](PyObject* item) { return Arg<std::vector<float>>::convert(item); });
}

std::array<float, 3> Arg<std::array<float, 3>>::convert(PyObject* o) {
    const auto require_three = [](Py_ssize_t n) {
        if (n != 3) {
            PyErr_Format(PyExc_ValueError, "expected a sequence of length 3 (got %zd)", n);
            throw ErrorAlreadySet{};
        }
    };
    std::array<float, 3> out{};
    // A one-dimensional package array handed back in, read as a vector is.
    if (std::vector<float> v; is_array(o) && read_numeric_view(o, NativeIteration::none, 1, v)) {
        require_three(static_cast<Py_ssize_t>(v.size()));
        std::copy(v.begin(), v.end(), out.begin());
        return out;
    }
    if (!PySequence_Check(o)) type_mismatch(o, "Sequence");
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) throw ErrorAlreadySet{};
    require_three(n);
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Ref item = Ref::steal(check(PySequence_GetItem(o, i)));
        out[static_cast<std::size_t>(i)] = Arg<float>::convert(item.get());
    }
    return out;
}

std::uint64_t Arg<std::uint64_t>::convert(PyObject* o) {
    Ref value = index_of(o);
    const unsigned long long v = PyLong_AsUnsignedLongLong(value.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
    return v;
}

std::uint32_t Arg<std::uint32_t>::convert(PyObject* o) {
    // Every value above the range, however large, is refused in the same words;
    // a negative one gets the interpreter's own unsigned-conversion error.
    const Int64 v = read_int64(o);
    constexpr auto kMax = static_cast<long long>(std::numeric_limits<std::uint32_t>::max());
    if (v.overflow > 0 || (v.overflow == 0 && v.value > kMax)) {
        raise(PyExc_OverflowError, kOutOfRange);
    }
    if (v.overflow < 0 || v.value < 0) raise(PyExc_OverflowError, "can't convert negative int to unsigned");
    return static_cast<std::uint32_t>(v.value);
}

std::int32_t Arg<std::int32_t>::convert(PyObject* o) {
    const std::int64_t v = to_int64(o);
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
        raise(PyExc_OverflowError, kOutOfRange);
    }
    return static_cast<std::int32_t>(v);
}

double Arg<double>::convert(PyObject* o) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
    return v;
}

std::string Arg<std::string>::convert(PyObject* o) {
    if (!PyUnicode_Check(o)) type_mismatch(o, "PyString");
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(o, &size);
    if (bytes == nullptr) throw ErrorAlreadySet{};
    return std::string(bytes, static_cast<std::size_t>(size));
}

std::variant<std::vector<std::int8_t>, std::string> Arg<std::variant<std::vector<std::int8_t>, std::string>>::convert(
    PyObject* o) {
    try {
        return Arg<std::vector<std::int8_t>>::convert(o);
    } catch (const ErrorAlreadySet&) {
        if (!pending_error_is_ordinary()) throw;
        PyErr_Clear();
    }
    // A package array's own text names only its type and shape; it stands
    // for the list of its numbers, and takes that list's text.
    if (is_array(o)) {
        Ref numbers = Ref::steal(check(PyObject_CallMethod(o, "tolist", nullptr)));
        return display_text(numbers.get());
    }
    return display_text(o);
}

std::variant<std::string, std::array<float, 3>> Arg<std::variant<std::string, std::array<float, 3>>>::convert(
    PyObject* o) {
    if (PyUnicode_Check(o)) return Arg<std::string>::convert(o);
    return Arg<std::array<float, 3>>::convert(o);
}

Ref to_python(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

Ref to_python(double v) { return Ref::steal(check(PyFloat_FromDouble(v))); }

Ref to_python(std::uint64_t v) { return Ref::steal(check(PyLong_FromUnsignedLongLong(v))); }

Ref to_python(std::int64_t v) { return Ref::steal(check(PyLong_FromLongLong(v))); }

Ref to_python(std::string_view v) {
    return Ref::steal(check(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()))));
}

Ref to_python(std::span<const float> v) {
    // Most vectors are bipolar or sparse: the components +1, -1 and +0 share
    // one float object each per result instead of one allocation per
    // component. Floats are immutable, so sharing is invisible to callers.
    constexpr std::array<float, 3> kShared{1.0f, -1.0f, 0.0f};
    std::array<Ref, kShared.size()> shared;
    return make_list(v.size(), [&](std::size_t i) {
        const float x = v[i];
        for (std::size_t k = 0; k < kShared.size(); ++k) {
            if (std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(kShared[k])) {
                if (!shared[k]) shared[k] = to_python(static_cast<double>(x));
                return Ref::borrow(shared[k].get());
            }
        }
        return to_python(static_cast<double>(x));
    });
}

// ---- the companion package's kinds ----------------------------------------------

namespace {

// Rows of a one- or two-dimensional numeric buffer (one row for one
// dimension), each read as the one-dimensional buffer of that row would be.
// Any exporter is read (the package's own arrays among them), except a
// memoryview of a format it does not iterate, which the general path refuses
// as it refuses that memoryview as a vector. False (nothing read) for
// anything else, and for a long read whose memory cannot be watched: the
// general path then reads the rows as a sequence.
bool read_numeric_rows(PyObject* o, FloatTable& out) {
    if (!PyObject_CheckBuffer(o)) return false;
    const std::optional<ViewLayout> layout = read_numeric_view(o, native_iteration(o), 2, out.values);
    if (!layout) return false;
    out.count = layout->ndim == 1 ? 1 : static_cast<std::uint64_t>(layout->shape[0]);
    out.dim = static_cast<std::uint64_t>(layout->shape.back());
    return true;
}

// Whether an item of a sequence is a row (rather than a number of one row).
bool is_row(PyObject* item) { return PySequence_Check(item) != 0; }

Py_ssize_t buffer_dimensions(PyObject* o) {
    if (!PyObject_CheckBuffer(o)) return -1;
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return -1;
    }
    const Py_ssize_t ndim = view.ndim;
    PyBuffer_Release(&view);
    return ndim;
}

}  // namespace

std::int64_t Arg<std::int64_t>::convert(PyObject* o) { return to_int64(o); }

bool Arg<bool>::convert(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    type_mismatch(o, "PyBool");
}

Count Arg<Count>::convert(PyObject* o) {
    const Int64 v = read_int64(o);
    if (v.overflow < 0 || (v.overflow == 0 && v.value < 0)) {
        Ref text = Ref::steal(check(PyObject_Repr(index_of(o).get())));
        PyErr_Format(PyExc_ValueError, "must not be negative, got %U", text.get());
        throw ErrorAlreadySet{};
    }
    return Count{Arg<std::uint64_t>::convert(o)};
}

FloatTable Arg<FloatTable>::convert(PyObject* o) {
    FloatTable out;
    if (read_numeric_rows(o, out)) return out;
    if (const Py_ssize_t ndim = buffer_dimensions(o); ndim > 2) {
        PyErr_Format(PyExc_ValueError, "expected one or two dimensions, got %zd", ndim);
        throw ErrorAlreadySet{};
    }
    require_sequence(o);
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) throw ErrorAlreadySet{};
    if (n == 0) raise(PyExc_ValueError, "an empty sequence has no row length");
    Ref first = Ref::steal(check(PySequence_GetItem(o, 0)));
    if (!is_row(first.get())) {
        out.values = Arg<std::vector<float>>::convert(o);
        out.count = 1;
        out.dim = out.values.size();
        return out;
    }
    const std::vector<std::vector<float>> rows = Arg<std::vector<std::vector<float>>>::convert(o);
    out.count = rows.size();
    out.dim = rows.empty() ? 0 : rows.front().size();
    out.values.reserve(static_cast<std::size_t>(out.count * out.dim));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].size() != out.dim) {
            PyErr_Format(PyExc_ValueError, "rows must share one length: row 0 has %zu components, row %zu has %zu",
                         static_cast<std::size_t>(out.dim), r, rows[r].size());
            throw ErrorAlreadySet{};
        }
        out.values.insert(out.values.end(), rows[r].begin(), rows[r].end());
    }
    return out;
}

namespace {

template <class Bits>
std::int64_t load_integer(const char* p, const Element& e) {
    Bits bits;
    std::memcpy(&bits, p, sizeof bits);
    if (e.swapped) bits = byte_reversed(bits);
    if (e.kind == ElementKind::unsigned_integer) {
        if constexpr (sizeof(Bits) == sizeof(std::int64_t)) {
            if (bits > static_cast<Bits>(std::numeric_limits<std::int64_t>::max())) raise(PyExc_OverflowError, kOutOfRange);
        }
        return static_cast<std::int64_t>(bits);
    }
    return static_cast<std::int64_t>(std::bit_cast<std::make_signed_t<Bits>>(bits));
}

std::int64_t load_integer(const char* p, const Element& e) {
    switch (e.size) {
        case 1: return load_integer<std::uint8_t>(p, e);
        case 2: return load_integer<std::uint16_t>(p, e);
        case 4: return load_integer<std::uint32_t>(p, e);
        default: return load_integer<std::uint64_t>(p, e);
    }
}

std::optional<std::vector<std::int64_t>> integer_array_items(PyObject* o) {
    HeldView view;
    if (!view.acquire(o)) return std::nullopt;
    const ViewLayout layout = view.layout();
    const std::optional<Element> element = parse_element(layout.format, layout.itemsize);
    if (!element || layout.ndim != 1 ||
        (element->kind != ElementKind::signed_integer && element->kind != ElementKind::unsigned_integer)) {
        return std::nullopt;
    }
    std::vector<std::int64_t> out;
    out.reserve(static_cast<std::size_t>(layout.shape[0]));
    const auto* const base = static_cast<const char*>(layout.buf);
    for (Py_ssize_t i = 0; i < layout.shape[0]; ++i) {
        out.push_back(load_integer(base + i * layout.strides[0], *element));
    }
    return out;
}

}  // namespace

IndexTable Arg<IndexTable>::convert(PyObject* o) {
    // Nothing below runs Python code while the view is held, so the memory
    // stays as it was for the whole read.
    HeldView view;
    if (!PyObject_CheckBuffer(o) || !view.acquire(o)) type_mismatch(o, "integer buffer");
    const ViewLayout layout = view.layout();
    const std::optional<Element> element = parse_element(layout.format, layout.itemsize);
    if (!element || layout.ndim < 1 || layout.ndim > 2 ||
        (element->kind != ElementKind::signed_integer && element->kind != ElementKind::unsigned_integer)) {
        type_mismatch(o, "integer buffer");
    }
    IndexTable out;
    out.count = layout.ndim == 1 ? 1 : static_cast<std::uint64_t>(layout.shape[0]);
    out.dim = static_cast<std::uint64_t>(layout.shape.back());
    const Py_ssize_t row_stride = layout.ndim == 1 ? 0 : layout.strides[0];
    const Py_ssize_t stride = layout.strides.back();
    out.values.reserve(static_cast<std::size_t>(out.count * out.dim));
    const auto* const base = static_cast<const char*>(layout.buf);
    for (std::uint64_t r = 0; r < out.count; ++r) {
        for (std::uint64_t c = 0; c < out.dim; ++c) {
            const char* p = base + static_cast<Py_ssize_t>(r) * row_stride + static_cast<Py_ssize_t>(c) * stride;
            out.values.push_back(load_integer(p, *element));
        }
    }
    return out;
}

}  // namespace tessarin::py
