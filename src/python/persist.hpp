// What the persistence members of a class (ClassBuilder::snapshots) need from
// Python: a file system path, a read-only view of a bytes-like object, and
// the value pickle rebuilds an instance from.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "core/snapshot.hpp"
#include "core/snapshot_file.hpp"
#include "python/ref.hpp"

namespace tessarin::py {

// A str, bytes or os.PathLike as the bytes the system takes for a path
// (TypeError, as os.fspath gives it, for anything else).
std::string filesystem_path(PyObject* path);

// A contiguous read-only view of an object exporting the buffer protocol,
// held for the view's lifetime; TypeError for anything else.
class BufferView {
public:
    explicit BufferView(PyObject* exporter);
    ~BufferView();
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    SnapshotView bytes() const;

private:
    Py_buffer view_{};
};

// A snapshot as the pieces a sink received, in order.
using SnapshotPieces = std::vector<SnapshotBytes>;

// (type(self)._from_snapshot, (payload,)) with the snapshot as payload: a
// bytes object, or from pickle protocol 5 on a PickleBuffer over it, which
// pickle may send out of band.
Ref reduce_value(PyObject* self, SnapshotPieces snapshot, long protocol);

}  // namespace tessarin::py
