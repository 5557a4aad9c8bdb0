#include "core/snapshot.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace tessarin {

// The instruction form lives in its own translation unit, compiled for the
// instruction set that has it (snapshot_sse42.cpp); elsewhere it is absent.
#if defined(TESSARIN_HAVE_CRC32C_INSTRUCTION)
std::uint32_t crc32c_instruction_update(std::uint32_t state, const std::uint8_t* p, std::size_t n);
#endif

namespace {

// The reflected Castagnoli polynomial.
constexpr std::uint32_t kCastagnoli = 0x82F63B78U;

// Slicing tables: table[0] is the byte-at-a-time table, table[k][b] the
// state change of byte b followed by k zero bytes.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;
constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t c = b;
        for (int k = 0; k < 8; ++k) c = (c & 1U) ? (c >> 1) ^ kCastagnoli : c >> 1;
        t[0][b] = c;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFFU];
    }
    return t;
}
constexpr CrcTables kCrcTables = make_crc_tables();

std::uint32_t portable_update(std::uint32_t state, const std::uint8_t* p, std::size_t n) {
    const auto& t = kCrcTables;
    while (n >= 8) {
        const std::uint32_t lo = state ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                          std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
        state = t[7][lo & 0xFFU] ^ t[6][(lo >> 8) & 0xFFU] ^ t[5][(lo >> 16) & 0xFFU] ^ t[4][lo >> 24] ^
                t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
        p += 8;
        n -= 8;
    }
    for (; n > 0; --n, ++p) state = (state >> 8) ^ t[0][(state ^ *p) & 0xFFU];
    return state;
}

bool instruction_available() {
#if defined(TESSARIN_HAVE_CRC32C_INSTRUCTION)
    static const bool available = __builtin_cpu_supports("sse4.2");
    return available;
#else
    return false;
#endif
}

constexpr std::uint32_t kPlusOneBits = 0x3F800000U;
constexpr std::uint32_t kMinusOneBits = 0xBF800000U;
constexpr std::uint8_t kRowSigns = 1;
constexpr std::uint8_t kRowUsualLength = 2;

bool exactly_bipolar(HvView v) {
    for (const float x : v) {
        const auto b = std::bit_cast<std::uint32_t>(x);
        if (b != kPlusOneBits && b != kMinusOneBits) return false;
    }
    return true;
}

void store_le32(std::uint8_t* p, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}
void store_le64(std::uint8_t* p, std::uint64_t v) {
    for (int k = 0; k < 8; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}
std::uint32_t load_le32(const std::uint8_t* p) {
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v |= std::uint32_t{p[k]} << (8 * k);
    return v;
}
std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v |= std::uint64_t{p[k]} << (8 * k);
    return v;
}

[[noreturn]] void refuse(const std::string& message) { throw SnapshotError(message); }

std::string hex32(std::uint32_t v) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s = "0x";
    for (int k = 7; k >= 0; --k) s += kDigits[(v >> (4 * k)) & 0xFU];
    return s;
}

std::string kind_label(std::uint32_t kind) {
    const std::string_view name = snapshot_kind_name(static_cast<SnapshotKind>(kind));
    return name.empty() ? "unknown engine kind " + std::to_string(kind) : std::string(name);
}

}  // namespace

std::string_view snapshot_kind_name(SnapshotKind kind) {
    switch (kind) {
        case SnapshotKind::hkvc: return "HKVC";
        case SnapshotKind::holo_swarm: return "HoloSwarm";
        case SnapshotKind::causal_memory: return "CausalMemory";
        case SnapshotKind::multi_hop_reasoner: return "MultiHopReasoner";
        case SnapshotKind::optimizer: return "Optimizer";
        case SnapshotKind::self_audit: return "SelfAudit";
        case SnapshotKind::metacognition: return "Metacognition";
        case SnapshotKind::holo_cpu_scheduler: return "HoloCPUScheduler";
        case SnapshotKind::quantum_attention_head: return "QuantumAttentionHead";
        case SnapshotKind::holo_gen_engine: return "HoloGenEngine";
        case SnapshotKind::item_memory: return "ItemMemory";
    }
    return {};
}

