#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/generators.hpp"
#include "core/item_memory.hpp"
#include "core/snapshot.hpp"
#include "core/snapshot_file.hpp"
#include "engines/causal_memory.hpp"
#include "engines/hkvc.hpp"
#include "engines/holo_cpu_scheduler.hpp"
#include "engines/holo_gen_engine.hpp"
#include "engines/holo_swarm.hpp"
#include "engines/metacognition.hpp"
#include "engines/multi_hop_reasoner.hpp"
#include "engines/optimizer.hpp"
#include "engines/quantum_attention_head.hpp"
#include "engines/self_audit.hpp"
#include "expect_fault.hpp"

namespace tessarin {
namespace {

SnapshotView bytes_of(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

// The published CRC-32C check values.
TEST(Crc32c, PublishedVectors) {
    std::vector<std::uint8_t> zeros(32, 0x00), ones(32, 0xFF), ascending(32), descending(32);
    for (std::uint8_t i = 0; i < 32; ++i) {
        ascending[i] = i;
        descending[i] = static_cast<std::uint8_t>(31 - i);
    }
    const std::vector<std::pair<SnapshotView, std::uint32_t>> cases = {
        {bytes_of(""), 0x00000000U},       {bytes_of("a"), 0xC1D04330U},   {bytes_of("123456789"), 0xE3069283U},
        {zeros, 0x8A9136AAU},              {ones, 0x62A8AB43U},            {ascending, 0x46DD794EU},
        {descending, 0x113FDB5CU},
    };
    for (const auto& [data, want] : cases) {
        EXPECT_EQ(crc32c_portable(data), want) << data.size();
        EXPECT_EQ(crc32c(data), want) << data.size();
    }
}

// The dispatched form (the instruction, where present) against the table,
// over every length and alignment up to a few words, whole and in two parts.
TEST(Crc32c, InstructionMatchesTableAndContinues) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> data(300);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    for (std::size_t begin = 0; begin < 9; ++begin) {
        for (std::size_t end = begin; end <= data.size(); end += 7) {
            const SnapshotView s(data.data() + begin, end - begin);
            const std::uint32_t whole = crc32c_portable(s);
            ASSERT_EQ(crc32c(s), whole) << begin << " " << end;
            const std::size_t cut = s.size() / 3;
            ASSERT_EQ(crc32c(s.subspan(cut), crc32c_portable(s.first(cut))), whole);
        }
    }
    // Long inputs, which the instruction form runs as three joined chains:
    // around whole numbers of its three-block steps, and continued mid-way.
    std::vector<std::uint8_t> long_data(3 * 3 * 4096 + 100);
    for (auto& b : long_data) b = static_cast<std::uint8_t>(rng());
    for (const std::size_t n : {std::size_t{12287}, std::size_t{12288}, std::size_t{12289}, std::size_t{24581},
                                long_data.size()}) {
        const SnapshotView s(long_data.data() + 3, n - 3);
        const std::uint32_t whole = crc32c_portable(s);
        ASSERT_EQ(crc32c(s), whole) << n;
        ASSERT_EQ(crc32c(s.subspan(5000), crc32c(s.first(5000))), whole) << n;
    }
}

float nan_with_payload(std::uint32_t payload) { return std::bit_cast<float>(0x7FC00000U | payload); }

// Every field kind written and read back, bit for bit; rows of each tag.
TEST(Snapshot, FieldsRoundTrip) {
    const std::vector<Hypervector> rows = {
        {},           {1.0f},         {-1.0f, 1.0f, -1.0f, -1.0f, 1.0f, 1.0f, 1.0f, -1.0f, -1.0f},
        {1.0f, -0.0f}, {nan_with_payload(5), -1.0f, 1.0f}, Hypervector(16, -1.0f), Hypervector(16, 0.5f),
    };
    SnapshotWriter w(SnapshotKind::optimizer, 16);
    w.u8(0xAB);
    w.u32(0xDEADBEEFU);
    w.u64(0x0123456789ABCDEFULL);
    w.f32(-0.0f);
    w.f32(nan_with_payload(0x1234));
    w.boolean(true);
    w.string(std::string("a\0b", 3));
    w.floats(rows[4]);
    for (const auto& r : rows) w.row(r, 16);
    const SnapshotBytes bytes = std::move(w).finish();

    SnapshotReader r(bytes, SnapshotKind::optimizer);
    EXPECT_EQ(r.version(), kSnapshotFormatVersion);
    EXPECT_EQ(r.dim(), 16U);
    EXPECT_EQ(r.u8("a"), 0xAB);
    EXPECT_EQ(r.u32("a"), 0xDEADBEEFU);
    EXPECT_EQ(r.u64("a"), 0x0123456789ABCDEFULL);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(r.f32("a")), 0x80000000U);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(r.f32("a")), 0x7FC01234U);
    EXPECT_TRUE(r.boolean("a"));
    EXPECT_EQ(r.string("a"), std::string("a\0b", 3));
    const auto same_bits = [](const Hypervector& a, const Hypervector& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](float x, float y) {
                   return std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y);
               });
    };
    EXPECT_TRUE(same_bits(r.floats("a"), rows[4]));
    for (const auto& row : rows) EXPECT_TRUE(same_bits(r.row(16, "row"), row)) << row.size();
    r.finish();
    // A bipolar row of the usual length costs its tag and one bit a component.
    SnapshotWriter small(SnapshotKind::optimizer, 0);
    small.row(Hypervector(1024, 1.0f), 1024);
    EXPECT_EQ(std::move(small).finish().size(), kSnapshotHeaderBytes + 1 + 128 + kSnapshotTrailerBytes);
}

