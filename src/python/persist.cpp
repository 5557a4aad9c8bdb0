#include "python/persist.hpp"

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

Ref reduce_value(PyObject* self, SnapshotBytes snapshot, long protocol) {
    Ref payload = Ref::steal(check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(snapshot.data()),
                                                              static_cast<Py_ssize_t>(snapshot.size()))));
    snapshot = SnapshotBytes();  // the bytes object is the one copy from here on
    if (protocol >= 5) {
        Ref pickle = Ref::steal(check(PyImport_ImportModule("pickle")));
        payload = Ref::steal(check(PyObject_CallMethod(pickle.get(), "PickleBuffer", "O", payload.get())));
    }
    Ref rebuild = Ref::steal(check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_snapshot")));
    return Ref::steal(check(Py_BuildValue("(O(O))", rebuild.get(), payload.get())));
}

}  // namespace tessarin::py