std::uint64_t snapshot_length_from_header(SnapshotView head) {
    if (head.size() < kSnapshotHeaderBytes || !std::equal(kSnapshotMagic.begin(), kSnapshotMagic.end(), head.begin())) {
        return 0;
    }
    const std::uint64_t body = load_le64(head.data() + 24);
    const std::uint64_t framing = kSnapshotHeaderBytes + kSnapshotTrailerBytes;
    return body > std::numeric_limits<std::uint64_t>::max() - framing ? 0 : body + framing;
}

std::uint32_t crc32c_portable(std::span<const std::uint8_t> data, std::uint32_t crc) {
    return ~portable_update(~crc, data.data(), data.size());
}

std::uint32_t crc32c(std::span<const std::uint8_t> data, std::uint32_t crc) {
#if defined(TESSARIN_HAVE_CRC32C_INSTRUCTION)
    if (instruction_available()) return ~crc32c_instruction_update(~crc, data.data(), data.size());
#endif
    return crc32c_portable(data, crc);
}

bool crc32c_has_instruction() { return instruction_available(); }

// ---- Writer ----------------------------------------------------------------

namespace {

void write_header(std::uint8_t* p, SnapshotKind kind, std::uint64_t dim, std::uint64_t body_length) {
    std::copy(kSnapshotMagic.begin(), kSnapshotMagic.end(), p);
    store_le32(p + 8, kSnapshotFormatVersion);
    store_le32(p + 12, static_cast<std::uint32_t>(kind));
    store_le64(p + 16, dim);
    store_le64(p + 24, body_length);
}

}  // namespace

SnapshotWriter::SnapshotWriter(SnapshotKind kind, std::uint64_t dim) : mode_(Mode::whole) {
    out_.reserve(256);
    write_header(grow(kSnapshotHeaderBytes), kind, dim, 0);  // the body length is set by finish()
}

SnapshotWriter::SnapshotWriter(SnapshotKind kind, std::uint64_t dim, std::uint64_t body_length, SnapshotSink sink,
                               std::size_t piece_bytes)
    : mode_(Mode::streamed), sink_(std::move(sink)), piece_bytes_(std::max<std::size_t>(piece_bytes, 1)),
      announced_(body_length) {
    out_.reserve(std::min(piece_bytes_, std::size_t{1} << 24) + kSnapshotHeaderBytes);
    write_header(grow(kSnapshotHeaderBytes), kind, dim, body_length);
}

SnapshotWriter SnapshotWriter::measuring() { return SnapshotWriter(); }

std::uint64_t SnapshotWriter::body_length() const {
    return passed_ + out_.size() - (mode_ == Mode::measuring ? 0 : kSnapshotHeaderBytes);
}

void SnapshotWriter::reserve(std::size_t bytes) {
    if (mode_ != Mode::whole) return;
    if (bytes > out_.max_size() - out_.size()) fault(kCapacityOverflow);
    out_.reserve(out_.size() + bytes);
}

void SnapshotWriter::send_piece() {
    crc_ = crc32c(out_, crc_);
    sink_(out_);
    passed_ += out_.size();
    // Whatever the sink does with it (a file, or a pickle kept in memory), a
    // large snapshot takes long enough that Ctrl-C must reach it.
    poll_.tick(out_.size());
    out_.clear();
}

bool SnapshotWriter::counted(std::size_t n) {
    if (mode_ != Mode::measuring) return false;
    passed_ += n;
    return true;
}

std::uint8_t* SnapshotWriter::grow(std::size_t n) {
    if (mode_ == Mode::measuring) {
        // The bytes are written and dropped: only their number counts.
        passed_ += out_.size();
        out_.clear();
    } else if (mode_ == Mode::streamed && !out_.empty() && out_.size() + n > piece_bytes_) {
        send_piece();
    }
    const std::size_t at = out_.size();
    if (n > out_.max_size() - at) fault(kCapacityOverflow);
    // Doubling keeps a long run of small fields amortised O(1) a byte.
    if (at + n > out_.capacity()) out_.reserve(std::max(at + n, 2 * out_.capacity()));
    out_.resize(at + n);
    return out_.data() + at;
}

