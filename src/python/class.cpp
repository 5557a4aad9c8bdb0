#include "python/class.hpp"

#include <atomic>

namespace tessarin::py {

BorrowGuard::BorrowGuard(std::int64_t& state, bool exclusive) : state_(state), exclusive_(exclusive) {
    if (exclusive_) {
        if (state_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
        state_ = -1;
    } else {
        if (state_ < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++state_;
    }
}

BorrowGuard::~BorrowGuard() {
    if (exclusive_) {
        state_ = 0;
    } else {
        --state_;
    }
}

std::string_view ClassDef::name() const {
    const std::string_view q = qualified_name;
    return q.substr(q.rfind('.') + 1);
}

PyObject* ClassDef::make_type() const {
    // The type keeps pointing at the name and at the method and property
    // tables, which the class file's static ClassDef owns for the life of the
    // process; the slots and the PyType_Spec are read only here.
    std::vector<PyType_Slot> slots{
        {Py_tp_doc, const_cast<char*>(docstring)},                       // class docstring, signature first
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},                    // the one way to make an instance
        {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},            // releases (or leaks) the engine
        {Py_tp_methods, const_cast<PyMethodDef*>(methods.data())},      // the method table
        {Py_tp_getset, const_cast<PyGetSetDef*>(getset.data())},        // the properties
    };
    if (length != nullptr) slots.push_back({Py_mp_length, reinterpret_cast<void*>(length)});  // len()
    if (repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(repr)});          // repr()
    if (contains != nullptr) slots.push_back({Py_sq_contains, reinterpret_cast<void*>(contains)});  // `in`
    slots.push_back({0, nullptr});
    PyType_Spec spec{};
    spec.name = qualified_name.c_str();
    spec.basicsize = basicsize;
    // Not subclassable (no BASETYPE flag); no __dict__ and no __weakref__ slot.
    spec.flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    spec.slots = slots.data();
    return PyType_FromSpec(&spec);
}

std::uint64_t current_thread_token() {
    static std::atomic<std::uint64_t> next_token{1};
    // Zero means "not drawn yet"; a constant initialiser keeps the
    // thread_local free of an initialisation guard.
    thread_local std::uint64_t token = 0;
    if (token == 0) token = next_token.fetch_add(1, std::memory_order_relaxed);
    return token;
}

void check_owner_thread(const ClassIdentity& who, std::uint64_t owner) {
    if (owner == current_thread_token()) return;
    set_panic(who.type_path + " is unsendable, but sent to another thread");
    throw ErrorAlreadySet{};
}

void report_foreign_drop(const ClassIdentity& who) {
    const SavedError in_flight;
    const std::string message = who.type_path + " is unsendable, but is being dropped on another thread";
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    // The object itself is half torn down, so the hook is not handed it.
    PyErr_WriteUnraisable(nullptr);
}

void raise_no_deleter() { raise(PyExc_AttributeError, "property has no deleter"); }

}  // namespace tessarin::py
