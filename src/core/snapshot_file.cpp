#include "core/snapshot_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "core/cancel.hpp"

namespace tessarin {
namespace {

[[noreturn]] void fail(int error_number, const std::string& path) {
    throw FileError(error_number, path, std::strerror(error_number));
}

// Owns a file descriptor; closing reports nothing (the paths that care close
// explicitly and check).
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Hands the descriptor over to another owner.
    int release() { return std::exchange(fd_, -1); }
    // Closes now; false with errno set when the close reported an error
    // (a delayed write error surfaces here on some file systems).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

void write_all(int fd, SnapshotView bytes, const std::string& path) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno, path);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
}

// Two hints to the file system that make a large save cost about what writing
// and flushing its bytes costs. Where either fails or does not exist nothing
// is lost: the writes and the fsync that follow decide.
//
// Reserves the blocks of a file that will hold `bytes`, leaving its size as it
// is, so that the writes do not reserve space piece by piece.
void reserve_blocks([[maybe_unused]] int fd, [[maybe_unused]] std::uint64_t bytes) {
#if defined(FALLOC_FL_KEEP_SIZE)
    if (bytes > 0 && bytes <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        (void)::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
    }
#endif
}
// Every this many bytes written, the disk is asked to start writing them out,
// without waiting, so that it works while the rest of the snapshot is made and
// the final fsync waits for the last stretch only, not for the whole file.
constexpr off_t kWritebackStepBytes = off_t{16} << 20;
void start_writeback([[maybe_unused]] int fd, [[maybe_unused]] off_t from, [[maybe_unused]] off_t to) {
#if defined(SYNC_FILE_RANGE_WRITE)
    (void)::sync_file_range(fd, from, to - from, SYNC_FILE_RANGE_WRITE);
#endif
}