void SnapshotWriter::u8(std::uint8_t v) { *grow(1) = v; }
void SnapshotWriter::u32(std::uint32_t v) { store_le32(grow(4), v); }
void SnapshotWriter::u64(std::uint64_t v) { store_le64(grow(8), v); }
void SnapshotWriter::f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }

void SnapshotWriter::string(std::string_view s) {
    u64(s.size());
    if (counted(s.size())) return;
    if (!s.empty()) std::memcpy(grow(s.size()), s.data(), s.size());
}

void SnapshotWriter::floats(HvView v) {
    u64(v.size());
    raw_floats(v);
}

void SnapshotWriter::raw_floats(HvView v) {
    if (v.empty()) return;
    if (v.size() > std::numeric_limits<std::size_t>::max() / 4) fault(kCapacityOverflow);
    if (counted(4 * v.size())) return;
    std::uint8_t* p = grow(4 * v.size());
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, v.data(), 4 * v.size());
    } else {
        for (std::size_t i = 0; i < v.size(); ++i) store_le32(p + 4 * i, std::bit_cast<std::uint32_t>(v[i]));
    }
}

void SnapshotWriter::row_head(bool signs, std::uint64_t length, std::uint64_t usual_length) {
    const bool usual = length == usual_length;
    u8(static_cast<std::uint8_t>((signs ? kRowSigns : 0) | (usual ? kRowUsualLength : 0)));
    if (!usual) u64(length);
}

void SnapshotWriter::row(HvView v, std::uint64_t usual_length) {
    const bool signs = exactly_bipolar(v);
    row_head(signs, v.size(), usual_length);
    if (!signs) return raw_floats(v);
    const std::size_t n = v.size();
    if (counted((n + 7) / 8)) return;
    std::uint8_t* p = grow((n + 7) / 8);
    for (std::size_t i = 0; i < n; i += 8) {
        std::uint8_t byte = 0;
        for (std::size_t k = 0; k < 8 && i + k < n; ++k) {
            byte = static_cast<std::uint8_t>(byte | (std::bit_cast<std::uint32_t>(v[i + k]) >> 31) << k);
        }
        *p++ = byte;
    }
}

namespace {

std::size_t sign_bytes(std::uint64_t n) { return static_cast<std::size_t>(n / 8 + (n % 8 != 0 ? 1 : 0)); }

// Bytes of a packed row of n components: the tag, the length unless usual, the bits.
std::size_t packed_row_bytes(std::uint64_t n, std::uint64_t usual_length) {
    return (n == usual_length ? 1 : 9) + sign_bytes(n);
}

// Lane `lane` of packed block `b` as a row at p (packed_row_bytes of room),
// its bits gathered word by word across the block; returns the end. One step
// for the head and the bits: a memory of many short rows is written at close
// to the speed of a copy.
std::uint8_t* put_packed_row(std::uint8_t* p, const RowStore::PackedBlock& b, std::size_t lane,
                             std::uint64_t usual_length) {
    const std::uint64_t n = b.lengths.of(lane);
    const bool usual = n == usual_length;
    *p++ = static_cast<std::uint8_t>(kRowSigns | (usual ? kRowUsualLength : 0));
    if (!usual) {
        store_le64(p, n);
        p += 8;
    }
    // The words' bytes in little-endian order are the row's bytes.
    const std::size_t bytes = sign_bytes(n);
    const std::uint64_t* word = b.words() + lane;
    std::size_t at = 0;
    for (; at + 8 <= bytes; at += 8, word += RowStore::kLanes) {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(p + at, word, 8);
        } else {
            store_le64(p + at, *word);
        }
    }
    for (std::size_t i = 0; at < bytes; ++at, ++i) p[at] = static_cast<std::uint8_t>(*word >> (8 * i));
    return p + bytes;
}

