// Snapshots in files: an atomic replace for saving, a streamed read for loading.
//
// Saving writes to a fresh temporary file in the target's folder, flushes it
// to disk, renames it over the target and flushes the folder, so that at any
// moment (a killed process, a full disk, a power cut after the rename) the
// target is either the previous file or the new one, whole. A failed or
// cancelled save removes its temporary file and leaves the target alone.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>

#include "core/cancel.hpp"
#include "core/snapshot.hpp"

namespace tessarin {

// A failed system call on a file: the errno it left and the file it was about.
class FileError : public std::runtime_error {
public:
    FileError(int error_number, std::string path, const std::string& what)
        : std::runtime_error(what), errno_(error_number), path_(std::move(path)) {}
    int error_number() const { return errno_; }
    const std::string& path() const { return path_; }

private:
    int errno_;
    std::string path_;
};

// Calls produce(sink) with a sink that appends to a temporary file beside
// `path`, then replaces `path` with it as described above. Exceptions from
// produce or the sink (FileError, Cancelled, ...) reach the caller after the
// temporary file is removed. Polls for cancellation as it writes (may unwind
// with Cancelled).
void replace_file_atomically(const std::string& path, const std::function<void(const SnapshotSink&)>& produce);

// The file at `path` read front to back, as a reader's source; FileError when
// it cannot be opened or read. Polls for cancellation as it reads (may unwind
// with Cancelled).
class SnapshotFile final : public SnapshotSource {
public:
    explicit SnapshotFile(const std::string& path);
    ~SnapshotFile() override;
    SnapshotFile(const SnapshotFile&) = delete;
    SnapshotFile& operator=(const SnapshotFile&) = delete;

    // Whether the size is known before reading: a regular file's is, a
    // pipe's or a device's is not (their size() is 0).
    bool sized() const { return sized_; }
    std::uint64_t size() const override { return size_; }
    std::size_t read(std::span<std::uint8_t> out) override;
    // The rest of the file, read to its end or to `most` bytes.
    SnapshotBytes read_rest(std::uint64_t most = std::numeric_limits<std::uint64_t>::max());
    // The rest of the file up to the end of the snapshot its header announces
    // (and one byte more); only the header when it is no snapshot's. An
    // endless source (a device, a pipe never closed) is thus read no further
    // than a snapshot would reach.
    SnapshotBytes read_snapshot();

private:
    int fd_;
    std::string path_;
    bool sized_ = false;
    std::uint64_t size_ = 0;
    CancelPoll poll_;
};

// The engine saved in the file at `path` (SnapshotError for a file that is
// not an intact snapshot of `kind`), built as a regular file streams in. A
// file of unknown size is read whole first (as far as its header announces):
// the counts in a snapshot are only as safe as the length they are checked
// against.
template <class Engine>
Engine engine_from_snapshot_file(const std::string& path, SnapshotKind kind) {
    SnapshotFile file(path);
    if (file.sized()) return engine_from_snapshot<Engine>(file, kind);
    const SnapshotBytes bytes = file.read_snapshot();
    return engine_from_snapshot<Engine>(SnapshotView(bytes), kind);
}

// The whole content of the file at `path`; FileError when it cannot be read.
// Polls for cancellation as it reads (may unwind with Cancelled).
SnapshotBytes read_whole_file(const std::string& path);

}  // namespace tessarin
