// Snapshots: an engine's whole state as bytes, and a bounds-checked reader
// that rebuilds it.
//
// Layout (every integer little-endian, every float its IEEE-754 bits):
//
//   offset  size  field
//        0     8  magic "TSRNSNAP"
//        8     4  format version (u32)
//       12     4  engine kind (u32, SnapshotKind)
//       16     8  dim (u64; 0 for an engine that has none)
//       24     8  body length B (u64)
//       32     B  the engine's fields, in the order its own writer puts them
//   32 + B     4  CRC-32C (Castagnoli) of bytes [0, 32 + B)
//
// Field kinds the body is made of: u8, u32, u64, f32; a string is a u64 byte
// count then the bytes; a float vector is a u64 count then the floats; a row
// (SnapshotWriter::row) keeps an exactly bipolar vector as one sign bit a
// component.
//
// Versions: the writer always writes kSnapshotFormatVersion. A reader takes
// every version from kOldestSnapshotFormatVersion up to it, and an engine's
// reader branches on version() where a field was added or changed, so a
// version once released stays readable. A newer version is refused before
// anything else is read (its trailer or header may differ).
//
// Bad input: every failure is a SnapshotError (an InputError, so it reaches
// Python as ValueError) whose message names what is wrong: truncated, not a
// snapshot, newer version, another engine's kind, checksum mismatch, a count
// larger than the bytes left could hold, a field out of range. Every count and
// length is checked against the bytes left before anything is allocated, so no
// input makes the reader allocate more than a small multiple of its own size.
// Engines rebuild into a fresh object returned by value, so a rejected
// snapshot leaves no half-built engine behind.
//
// Reading from a source (a file): the reader pulls the bytes through a small
// window, reused and grown only for a field longer than it, so that a large
// snapshot is rebuilt without a second copy of the whole of it in memory. The
// header's lengths are checked against the source's size before anything
// else; the checksum runs over the bytes as they arrive and is checked once
// the last byte of the state has been pulled in, which is before the engine's
// reader can finish: an engine is only ever returned from intact bytes. A
// snapshot that fits in one window is checked whole before its state is
// parsed, as one in memory is.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/algebra.hpp"
#include "core/cancel.hpp"
#include "core/fault.hpp"
#include "core/row_store.hpp"

