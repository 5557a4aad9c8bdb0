// Snapshots in files: an atomic replace for saving, a whole read for loading.
//
// Saving writes to a fresh temporary file in the target's folder, flushes it
// to disk, renames it over the target and flushes the folder, so that at any
// moment (a killed process, a full disk, a power cut after the rename) the
// target is either the previous file or the new one, whole. A failed or
// cancelled save removes its temporary file and leaves the target alone.
#pragma once

#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>

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

// The whole content of the file at `path`; FileError when it cannot be read.
// Polls for cancellation as it reads (may unwind with Cancelled).
SnapshotBytes read_whole_file(const std::string& path);

}  // namespace tessarin