// Whether every row of `store` is packed, so that record j sits in lane j % kLanes
// of packed block j / kLanes.
bool all_packed(const RowStore& store) {
    const std::vector<RowStore::Run>& runs = store.runs();
    return runs.empty() || (runs.size() == 1 && runs.front().packed);
}

}  // namespace

void SnapshotWriter::row(const RowStore& store, std::size_t k, std::uint64_t usual_length) {
    const RowStore::Slot s = store.slot(k);
    if (!s.packed) {
        store.copy_row(k, scratch_);
        return row(scratch_, usual_length);
    }
    const RowStore::PackedBlock& b = store.packed_blocks()[s.block];
    const std::size_t bytes = packed_row_bytes(b.lengths.of(s.lane), usual_length);
    if (counted(bytes)) return;
    put_packed_row(grow(bytes), b, s.lane, usual_length);
}

void SnapshotWriter::rows(std::initializer_list<const RowStore*> stores, std::uint64_t usual_length) {
    if (stores.size() == 0) return;
    const std::size_t n = (*stores.begin())->size();
    for (const RowStore* store : stores) {
        if (store->size() != n) fault("snapshot rows: the stores hold different numbers of rows");
    }
    if (mode_ == Mode::measuring) {
        // Packed rows are summed from the block tables, not row by row: their
        // lengths are all the measure needs. Float rows are measured as written.
        for (const RowStore* store : stores) {
            for (const RowStore::PackedBlock& b : store->packed_blocks()) {
                const RowStore::LaneLengths& lengths = b.lengths;
                if (lengths.one_length()) {
                    passed_ += lengths.used() * packed_row_bytes(lengths.longest(), usual_length);
                } else {
                    for (std::size_t k = 0; k < lengths.used(); ++k) {
                        passed_ += packed_row_bytes(lengths.of(k), usual_length);
                    }
                }
            }
            std::size_t float_rows = 0;
            for (const RowStore::FloatBlock& b : store->float_blocks()) float_rows += b.lengths.used();
            RecordsOfKind floats(*store, false);
            for (std::size_t i = 0; i < float_rows; ++i) row(*store, floats.next(), usual_length);
        }
        return;
    }
    if (!std::all_of(stores.begin(), stores.end(), [](const RowStore* s) { return all_packed(*s); })) {
        for (std::size_t j = 0; j < n; ++j) {
            for (const RowStore* store : stores) row(*store, j, usual_length);
        }
        return;
    }
    // Every store's record j is lane j % kLanes of its block j / kLanes: the
    // rows go out block by block, a record's rows side by side.
    const std::size_t blocks = (*stores.begin())->packed_blocks().size();
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t used = (*stores.begin())->packed_blocks()[b].lengths.used();
        for (std::size_t k = 0; k < used; ++k) {
            std::size_t bytes = 0;
            for (const RowStore* store : stores) {
                bytes += packed_row_bytes(store->packed_blocks()[b].lengths.of(k), usual_length);
            }
            std::uint8_t* p = grow(bytes);
            for (const RowStore* store : stores) p = put_packed_row(p, store->packed_blocks()[b], k, usual_length);
        }
    }
}

SnapshotBytes SnapshotWriter::finish() && {
    if (mode_ == Mode::measuring) fault("a measuring snapshot writer has nothing to finish");
    if (mode_ == Mode::streamed) {
        if (body_length() != announced_) {
            fault("snapshot state changed between measuring and writing it");
        }
        send_piece();
        std::array<std::uint8_t, kSnapshotTrailerBytes> trailer{};
        store_le32(trailer.data(), crc_);
        sink_(trailer);
        return {};
    }
    store_le64(out_.data() + 24, out_.size() - kSnapshotHeaderBytes);
    const std::uint32_t crc = crc32c(out_);
    store_le32(grow(kSnapshotTrailerBytes), crc);
    return std::move(out_);
}

// ---- Reader ----------------------------------------------------------------