// The file being replaced goes once the new one is in place. Letting go of its
// cached pages first (it stays whole on disk) frees memory that the new file's
// pages then take, as they would if the file were rewritten in place; without
// it they come from memory that may have lain free long enough to be costly
// to take again. Only a hint: nothing is lost where it fails. In steps that
// poll, so that Ctrl-C reaches the release of a large file too.
constexpr off_t kReleaseStepBytes = off_t{64} << 20;
void release_cached_pages([[maybe_unused]] const std::string& path, [[maybe_unused]] const struct stat& target,
                          [[maybe_unused]] CancelPoll& poll) {
#if defined(POSIX_FADV_DONTNEED)
    if (!S_ISREG(target.st_mode)) return;
    Descriptor old(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (old.get() < 0 || ::fstat(old.get(), &info) != 0 || info.st_ino != target.st_ino || info.st_dev != target.st_dev) {
        return;
    }
    for (off_t at = 0; at < info.st_size; at += kReleaseStepBytes) {
        if (::posix_fadvise(old.get(), at, kReleaseStepBytes, POSIX_FADV_DONTNEED) != 0) return;
        poll.tick(static_cast<std::uint64_t>(kReleaseStepBytes));
    }
#endif
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The process's file creation mask, read without changing it (umask() alone
// would change it for every thread for a moment).
mode_t process_umask() {
    Descriptor status(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    char text[4096];
    const ssize_t n = status.get() < 0 ? -1 : ::read(status.get(), text, sizeof text - 1);
    if (n > 0) {
        text[n] = '\0';
        if (const char* line = std::strstr(text, "\nUmask:")) {
            return static_cast<mode_t>(std::strtoul(line + 7, nullptr, 8));
        }
    }
    return 022;
}

}  // namespace

void replace_file_atomically(const std::string& path, const std::function<void(const SnapshotSink&)>& produce) {
    const std::string folder = folder_of(path);
    // mkstemp draws a name nobody else holds, in the target's folder so that
    // the rename stays within one file system.
    std::string temporary = path + ".tmp-XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    Descriptor file(::mkstemp(name.data()));
    if (file.get() < 0) fail(errno, path);
    temporary.assign(name.data());
    try {
        // mkstemp makes the file private (0600); a replaced file keeps its
        // permissions, a new one gets those any new file of this process would.
        struct stat target {};
        const bool replacing = ::stat(path.c_str(), &target) == 0;
        const mode_t mode = replacing ? (target.st_mode & 07777) : (0666 & ~process_umask());
        if (::fchmod(file.get(), mode) != 0) fail(errno, temporary);
        // A byte written counts as a unit of work: a large save polls about
        // once a mebibyte, and Ctrl-C ends it with the target untouched.
        CancelPoll poll;
        if (replacing) release_cached_pages(path, target, poll);
        off_t written = 0;
        off_t handed_to_disk = 0;
        produce([&](SnapshotView piece) {
            if (written == 0) reserve_blocks(file.get(), snapshot_length_from_header(piece));
            write_all(file.get(), piece, temporary);
            written += static_cast<off_t>(piece.size());
            if (written - handed_to_disk >= kWritebackStepBytes) {
                start_writeback(file.get(), handed_to_disk, written);
                handed_to_disk = written;
            }
            poll.tick(piece.size());
        });
        if (::fsync(file.get()) != 0) fail(errno, temporary);
        if (!file.close()) fail(errno, temporary);
        if (::rename(temporary.c_str(), path.c_str()) != 0) fail(errno, path);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    // The rename is durable once the folder's entry is on disk.
    Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) fail(errno, folder);
    if (::fsync(dir.get()) != 0) fail(errno, folder);
}

SnapshotFile::SnapshotFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), path_(path) {
    if (fd_ < 0) fail(errno, path);
    Descriptor owned(fd_);
    struct stat info {};
    if (::fstat(fd_, &info) != 0) fail(errno, path);
    if (S_ISDIR(info.st_mode)) fail(EISDIR, path);
    // Only a regular file's size is known before it is read.
    if (S_ISREG(info.st_mode)) {
        sized_ = true;
        size_ = static_cast<std::uint64_t>(info.st_size);
    }
    (void)owned.release();
}

SnapshotFile::~SnapshotFile() { ::close(fd_); }

std::size_t SnapshotFile::read(std::span<std::uint8_t> out) {
    // In steps, each a unit a byte, so that Ctrl-C reaches a large load.
    constexpr std::size_t kStepBytes = std::size_t{8} << 20;
    for (;;) {
        const ssize_t n = ::read(fd_, out.data(), std::min(out.size(), kStepBytes));
        if (n < 0) {
            // A signal ended a read that was waiting (a pipe whose writer
            // stalls): ask before waiting again, so that Ctrl-C ends it.
            if (errno == EINTR) {
                poll_.poll_now();
                continue;
            }
            fail(errno, path_);
        }
        poll_.tick(static_cast<std::uint64_t>(n));
        return static_cast<std::size_t>(n);
    }
}

SnapshotBytes SnapshotFile::read_rest(std::uint64_t most) {
    // The size is a hint (the file may change under us): read to the end,
    // one byte of room more than expected so that the end shows at once.
    // Room grows only as bytes arrive.
    SnapshotBytes out(static_cast<std::size_t>(std::min(size_ + 1, most)));
    std::size_t have = 0;
    while (have < most) {
        if (have == out.size()) out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(2 * out.size(), most)));
        const std::size_t n = read(std::span(out).subspan(have));
        if (n == 0) break;
        have += n;
    }
    out.resize(have);
    return out;
}

SnapshotBytes SnapshotFile::read_snapshot() {
    SnapshotBytes bytes = read_rest(kSnapshotHeaderBytes);
    const std::uint64_t length = snapshot_length_from_header(bytes);
    if (length > bytes.size()) {
        // One byte past the announced end, so that data after the checksum shows.
        const std::uint64_t wanted = std::min(length, std::numeric_limits<std::uint64_t>::max() - 1) + 1;
        const SnapshotBytes rest = read_rest(wanted - bytes.size());
        bytes.insert(bytes.end(), rest.begin(), rest.end());
    }
    return bytes;
}

SnapshotBytes read_whole_file(const std::string& path) { return SnapshotFile(path).read_rest(); }

}  // namespace tessarin
