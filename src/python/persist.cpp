#include "python/persist.hpp"

#include <cstring>

#include "core/cancel.hpp"
#include "python/errors.hpp"

namespace tessarin::py {

std::string filesystem_path(PyObject* path) {
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(path, &converted) == 0) throw ErrorAlreadySet{};
    const Ref bytes = Ref::steal(converted);
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

BufferView::BufferView(PyObject* exporter) {
    if (PyObject_GetBuffer(exporter, &view_, PyBUF_SIMPLE) != 0) throw ErrorAlreadySet{};
}

BufferView::~BufferView() { PyBuffer_Release(&view_); }

SnapshotView BufferView::bytes() const {
    return SnapshotView(static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len));
}

Ref reduce_value(PyObject* self, SnapshotPieces snapshot, long protocol) {
    std::size_t total = 0;
    for (const SnapshotBytes& piece : snapshot) total += piece.size();
    Ref payload = Ref::steal(check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total))));
    char* at = PyBytes_AsString(payload.get());
    // A byte copied is a unit of work: a large engine's copy is long enough
    // that Ctrl-C must reach it.
    CancelPoll poll;
    for (SnapshotBytes& piece : snapshot) {
        if (!piece.empty()) std::memcpy(at, piece.data(), piece.size());
        at += piece.size();
        poll.tick(piece.size());
        piece = SnapshotBytes();  // the bytes object is the one copy from here on
    }
    if (protocol >= 5) {
        Ref pickle = Ref::steal(check(PyImport_ImportModule("pickle")));
        payload = Ref::steal(check(PyObject_CallMethod(pickle.get(), "PickleBuffer", "O", payload.get())));
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    Ref rebuild = Ref::steal(check(PyObject_GetAttrString(type, "_from_snapshot")));
    return Ref::steal(check(Py_BuildValue("(O(O))", rebuild.get(), payload.get())));
}

}  // namespace tessarin::py