std::uint64_t SnapshotReader::check_header(SnapshotView head, std::uint64_t n) {
    const std::size_t magic_seen = std::min(head.size(), kSnapshotMagic.size());
    if (!std::equal(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(magic_seen), kSnapshotMagic.begin())) {
        refuse("not a snapshot: the first bytes are not the snapshot magic");
    }
    if (n < kSnapshotHeaderBytes + kSnapshotTrailerBytes) {
        refuse("snapshot truncated: " + std::to_string(n) + " bytes, shorter than the " +
               std::to_string(kSnapshotHeaderBytes + kSnapshotTrailerBytes) + "-byte header and checksum");
    }
    const std::uint8_t* p = head.data();
    version_ = load_le32(p + 8);
    if (version_ > kSnapshotFormatVersion) {
        refuse("snapshot format version " + std::to_string(version_) + " is newer than this build reads (up to " +
               std::to_string(kSnapshotFormatVersion) + ")");
    }
    if (version_ < kOldestSnapshotFormatVersion) {
        refuse("snapshot format version " + std::to_string(version_) + " does not exist");
    }
    const std::uint64_t body = load_le64(p + 24);
    const std::uint64_t room = n - kSnapshotHeaderBytes - kSnapshotTrailerBytes;
    if (body > room) {
        refuse("snapshot truncated: the header announces " + std::to_string(body) + " bytes of state, " +
               std::to_string(room) + " are present");
    }
    if (body < room) {
        refuse("snapshot has " + std::to_string(room - body) + " bytes after its checksum");
    }
    crc_ = crc32c(head);
    unpulled_ = body;
    return body;
}

void SnapshotReader::check_kind(SnapshotView head, SnapshotKind kind) {
    const std::uint32_t found = load_le32(head.data() + 12);
    if (found != static_cast<std::uint32_t>(kind)) {
        refuse("snapshot of " + kind_label(found) + ", not of " + kind_label(static_cast<std::uint32_t>(kind)));
    }
    dim_ = load_le64(head.data() + 16);
}

void SnapshotReader::pulled(SnapshotView bytes) {
    crc_ = crc32c(bytes, crc_);
    unpulled_ -= bytes.size();
}

void SnapshotReader::check_checksum(SnapshotView trailer) const {
    const std::uint32_t stored = load_le32(trailer.data());
    if (stored != crc_) {
        refuse("snapshot checksum mismatch: stored " + hex32(stored) + ", computed " + hex32(crc_) +
               " (the bytes are corrupted)");
    }
}

SnapshotReader::SnapshotReader(SnapshotView bytes, SnapshotKind kind) {
    const SnapshotView head = bytes.first(std::min(bytes.size(), kSnapshotHeaderBytes));
    const std::uint64_t body = check_header(head, bytes.size());
    at_ = bytes.data() + kSnapshotHeaderBytes;
    end_ = at_ + body;
    // A window at a time, each a poll, as a source is pulled: a large snapshot
    // in memory (an engine unpickled) takes as long to read as one in a file.
    for (const std::uint8_t* p = at_; p != end_;) {
        const std::size_t n = std::min(static_cast<std::size_t>(end_ - p), kSnapshotWindowBytes);
        pulled({p, n});
        poll_.tick(n);
        p += n;
    }
    check_checksum(bytes.last(kSnapshotTrailerBytes));
    check_kind(head, kind);
}

SnapshotReader::SnapshotReader(SnapshotSource& source, SnapshotKind kind, std::size_t window_bytes)
    : source_(&source), window_bytes_(std::max<std::size_t>(window_bytes, 1)) {
    std::array<std::uint8_t, kSnapshotHeaderBytes> head_bytes{};
    std::size_t got = 0;
    while (got < head_bytes.size()) {
        const std::size_t n = source.read(std::span(head_bytes).subspan(got));
        if (n == 0) break;
        got += n;
    }
    const SnapshotView head(head_bytes.data(), got);
    // A source shorter than a header is as long as what it gave.
    check_header(head, got < kSnapshotHeaderBytes ? got : std::max<std::uint64_t>(source.size(), got));
    window_ = std::make_unique<std::uint8_t[]>(0);
    at_ = end_ = window_.get();
    pull(0);
    check_kind(head, kind);
}