namespace tessarin {

using SnapshotBytes = std::vector<std::uint8_t>;
using SnapshotView = std::span<const std::uint8_t>;

inline constexpr std::array<std::uint8_t, 8> kSnapshotMagic = {'T', 'S', 'R', 'N', 'S', 'N', 'A', 'P'};
inline constexpr std::uint32_t kSnapshotFormatVersion = 1;
inline constexpr std::uint32_t kOldestSnapshotFormatVersion = 1;
inline constexpr std::size_t kSnapshotHeaderBytes = 32;
inline constexpr std::size_t kSnapshotTrailerBytes = 4;

// The engine a snapshot belongs to. The numbers are part of the format: never
// renumber, only append.
enum class SnapshotKind : std::uint32_t {
    hkvc = 1,
    holo_swarm = 2,
    causal_memory = 3,
    multi_hop_reasoner = 4,
    optimizer = 5,
    self_audit = 6,
    metacognition = 7,
    holo_cpu_scheduler = 8,
    quantum_attention_head = 9,
    holo_gen_engine = 10,
    item_memory = 11,
};

std::string_view snapshot_kind_name(SnapshotKind kind);

// The length in bytes of the whole snapshot that starts with `head`, read from
// its header (a streamed snapshot's first piece holds the whole header); 0
// when `head` does not start with a snapshot header. Only a size to plan for:
// nothing of the snapshot is checked.
std::uint64_t snapshot_length_from_header(SnapshotView head);

class SnapshotError : public InputError {
public:
    using InputError::InputError;
};

// CRC-32C (Castagnoli, reflected, initial and final complement) of `data`,
// continuing from `crc` (the value of a previous call; 0 to start). Runs the
// processor's crc32 instruction where there is one, else crc32c_portable.
std::uint32_t crc32c(std::span<const std::uint8_t> data, std::uint32_t crc = 0);
// The table-driven form, eight bytes a step; same results everywhere.
std::uint32_t crc32c_portable(std::span<const std::uint8_t> data, std::uint32_t crc = 0);
// Whether crc32c runs the instruction on this processor.
bool crc32c_has_instruction();

// Receives a streamed snapshot piece by piece, in order (a file's write, say).
// An exception it throws ends the snapshot and reaches the caller; the engine
// is only read, so it is unchanged whatever happens.
using SnapshotSink = std::function<void(SnapshotView)>;
// About this many bytes a piece: small enough to stay in the cache while the
// checksum runs over it, large enough that a sink call per piece costs nothing.
inline constexpr std::size_t kSnapshotPieceBytes = std::size_t{1} << 20;

class SnapshotWriter {
public:
    // Starts a snapshot of `kind` with `dim` in its header, kept whole in memory.
    SnapshotWriter(SnapshotKind kind, std::uint64_t dim);
    // Starts a streamed snapshot whose state will take `body_length` bytes
    // (measured first by a measuring writer over the same state): pieces of
    // about `piece_bytes` go to `sink` as they fill, so that a large engine
    // is saved without a second copy of its whole state in memory. Polls as
    // pieces go out: writing may unwind with Cancelled.
    SnapshotWriter(SnapshotKind kind, std::uint64_t dim, std::uint64_t body_length, SnapshotSink sink,
                   std::size_t piece_bytes = kSnapshotPieceBytes);
    // A writer that only counts the bytes of the state written to it.
    static SnapshotWriter measuring();
    // Bytes of state written so far (the header not counted).
    std::uint64_t body_length() const;

    // Room for `bytes` more, to save regrowing a large buffer.
    void reserve(std::size_t bytes);

    void u8(std::uint8_t v);
    void u32(std::uint32_t v);
    void u64(std::uint64_t v);
    void f32(float v);
    void boolean(bool v) { u8(v ? 1 : 0); }
    void string(std::string_view s);
    // A u64 count, then the floats.
    void floats(HvView v);
    // The floats alone, for a count written or implied elsewhere.
    void raw_floats(HvView v);
    // A row: a tag byte (bit 0: sign bits, bit 1: the length is
    // `usual_length` and not written), the length as u64 unless implied, then
    // one bit a component (set: -1.0f; bit k of byte i is component 8i + k,
    // spare bits zero) for an exactly bipolar row, or the floats.
    void row(HvView v, std::uint64_t usual_length);
    // Record k of `store` as a row, a packed one straight from its sign bits.
    void row(const RowStore& store, std::size_t k, std::uint64_t usual_length);
    // Every record of `stores` (which hold one number of rows each) in order,
    // each as its row of every store in turn: the bytes that row(store, j,
    // usual_length) gives record after record and store after store. Stores
    // of packed rows alone go block by block without looking up each row, and
    // a measuring writer sums their lengths from the block tables.
    void rows(std::initializer_list<const RowStore*> stores, std::uint64_t usual_length);

    // Seals the snapshot: the body length into the header, then the
    // checksum. A streamed snapshot sends its last piece and the checksum to
    // the sink and returns nothing; Fault if the state written differs in
    // length from the one measured (it changed in between).
    SnapshotBytes finish() &&;

private:
    enum class Mode { whole, streamed, measuring };
    SnapshotWriter() = default;
    std::uint8_t* grow(std::size_t n);
    // Measuring: counts n bytes of bulk data without writing them anywhere.
    bool counted(std::size_t n);
    void send_piece();
    void row_head(bool signs, std::uint64_t length, std::uint64_t usual_length);