// Rows written from and read into a row store go by their sign bits: the same
// bytes as the floats give, the same rows and fingerprints back.
TEST(Snapshot, StoreRowsGoBySignBits) {
    std::mt19937 rng(3);
    RowStore in;
    std::vector<Hypervector> rows;
    for (const std::size_t n : {0, 1, 7, 63, 64, 65, 130}) {
        rows.push_back(Hypervector(n));
        for (float& x : rows.back()) x = rng() % 2 ? 1.0f : -1.0f;
        in.push_back(rows.back());
    }
    rows.push_back({0.5f, -1.0f});  // a float row takes the float path
    in.push_back(rows.back());
    SnapshotWriter from_floats(SnapshotKind::optimizer, 64), from_store(SnapshotKind::optimizer, 64);
    for (std::size_t k = 0; k < rows.size(); ++k) {
        from_floats.row(rows[k], 64);
        from_store.row(in, k, 64);
        if (in.is_packed(k)) {
            std::vector<std::uint64_t> words;
            in.copy_sign_words(k, words);
            EXPECT_EQ(hv_hash_of_signs(words, rows[k].size()), hv_hash(rows[k])) << k;
        }
    }
    const SnapshotBytes bytes = std::move(from_store).finish();
    ASSERT_EQ(bytes, std::move(from_floats).finish());
    SnapshotReader r(bytes, SnapshotKind::optimizer);
    RowStore out;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        r.row(out, 64, "row");
        EXPECT_EQ(out.row(k), rows[k]) << k;
        EXPECT_EQ(out.is_packed(k), in.is_packed(k)) << k;
    }
    r.finish();

    // Whole stores at once, a record's rows side by side: several blocks of
    // packed rows (one length in the first store, ragged lengths with spare
    // bits in the second), then the same with one float row among them.
    for (const bool with_float : {false, true}) {
        std::array<RowStore, 2> stores;
        SnapshotWriter one_by_one(SnapshotKind::optimizer, 64), at_once(SnapshotKind::optimizer, 64);
        SnapshotWriter measure = SnapshotWriter::measuring();
        for (std::size_t j = 0; j < 37; ++j) {
            for (std::size_t s = 0; s < stores.size(); ++s) {
                Hypervector v(s == 0 ? 64 : std::array<std::size_t, 4>{64, 61, 130, 7}[j % 4]);
                for (float& x : v) x = rng() % 2 ? 1.0f : -1.0f;
                if (with_float && s == 1 && j == 20) v[3] = 0.5f;
                stores[s].push_back(v);
                one_by_one.row(v, 64);
            }
        }
        at_once.rows({&stores[0], &stores[1]}, 64);
        measure.rows({&stores[0], &stores[1]}, 64);
        EXPECT_EQ(measure.body_length(), at_once.body_length()) << with_float;
        EXPECT_EQ(std::move(at_once).finish(), std::move(one_by_one).finish()) << with_float;
    }
}