void SnapshotReader::read_exactly(std::span<std::uint8_t> out) {
    for (std::size_t got = 0; got < out.size();) {
        const std::size_t n = source_->read(out.subspan(got));
        if (n == 0) {
            refuse("snapshot truncated: the file ended before the length its header announces (it shrank while "
                   "it was read)");
        }
        got += n;
    }
}

void SnapshotReader::pull(std::size_t n) {
    const auto kept = static_cast<std::size_t>(end_ - at_);
    const auto fetch =
        static_cast<std::size_t>(std::min<std::uint64_t>(unpulled_, std::max(n, window_bytes_) - kept));
    if (kept + fetch > window_capacity_) {
        // Grown only for a field longer than the window; never zero-filled,
        // every byte is read into it before it is looked at.
        auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(kept + fetch);
        if (kept != 0) std::memcpy(grown.get(), at_, kept);
        window_ = std::move(grown);
        window_capacity_ = kept + fetch;
    } else if (kept != 0) {
        std::memmove(window_.get(), at_, kept);
    }
    at_ = end_ = window_.get();
    const std::span<std::uint8_t> fresh(window_.get() + kept, fetch);
    read_exactly(fresh);
    pulled(fresh);
    end_ = window_.get() + kept + fetch;
    if (unpulled_ != 0) return;
    std::array<std::uint8_t, kSnapshotTrailerBytes + 1> trailer{};
    read_exactly(std::span(trailer).first(kSnapshotTrailerBytes));
    if (source_->read(std::span(trailer).last(1)) != 0) {
        refuse("snapshot has bytes after its checksum (the file grew while it was read)");
    }
    check_checksum(trailer);
}

void SnapshotReader::check_rest() {
    if (source_ == nullptr || unpulled_ == 0) return;
    while (unpulled_ != 0) {
        at_ = end_;
        pull(1);
    }
}

void SnapshotReader::invalid(std::string_view what, std::string_view problem) {
    refuse("snapshot " + std::string(what) + ": " + std::string(problem));
}

const std::uint8_t* SnapshotReader::take(std::size_t n, std::string_view what) {
    if (n > remaining()) {
        refuse("snapshot truncated: " + std::string(what) + " needs " + std::to_string(n) + " bytes, " +
               std::to_string(remaining()) + " are left");
    }
    if (n > static_cast<std::size_t>(end_ - at_)) pull(n);
    poll_.tick(n);
    const std::uint8_t* p = at_;
    at_ += n;
    return p;
}

std::uint8_t SnapshotReader::u8(std::string_view what) { return *take(1, what); }
std::uint32_t SnapshotReader::u32(std::string_view what) { return load_le32(take(4, what)); }
std::uint64_t SnapshotReader::u64(std::string_view what) { return load_le64(take(8, what)); }
float SnapshotReader::f32(std::string_view what) { return std::bit_cast<float>(u32(what)); }

bool SnapshotReader::boolean(std::string_view what) {
    const std::uint8_t v = u8(what);
    if (v > 1) invalid(what, "flag is " + std::to_string(v) + ", not 0 or 1");
    return v == 1;
}

std::uint64_t SnapshotReader::count(std::string_view what, std::uint64_t min_bytes_each) {
    const std::uint64_t c = u64(what);
    const std::uint64_t each = std::max<std::uint64_t>(min_bytes_each, 1);
    if (c > remaining() / each) {
        invalid(what, "count " + std::to_string(c) + " is too large for the " + std::to_string(remaining()) +
                          " bytes left");
    }
    return c;
}

std::uint64_t SnapshotReader::bounded(std::string_view what, std::uint64_t limit) {
    const std::uint64_t v = u64(what);
    if (v > limit) invalid(what, std::to_string(v) + " exceeds the limit " + std::to_string(limit));
    return v;
}