    Mode mode_ = Mode::measuring;
    SnapshotBytes out_;
    Hypervector scratch_;
    SnapshotSink sink_;
    std::size_t piece_bytes_ = kSnapshotPieceBytes;
    std::uint64_t announced_ = 0;     // streamed: the body length in the header
    std::uint64_t passed_ = 0;        // bytes sent to the sink, or counted
    std::uint32_t crc_ = 0;           // streamed: the checksum of what was sent
    CancelPoll poll_;                 // streamed: a byte sent is a unit of work
};

// Where a streamed snapshot's bytes come from, front to back.
class SnapshotSource {
public:
    virtual ~SnapshotSource() = default;
    // The source's whole length, known before reading (a regular file's
    // size): the header's lengths, and so every count, are checked against it.
    virtual std::uint64_t size() const = 0;
    // Fills the front of `out` with the next bytes and says how many; 0 only
    // at the end.
    virtual std::size_t read(std::span<std::uint8_t> out) = 0;
};

// The window a reader pulls a source through: large enough that a pull per
// window costs nothing, small enough to stay in the cache while it is parsed.
inline constexpr std::size_t kSnapshotWindowBytes = std::size_t{1} << 20;

class SnapshotReader {
public:
    // Checks the header, the length and the checksum of `bytes`, which must
    // be a snapshot of `kind`. The bytes must outlive the reader. Readers poll
    // as bytes are checked and taken: reading may unwind with Cancelled.
    SnapshotReader(SnapshotView bytes, SnapshotKind kind);
    // Checks the header against the source's size and pulls the first
    // window; the checksum is checked once the last byte of the state is in
    // (see above). The source must outlive the reader.
    SnapshotReader(SnapshotSource& source, SnapshotKind kind, std::size_t window_bytes = kSnapshotWindowBytes);
    SnapshotReader(const SnapshotReader&) = delete;
    SnapshotReader& operator=(const SnapshotReader&) = delete;

    std::uint32_t version() const { return version_; }
    std::uint64_t dim() const { return dim_; }
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - at_) + static_cast<std::size_t>(unpulled_); }

    // Each names the field in the message if the bytes run out.
    std::uint8_t u8(std::string_view what);
    std::uint32_t u32(std::string_view what);
    std::uint64_t u64(std::string_view what);
    float f32(std::string_view what);
    bool boolean(std::string_view what);
    std::string string(std::string_view what);
    Hypervector floats(std::string_view what);
    // Exactly n floats (n checked against the bytes left first).
    Hypervector raw_floats(std::uint64_t n, std::string_view what);
    // A row as SnapshotWriter::row wrote it, into `out` (resized).
    void row(Hypervector& out, std::uint64_t usual_length, std::string_view what);
    Hypervector row(std::uint64_t usual_length, std::string_view what);
    // A row appended to `store`, a sign row straight from its bits.
    void row(RowStore& store, std::uint64_t usual_length, std::string_view what);

    // A count of items of which each takes at least `min_bytes_each` bytes
    // (at least 1): a count the bytes left cannot hold is refused here,
    // before the caller reserves anything for it.
    std::uint64_t count(std::string_view what, std::uint64_t min_bytes_each);
    // A u64 that must not exceed `limit`.
    std::uint64_t bounded(std::string_view what, std::uint64_t limit);

    // Every byte of the body must have been read.
    void finish() const;
    // After a refusal: pulls whatever of the state is still unread and checks
    // the checksum, so that bytes damaged further on are reported as such
    // rather than as whatever their first wrong field looked like.
    void check_rest();

    // Throws SnapshotError "snapshot <what>: <problem>".
    [[noreturn]] static void invalid(std::string_view what, std::string_view problem);

