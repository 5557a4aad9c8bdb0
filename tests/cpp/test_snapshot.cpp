#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/snapshot.hpp"

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

// Recomputes the checksum, so that a forged field reaches the body's checks.
void reseal(SnapshotBytes& b) {
    const std::uint32_t crc = crc32c(SnapshotView(b).first(b.size() - 4));
    for (int k = 0; k < 4; ++k) b[b.size() - 4 + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(crc >> (8 * k));
}
void put_le(SnapshotBytes& b, std::size_t at, std::uint64_t v, int width) {
    for (int k = 0; k < width; ++k) b[at + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(v >> (8 * k));
}

std::string refusal(SnapshotView bytes, SnapshotKind kind = SnapshotKind::optimizer) {
    try {
        SnapshotReader r(bytes, kind);
        r.string("text");
        r.row(8, "row");
        r.finish();
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
    for (const Case& c : cases) {
        SnapshotBytes b = good;
        c.forge(b);
        EXPECT_TRUE(refusal(b).starts_with(c.message)) << c.name << ": " << refusal(b);
    }
}

}  // namespace
}  // namespace tessarin