std::string SnapshotReader::string(std::string_view what) {
    const auto n = static_cast<std::size_t>(count(what, 1));
    const std::uint8_t* p = take(n, what);
    return std::string(reinterpret_cast<const char*>(p), n);
}

Hypervector SnapshotReader::floats(std::string_view what) { return raw_floats(u64(what), what); }

Hypervector SnapshotReader::raw_floats(std::uint64_t n, std::string_view what) {
    Hypervector out;
    floats_into(n, out, what);
    return out;
}

void SnapshotReader::floats_into(std::uint64_t n, Hypervector& out, std::string_view what) {
    if (n > remaining() / 4) {
        refuse("snapshot truncated: " + std::string(what) + " holds " + std::to_string(n) + " floats, " +
               std::to_string(remaining()) + " bytes are left");
    }
    const std::uint8_t* p = take(static_cast<std::size_t>(4 * n), what);
    out.resize(static_cast<std::size_t>(n));
    if constexpr (std::endian::native == std::endian::little) {
        if (n != 0) std::memcpy(out.data(), p, static_cast<std::size_t>(4 * n));
    } else {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = std::bit_cast<float>(load_le32(p + 4 * i));
    }
}

SnapshotReader::RowHead SnapshotReader::row_head(std::uint64_t usual_length, std::string_view what) {
    const std::uint8_t tag = u8(what);
    if ((tag & ~(kRowSigns | kRowUsualLength)) != 0) invalid(what, "unknown row tag " + std::to_string(tag));
    return RowHead{(tag & kRowSigns) != 0, (tag & kRowUsualLength) ? usual_length : u64(what)};
}

const std::uint8_t* SnapshotReader::row_signs(std::uint64_t n, std::string_view what) {
    const std::uint64_t bytes = n / 8 + (n % 8 != 0 ? 1 : 0);
    if (bytes > remaining()) {
        refuse("snapshot truncated: " + std::string(what) + " holds " + std::to_string(n) + " sign bits, " +
               std::to_string(remaining()) + " bytes are left");
    }
    const std::uint8_t* p = take(static_cast<std::size_t>(bytes), what);
    if (n % 8 != 0 && (p[bytes - 1] >> (n % 8)) != 0) invalid(what, "sign bits set beyond the row's length");
    return p;
}

void SnapshotReader::row(Hypervector& out, std::uint64_t usual_length, std::string_view what) {
    const RowHead head = row_head(usual_length, what);
    const std::uint64_t n = head.length;
    if (!head.signs) return floats_into(n, out, what);
    const std::uint8_t* p = row_signs(n, what);
    out.resize(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = std::bit_cast<float>(kPlusOneBits | ((std::uint32_t{p[i / 8]} >> (i % 8)) & 1U) << 31);
    }
}

void SnapshotReader::row(RowStore& store, std::uint64_t usual_length, std::string_view what) {
    const RowHead head = row_head(usual_length, what);
    const std::uint64_t n = head.length;
    if (!head.signs) {
        floats_into(n, scratch_, what);
        return store.push_back(scratch_);
    }
    const std::uint8_t* p = row_signs(n, what);
    const auto bytes = static_cast<std::size_t>(n / 8 + (n % 8 != 0 ? 1 : 0));
    words_.assign(static_cast<std::size_t>(n / 64 + (n % 64 != 0 ? 1 : 0)), 0);
    if constexpr (std::endian::native == std::endian::little) {
        if (bytes != 0) std::memcpy(words_.data(), p, bytes);
    } else {
        for (std::size_t b = 0; b < bytes; ++b) words_[b / 8] |= std::uint64_t{p[b]} << (8 * (b % 8));
    }
    store.push_back_signs(n, words_);
}

Hypervector SnapshotReader::row(std::uint64_t usual_length, std::string_view what) {
    Hypervector out;
    row(out, usual_length, what);
    return out;
}

void SnapshotReader::finish() const {
    if (remaining() != 0) {
        refuse("snapshot has " + std::to_string(remaining()) + " unread bytes at the end of its state");
    }
}

}  // namespace tessarin