private:
    // The header's checks, given its first bytes (up to a whole header) and
    // the snapshot's length n; the body length it announces.
    std::uint64_t check_header(SnapshotView head, std::uint64_t n);
    void check_kind(SnapshotView head, SnapshotKind kind);
    // Takes `bytes` of the state just pulled in into the checksum; once the
    // whole state is in, checks it against `trailer`.
    void pulled(SnapshotView bytes);
    void check_checksum(SnapshotView trailer) const;
    // Makes at least n bytes of the window contiguous at at_ (n <= remaining()).
    void pull(std::size_t n);
    void read_exactly(std::span<std::uint8_t> out);
    const std::uint8_t* take(std::size_t n, std::string_view what);
    struct RowHead {
        bool signs;
        std::uint64_t length;
    };
    RowHead row_head(std::uint64_t usual_length, std::string_view what);
    // n floats into `out`; a row's sign bits, checked for stray bits past its end.
    void floats_into(std::uint64_t n, Hypervector& out, std::string_view what);
    const std::uint8_t* row_signs(std::uint64_t n, std::string_view what);

    Hypervector scratch_;
    std::vector<std::uint64_t> words_;

    SnapshotSource* source_ = nullptr;
    std::unique_ptr<std::uint8_t[]> window_;
    std::size_t window_capacity_ = 0;
    std::size_t window_bytes_ = kSnapshotWindowBytes;
    // The state's bytes in hand are [at_, end_); unpulled_ more wait in the source.
    const std::uint8_t* at_ = nullptr;
    const std::uint8_t* end_ = nullptr;
    std::uint64_t unpulled_ = 0;
    std::uint32_t crc_ = 0;
    CancelPoll poll_;  // a byte checked or taken is a unit of work
    std::uint32_t version_ = 0;
    std::uint64_t dim_ = 0;
};

// Every stateful engine has the same five members, and its kind as
// `static constexpr SnapshotKind kSnapshotKind` (for readers from a source):
//   SnapshotBytes snapshot() const;                  the whole state as a snapshot
//   void snapshot_to(const SnapshotSink&, piece_bytes = kSnapshotPieceBytes) const;
//       the same bytes streamed to a sink in pieces
//   static E from_snapshot(SnapshotView bytes);      an engine that answers every
//       query and continues every change bit for bit as the one that wrote it;
//       SnapshotError for bytes that are not an intact snapshot of this kind
//   void write_state(SnapshotWriter&) const;         the state alone, and the
//   static E read_state(SnapshotReader&, dim);       engine rebuilt from it, for
//       an engine that embeds this one in its own snapshot (dim: the header's)
// The first three are these functions.
template <class Engine>
SnapshotBytes snapshot_engine(const Engine& e, SnapshotKind kind, std::uint64_t dim) {
    SnapshotWriter w(kind, dim);
    e.write_state(w);
    return std::move(w).finish();
}
// The same snapshot streamed to `sink`: the state is written twice, once to
// measure its length for the header, once to send it.
template <class Engine>
void stream_engine_snapshot(const Engine& e, SnapshotKind kind, std::uint64_t dim, const SnapshotSink& sink,
                            std::size_t piece_bytes = kSnapshotPieceBytes) {
    SnapshotWriter measure = SnapshotWriter::measuring();
    e.write_state(measure);
    SnapshotWriter w(kind, dim, measure.body_length(), sink, piece_bytes);
    e.write_state(w);
    (void)std::move(w).finish();
}
template <class Engine>
Engine engine_from_snapshot(SnapshotView bytes, SnapshotKind kind) {
    SnapshotReader r(bytes, kind);
    Engine e = Engine::read_state(r, r.dim());
    r.finish();
    return e;
}
// The same from a source: the engine is built as its bytes stream in, and is
// dropped if anything is wrong up to the checksum at the end.
template <class Engine>
Engine engine_from_snapshot(SnapshotSource& source, SnapshotKind kind,
                            std::size_t window_bytes = kSnapshotWindowBytes) {
    SnapshotReader r(source, kind, window_bytes);
    try {
        Engine e = Engine::read_state(r, r.dim());
        r.finish();
        return e;
    } catch (const SnapshotError&) {
        r.check_rest();
        throw;
    }
}

}  // namespace tessarin