// Recomputes the checksum, so that a forged field reaches the body's checks.
void reseal(SnapshotBytes& b) {
    const std::uint32_t crc = crc32c(SnapshotView(b).first(b.size() - 4));
    for (int k = 0; k < 4; ++k) b[b.size() - 4 + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(crc >> (8 * k));
}
void put_le(SnapshotBytes& b, std::size_t at, std::uint64_t v, int width) {
    for (int k = 0; k < width; ++k) b[at + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(v >> (8 * k));
}

// Hands its bytes out a few at a time: read through a small window, a small
// snapshot crosses many windows and its fields straddle them, as in a large
// file.
class TrickleSource final : public SnapshotSource {
public:
    explicit TrickleSource(SnapshotView bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    std::size_t read(std::span<std::uint8_t> out) override {
        const std::size_t n = std::min({out.size(), bytes_.size() - at_, 1 + at_ % 7});
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, out.begin());
        at_ += n;
        return n;
    }

private:
    SnapshotView bytes_;
    std::size_t at_ = 0;
};
constexpr std::size_t kSmallWindow = 16;

// Bytes in memory, or streamed from a source through a small window.
enum class Route { whole, streamed };

std::string refusal(SnapshotView bytes, Route route = Route::whole, SnapshotKind kind = SnapshotKind::optimizer) {
    TrickleSource source(bytes);
    std::optional<SnapshotReader> r;
    try {
        route == Route::whole ? r.emplace(bytes, kind) : r.emplace(source, kind, kSmallWindow);
        try {
            r->string("text");
            r->row(8, "row");
            r->finish();
        } catch (const SnapshotError&) {
            r->check_rest();
            throw;
        }
    } catch (const SnapshotError& e) {
        return e.what();
    }
    return "";
}

TEST(Snapshot, RefusalsNameWhatIsWrong) {
    SnapshotWriter w(SnapshotKind::optimizer, 8);
    w.string("hello");
    w.row(Hypervector(8, 1.0f), 8);
    const SnapshotBytes good = std::move(w).finish();
    ASSERT_EQ(refusal(good), "");

    struct Case {
        const char* name;
        std::function<void(SnapshotBytes&)> forge;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"empty", [](SnapshotBytes& b) { b.clear(); }, "snapshot truncated: 0 bytes"},
        {"magic", [](SnapshotBytes& b) { b[0] = 'X'; }, "not a snapshot"},
        {"foreign bytes", [](SnapshotBytes& b) { b.assign(40, 0x50); }, "not a snapshot"},
        {"header only", [](SnapshotBytes& b) { b.resize(20); }, "snapshot truncated: 20 bytes"},
        {"newer", [](SnapshotBytes& b) { put_le(b, 8, 2, 4); }, "snapshot format version 2 is newer than this build reads (up to 1)"},
        {"version 0", [](SnapshotBytes& b) { put_le(b, 8, 0, 4); }, "snapshot format version 0 does not exist"},
        {"cut", [](SnapshotBytes& b) { b.pop_back(); }, "snapshot truncated: the header announces"},
        {"trailing", [](SnapshotBytes& b) { b.push_back(0); }, "snapshot has 1 bytes after its checksum"},
        {"flipped", [](SnapshotBytes& b) { b[33] ^= 4; }, "snapshot checksum mismatch"},
        {"kind", [](SnapshotBytes& b) { put_le(b, 12, 1, 4), reseal(b); }, "snapshot of HKVC, not of Optimizer"},
        {"unknown kind", [](SnapshotBytes& b) { put_le(b, 12, 99, 4), reseal(b); }, "snapshot of unknown engine kind 99, not of Optimizer"},
        {"huge string", [](SnapshotBytes& b) { put_le(b, 32, ~0ULL, 8), reseal(b); }, "snapshot text: count 18446744073709551615 is too large"},
        {"row tag", [](SnapshotBytes& b) { b[32 + 8 + 5] = 9, reseal(b); }, "snapshot row: unknown row tag 9"},
        {"huge row", [](SnapshotBytes& b) {
             b[45] = 1;  // signs, length written: the next 8 bytes are the length
             b.insert(b.begin() + 46, 8, 0xFF);
             put_le(b, 24, b.size() - 36, 8), reseal(b);
         }, "snapshot truncated: row holds 18446744073709551615 sign bits"},
        {"unread", [](SnapshotBytes& b) { b.insert(b.end() - 4, 0), put_le(b, 24, b.size() - 36, 8), reseal(b); }, "snapshot has 1 unread bytes"},
    };
    // A file gives the same messages as bytes in memory: its size stands in
    // for theirs, and a refusal met before the checksum is checked gives way
    // to the checksum's where the bytes are damaged.
    for (const Case& c : cases) {
        SnapshotBytes b = good;
        c.forge(b);
        for (const Route route : {Route::whole, Route::streamed}) {
            EXPECT_TRUE(refusal(b, route).starts_with(c.message)) << c.name << ": " << refusal(b, route);
        }
    }
}

// ---- Files -------------------------------------------------------------------

SnapshotBytes text_bytes(std::string_view s) { return SnapshotBytes(s.begin(), s.end()); }
std::function<void(const SnapshotSink&)> writes(std::string_view s, bool then_fail = false) {
    return [s, then_fail](const SnapshotSink& sink) {
        const SnapshotBytes b = text_bytes(s);
        sink(b);
        if (then_fail) throw std::runtime_error("stopped");
    };
}
int file_error_number(const std::function<void()>& f) {
    try {
        f();
    } catch (const FileError& e) {
        return e.error_number();
    }
    return 0;
}

// The target is the old file or the new one, whole, and nothing else is left
// in its folder, whichever way a save ends.
TEST(SnapshotFile, ReplacesWholeOrNotAtAll) {
    char pattern[] = "/tmp/snapshot-file-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path folder(pattern);
    const std::string target = folder / "engine.snap";
    const auto entries = [&] { return std::distance(std::filesystem::directory_iterator(folder), {}); };

    replace_file_atomically(target, writes("old"));
    EXPECT_EQ(read_whole_file(target), text_bytes("old"));
    EXPECT_THROW(replace_file_atomically(target, writes("new, half", true)), std::runtime_error);
    EXPECT_EQ(read_whole_file(target), text_bytes("old"));
    EXPECT_EQ(entries(), 1);
    replace_file_atomically(target, writes(""));
    EXPECT_EQ(read_whole_file(target), text_bytes(""));
    replace_file_atomically(target, writes(std::string(3 << 20, 'x')));
    EXPECT_EQ(read_whole_file(target).size(), std::size_t{3} << 20);
    EXPECT_EQ(entries(), 1);

    const std::string missing = folder / "none" / "engine.snap";
    EXPECT_EQ(file_error_number([&] { replace_file_atomically(missing, writes("x")); }), ENOENT);
    EXPECT_EQ(file_error_number([&] { (void)read_whole_file(missing); }), ENOENT);
    EXPECT_EQ(file_error_number([&] { (void)read_whole_file(folder); }), EISDIR);
    std::filesystem::remove_all(folder);
}

// ---- Engines ---------------------------------------------------------------
//
// Every engine is driven through a random sequence of changes, written,
// rebuilt, and then the original and the rebuilt one must answer every query
// alike and go on alike through a second random sequence. Answers are
// gathered as bytes (floats by their bits), so "alike" is bit for bit.

using Rng = std::mt19937_64;
constexpr std::uint64_t kDim = 21;  // not a multiple of 8: rows end in a part byte

struct Answers {
    std::string bytes;
    void add(std::uint64_t v) { bytes.append(reinterpret_cast<const char*>(&v), sizeof v); }
    void add(float v) { add(std::uint64_t{std::bit_cast<std::uint32_t>(v)}); }
    void add(bool v) { add(std::uint64_t{v}); }
    void add(const std::string& s) { add(std::uint64_t{s.size()}), bytes += s; }
    template <class T>
    void add(const std::vector<T>& v) {
        add(std::uint64_t{v.size()});
        for (const T& x : v) add(x);
    }
    template <class T>
    void add(const std::optional<T>& v) {
        add(v.has_value());
        if (v) add(*v);
    }
    template <class A, class B>
    void add(const std::pair<A, B>& p) { add(p.first), add(p.second); }
    template <class... T>
    void add(const std::tuple<T...>& t) { std::apply([&](const auto&... x) { (add(x), ...); }, t); }
    void add(std::int8_t v) { add(static_cast<std::uint64_t>(v)); }
    void add(std::int64_t v) { add(static_cast<std::uint64_t>(v)); }
    // A call that may fault: its result, or the fault's message.
    template <class Call>
    void call(Call&& c) {
        try {
            c();
        } catch (const std::exception& e) {
            add(std::string("fault: ") + e.what());
        }
    }
};

std::string word(Rng& rng, const char* prefix, unsigned choices) {
    std::string s(prefix);
    s += std::to_string(rng() % choices);
    return s;
}

// Vectors of every kind a row store keeps: from a small pool (so exact paths
// find repeats), other lengths, other values, -0.0 and NaN.
Hypervector vec(Rng& rng, std::uint64_t dim = kDim) {
    const std::uint64_t kind = rng() % 6;
    if (kind <= 2) return lcg_bipolar_stream(rng() % 5, dim);
    Hypervector v = lcg_bipolar_stream(rng(), dim + (kind == 3 ? rng() % 9 : 0));
    if (kind == 4) v[rng() % dim] = 0.25f * static_cast<float>(rng() % 9);
    if (kind == 5) v[rng() % dim] = rng() % 2 ? -0.0f : std::bit_cast<float>(0x7FC00001U);
    return v;
}
std::vector<Hypervector> vecs(Rng& rng, std::size_t n) {
    std::vector<Hypervector> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(vec(rng));
    return out;
}
float unit(Rng& rng) { return static_cast<float>(rng() % 1000) / 999.0f; }

// One trait a kind: make() a fresh engine, change() one random change (its
// results into `a`), ask() every query.
struct OptimizerCase {
    using Engine = Optimizer;
    static Engine make() { return Engine(); }
    static void change(Engine& e, Rng& rng, Answers&) {
        const char* actions[] = {"learning_rate_increase", "momentum_decrease", "exploration_increase", "nonsense"};
        if (rng() % 4 == 0) return e.rollback();
        e.apply(actions[rng() % 4], unit(rng), "why");
    }
    static void ask(Engine& e, Rng&, Answers& a) { a.add(e.history_size()), a.add(e.get_params()[6].second); }
};
struct SelfAuditCase {
    using Engine = SelfAudit;
    static Engine make() { return Engine(kDim); }
    static void change(Engine& e, Rng& rng, Answers& a) { a.add(e.full_audit(vec(rng))); }
    static void ask(Engine& e, Rng& rng, Answers& a) {
        a.add(e.history_size());
        a.add(Engine(e).full_audit(vec(rng)));
    }
};
struct MetacognitionCase {
    using Engine = Metacognition;
    static Engine make() { return Engine(kDim); }
    static void change(Engine& e, Rng& rng, Answers&) {
        e.record(unit(rng), unit(rng), unit(rng), vec(rng, kDim + rng() % 2), rng());
    }
    static void ask(Engine& e, Rng&, Answers& a) {
        a.add(e.record_count()), a.add(e.success_rate()), a.add(e.avg_resonance()), a.add(e.recommend());
    }
};
struct AttentionHeadCase {
    using Engine = QuantumAttentionHead;
    static Engine make() { return Engine(kDim, 7); }
    static void change(Engine&, Rng&, Answers&) {}
    static void ask(Engine& e, Rng& rng, Answers& a) {
        a.add(e.nqubits());
        a.add(e.compute(vec(rng), vecs(rng, 5), vecs(rng, 5)));
    }
};
struct GenEngineCase {
    using Engine = HoloGenEngine;
    static Engine make() { return Engine(kDim); }
    static void change(Engine&, Rng&, Answers&) {}
    static void ask(Engine& e, Rng& rng, Answers& a) {
        for (const char tag : std::string_view("ODPNMWXYFTLRBI")) a.add(SignVector(e.codebook(tag).begin(), e.codebook(tag).end()));
        const Vec3 p{unit(rng), unit(rng), unit(rng)};
        a.add(e.generate_material_mapping(p, p, static_cast<std::uint32_t>(rng())));
        a.add(e.encode_bvh_node(p, p, e.codebook('L'), e.codebook('R')));
    }
};
struct CacheCase {
    using Engine = HKVC;
    static Engine make() { return Engine(kDim); }
    static void change(Engine& e, Rng& rng, Answers&) { e.store(word(rng, "k", 6), word(rng, "v", 50), rng() % 4); }
    static void ask(Engine& e, Rng& rng, Answers& a) {
        a.add(e.count()), a.add(e.accumulator_magnitude()), a.add(e.position_score(rng() % 4));
        for (int i = 0; i < 7; ++i) a.add(e.query(word(rng, "k", 8)));
    }
};
struct SchedulerCase {
    using Engine = HoloCPUScheduler;
    static Engine make() { return Engine(kDim, 3); }
    static void change(Engine& e, Rng& rng, Answers&) {
        if (rng() % 2) return e.store_memory(word(rng, "c", 9));
        e.process_feedback(unit(rng));
    }
    static void ask(Engine& e, Rng& rng, Answers& a) {
        a.add(e.concept_count()), a.add(e.export_holographic_state()), a.add(e.feedback_strength());
        a.add(e.optimizer().get_params()[0].second), a.add(e.optimizer().history_size());
        a.add(e.metacognition().record_count()), a.add(e.metacognition().avg_resonance());
        a.add(e.metacognition().recommend());
        for (int i = 0; i < 5; ++i) a.add(e.recall(word(rng, "c", 12)));
        a.add(e.quantum_grover_search(vec(rng), vecs(rng, 3), vecs(rng, 3)));
    }
};
struct ReasonerCase {
    using Engine = MultiHopReasoner;
    static Engine make() { return Engine(kDim); }
    static void change(Engine& e, Rng& rng, Answers& a) {
        if (rng() % 3) return a.add(e.add_fact(vec(rng)));
        e.add_link(rng() % 12, rng() % 12);  // may name a fact not added yet
    }
    static void ask(Engine& e, Rng& rng, Answers& a) {
        for (int i = 0; i < 4; ++i) a.call([&] { a.add(e.reason(vec(rng), rng() % 4)); });
    }
};
struct SwarmCase {
    using Engine = HoloSwarm;
    static Engine make() { return Engine(kDim); }
    static void change(Engine& e, Rng& rng, Answers&) {
        switch (rng() % 5) {
            case 0: return e.add_paradox_trap({word(rng, "r", 5), word(rng, "r", 5)}, vecs(rng, 2), vecs(rng, 2));
            case 1:
                if (rng() % 4 == 0) return e.set_swarm_vector(vec(rng, kDim + rng() % 3));
                [[fallthrough]];
            default: e.add_agent(word(rng, "r", 5), vec(rng), word(rng, "p", 5), vec(rng), word(rng, "s", 5), vec(rng));
        }
    }
    static void ask(Engine& e, Rng& rng, Answers& a) {
        a.add(e.swarm_vector()), a.add(e.agent_count());
        for (int i = 0; i < 3; ++i) a.call([&] { a.add(e.resonate(word(rng, "r", 6), vec(rng), vec(rng), 1 + rng() % 3)); });
        a.add(e.materialize(vec(rng), 0.4f));
        for (std::uint64_t i = 0; i < e.agent_count(); ++i) {
            const SwarmAgent g = e.agent(i);
            a.add(g.role), a.add(g.role_vector), a.add(g.policy), a.add(g.policy_vector), a.add(g.skill), a.add(g.skill_vector);
        }
    }
};
struct CausalMemoryCase {
    using Engine = CausalMemory;
    static Engine make() { return Engine(kDim); }
    static void change(Engine& e, Rng& rng, Answers& a) {
        a.call([&] { e.store(vec(rng), vec(rng), vec(rng, kDim - rng() % 2)); });  // a short time faults
    }
    static void ask(Engine& e, Rng& rng, Answers& a) {
        a.add(e.size());
        for (int i = 0; i < 4; ++i) a.add(e.query_effect(vec(rng))), a.add(e.query_cause(vec(rng))), a.add(e.query_by_time(vec(rng)));
    }
};
// Rows of every kind, cut or padded to dim (the memory holds one length).
FloatTable rows_of_dim(Rng& rng, std::size_t n) {
    FloatTable t{{}, n, kDim};
    for (std::size_t i = 0; i < n; ++i) {
        Hypervector v = vec(rng);
        v.resize(kDim, 0.5f);
        t.values.insert(t.values.end(), v.begin(), v.end());
    }
    return t;
}
struct ItemMemoryCase {
    using Engine = ItemMemory;
    static Engine make() { return Engine(kDim); }
    static void change(Engine& e, Rng& rng, Answers& a) { a.add(e.add(rows_of_dim(rng, rng() % 3))); }
    static void ask(Engine& e, Rng& rng, Answers& a) {
        a.add(e.size());
        const TopK best = e.search(rows_of_dim(rng, 2), 4);
        a.add(best.scores.values), a.add(best.indices.values);
        if (e.size() > 0) a.add(e.row(rng() % e.size()));
    }
};

template <class Case>
class EngineSnapshot : public ::testing::Test {};
using EngineCases = ::testing::Types<OptimizerCase, SelfAuditCase, MetacognitionCase, AttentionHeadCase, GenEngineCase,
                                     CacheCase, SchedulerCase, ReasonerCase, SwarmCase, CausalMemoryCase,
                                     ItemMemoryCase>;
TYPED_TEST_SUITE(EngineSnapshot, EngineCases);

template <class Case>
typename Case::Engine built(std::uint64_t seed, int changes) {
    typename Case::Engine e = Case::make();
    Rng rng(seed);
    Answers ignored;
    for (int i = 0; i < changes; ++i) Case::change(e, rng, ignored);
    return e;
}

// Answers to the queries, then to a further sequence of changes and queries.
template <class Case>
std::string answers(typename Case::Engine& e, std::uint64_t seed) {
    Answers a;
    Rng rng(seed);
    Case::ask(e, rng, a);
    for (int i = 0; i < 25; ++i) {
        Case::change(e, rng, a);
        if (i % 5 == 4) Case::ask(e, rng, a);
    }
    return a.bytes;
}

TYPED_TEST(EngineSnapshot, RebuiltEngineAnswersAndContinuesAlike) {
    using Engine = typename TypeParam::Engine;
    for (const int changes : {0, 3, 40}) {
        Engine original = built<TypeParam>(11 + changes, changes);
        const SnapshotBytes bytes = original.snapshot();
        // Streamed in pieces of any size, the same bytes.
        for (const std::size_t piece : {std::size_t{1}, std::size_t{13}, kSnapshotPieceBytes}) {
            SnapshotBytes streamed;
            std::uint64_t announced = 0;  // what a file is told to make room for
            original.snapshot_to([&](SnapshotView p) {
                if (streamed.empty()) announced = snapshot_length_from_header(p);
                streamed.insert(streamed.end(), p.begin(), p.end());
            }, piece);
            ASSERT_EQ(streamed, bytes) << changes << " " << piece;
            ASSERT_EQ(announced, bytes.size()) << changes << " " << piece;
        }
        EXPECT_EQ(snapshot_length_from_header(SnapshotView(bytes).first(kSnapshotHeaderBytes - 1)), 0U);
        Engine rebuilt = Engine::from_snapshot(bytes);
        ASSERT_EQ(rebuilt.snapshot(), bytes) << changes;
        ASSERT_EQ(answers<TypeParam>(rebuilt, 5), answers<TypeParam>(original, 5)) << changes;
        EXPECT_EQ(rebuilt.snapshot(), original.snapshot()) << changes;
    }
}

// Loading either rebuilds an engine or throws SnapshotError: never another
// exception, a crash or (under the sanitizers) a bad read or a huge allocation.
// Every route takes or refuses the same bytes, and rebuilds the same engine.
template <class Engine>
std::optional<Engine> load_by(SnapshotView bytes, Route route) {
    try {
        if (route == Route::whole) return Engine::from_snapshot(bytes);
        TrickleSource source(bytes);
        return engine_from_snapshot<Engine>(source, Engine::kSnapshotKind, kSmallWindow);
    } catch (const SnapshotError&) {
        return std::nullopt;
    }
}
template <class Engine>
std::optional<Engine> load(SnapshotView bytes) {
    std::optional<Engine> whole = load_by<Engine>(bytes, Route::whole);
    const std::optional<Engine> streamed = load_by<Engine>(bytes, Route::streamed);
    EXPECT_EQ(streamed.has_value(), whole.has_value());
    if (streamed && whole) {
        EXPECT_EQ(streamed->snapshot(), whole->snapshot());
    }
    return whole;
}
template <class Engine>
bool loads(SnapshotView bytes) { return load<Engine>(bytes).has_value(); }

TYPED_TEST(EngineSnapshot, DamagedSnapshotsAreRefused) {
    using Engine = typename TypeParam::Engine;
    const SnapshotBytes good = built<TypeParam>(3, 6).snapshot();
    ASSERT_TRUE(loads<Engine>(good));
    // Another engine's snapshot.
    EXPECT_FALSE(loads<Engine>(std::is_same_v<Engine, Optimizer> ? SelfAudit(4).snapshot() : Optimizer().snapshot()));
    Rng rng(9);
    for (std::size_t n = 0; n < good.size(); ++n) {
        SnapshotBytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        ASSERT_FALSE(loads<Engine>(cut)) << n;
        // The same cut with a header and checksum that agree, so that the
        // state's own reader meets the end of the bytes.
        if (n < kSnapshotHeaderBytes) continue;
        cut.resize(n + kSnapshotTrailerBytes);
        put_le(cut, 24, n - kSnapshotHeaderBytes, 8);
        reseal(cut);
        ASSERT_FALSE(loads<Engine>(cut) && n + kSnapshotTrailerBytes != good.size()) << n;
    }
    for (int i = 0; i < 300; ++i) {
        SnapshotBytes b = good;
        b[rng() % b.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        ASSERT_FALSE(loads<Engine>(b));
    }
    // Forged fields behind a valid checksum: dim and every count, length, tag
    // and flag meet values from small to huge. What loads from a forged state
    // must answer queries safely too (faults allowed), dim aside: a huge dim
    // is taken as given where the engine holds nothing of that size.
    const std::uint64_t forged[] = {0, 1, 2, 255, kDim + 1, 1ULL << 31, 1ULL << 62, ~0ULL};
    for (std::size_t at = kSnapshotHeaderBytes - 16; at + 4 < good.size(); ++at) {
        for (const std::uint64_t v : forged) {
            SnapshotBytes b = good;
            put_le(b, at, v, static_cast<int>(std::min<std::size_t>(8, b.size() - 4 - at)));
            reseal(b);
            std::optional<Engine> e = load<Engine>(b);
            if (!e || at < kSnapshotHeaderBytes) continue;
            Answers a;
            Rng queries(at);
            a.call([&] { TypeParam::ask(*e, queries, a); });
        }
    }
}

// A regular file streams into the reader; a pipe, whose length nothing vouches
// for before it is read, is read whole first (as far as its header announces).
// Both give back what was saved.
TEST(SnapshotFile, LoadsFromAFileAndFromAPipe) {
    ItemMemory memory(kDim);
    Rng rng(4);
    memory.add(rows_of_dim(rng, 50));
    const SnapshotBytes bytes = memory.snapshot();
    char pattern[] = "/tmp/snapshot-load-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path folder(pattern);
    const std::string file = folder / "memory.snap", pipe = folder / "memory.pipe";
    replace_file_atomically(file, [&](const SnapshotSink& sink) { sink(bytes); });
    EXPECT_EQ(engine_from_snapshot_file<ItemMemory>(file, ItemMemory::kSnapshotKind).snapshot(), bytes);
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    std::thread writer([&] {
        std::ofstream(pipe, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
    });
    SnapshotBytes loaded;
    try {
        loaded = engine_from_snapshot_file<ItemMemory>(pipe, ItemMemory::kSnapshotKind).snapshot();
    } catch (const SnapshotError& e) {
        ADD_FAILURE() << e.what();
    }
    writer.join();
    EXPECT_EQ(loaded, bytes);
    std::filesystem::remove_all(folder);
    // A source that never ends is read no further than a header would announce.
    EXPECT_THROW((void)engine_from_snapshot_file<ItemMemory>("/dev/zero", ItemMemory::kSnapshotKind), SnapshotError);
}

// A snapshot kept in memory (a pickle) is written and read with polls, as a
// file is: a large engine pickled or unpickled answers Ctrl-C.
TEST(Snapshot, LargeSnapshotsInMemoryStopWhenAsked) {
    ItemMemory memory(1024);
    memory.add(FloatTable{std::vector<float>(std::size_t{1} << 20, 0.5f), 1024, 1024});  // 4 MiB of floats
    const SnapshotBytes bytes = memory.snapshot();
    expect_cancelled([&] { memory.snapshot_to([](SnapshotView) {}); });
    expect_cancelled([&] { (void)ItemMemory::from_snapshot(bytes); });
}

}  // namespace
}  // namespace tessarin
