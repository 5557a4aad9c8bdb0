#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "core/cancel.hpp"
#include "core/chacha.hpp"
#include "core/fault.hpp"
#include "engines/holo_gen_engine.hpp"
#include "expect_fault.hpp"

namespace tessarin {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr auto kNone = std::nullopt;

// "+-+-" notation for reference sign patterns.
SignVector signs(std::string_view pattern) {
    SignVector v;
    for (char c : pattern) v.push_back(c == '+' ? 1 : -1);
    return v;
}

SignVector negated(SignVector v) {
    for (auto& x : v) x = static_cast<std::int8_t>(-x);
    return v;
}

SignVector product(SignView a, SignView b) {
    SignVector out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = static_cast<std::int8_t>(a[i] * b[i]);
    return out;
}

// ---- Seeded sign vectors -------------------------------------------------------

TEST(SeededSigns, BulkFillEqualsSingleDraws) {
    // The bulk path computes several blocks at once and fills the vector in
    // blocks of kCancelBlockItems; this length crosses many batch edges and
    // two fill blocks, and ends in a partial block.
    const SignVector bulk = seeded_sign_vector(7, 2 * kCancelBlockItems + 1000);
    ChaCha12Rng rng(expand_seed(7));
    for (std::size_t i = 0; i < bulk.size(); ++i) {
        ASSERT_EQ(bulk[i], (rng.next_u64() >> 63) == 0 ? 1 : -1) << "at " << i;
    }
}

struct SeededCase {
    std::uint64_t seed;
    const char* pattern;
};

class SeededSignVector : public ::testing::TestWithParam<SeededCase> {};

TEST_P(SeededSignVector, MatchesReferencePrefix) {
    EXPECT_EQ(seeded_sign_vector(GetParam().seed, 16), signs(GetParam().pattern));
}

INSTANTIATE_TEST_SUITE_P(Reference, SeededSignVector,
                         ::testing::Values(SeededCase{0, "--+-+-+----++-++"},
                                           SeededCase{1, "--+++-+--+++-+++"},
                                           SeededCase{3, "+++++++-+-----+-"},
                                           SeededCase{5, "+++--++---------"}));

// ---- Coarse coordinates ---------------------------------------------------------

class QuantiseCoordinate : public ::testing::TestWithParam<std::pair<float, std::uint32_t>> {};

TEST_P(QuantiseCoordinate, Bucket) { EXPECT_EQ(quantise_coordinate(GetParam().first), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(Buckets, QuantiseCoordinate,
                         ::testing::Values(std::pair{-kInf, 0U}, std::pair{-10.0f, 0U},
                                           std::pair{-9.375f, 1U}, std::pair{-0.0f, 16U},
                                           std::pair{3.0f, 20U}, std::pair{9.374f, 30U},
                                           std::pair{9.375f, 31U}, std::pair{10.0f, 31U},
                                           std::pair{kInf, 31U}, std::pair{kNaN, 0U}));

TEST(EncodeVec3, ReferenceAndParity) {
    const SignVector origin = encode_vec3({0.0f, 0.0f, 0.0f}, 40);
    EXPECT_EQ(SignVector(origin.begin(), origin.begin() + 9), signs("-+--+--+-"));
    EXPECT_EQ(origin[32], 1);
    // Buckets 20+16+16 and 15+17+16 share the origin's parity; one bucket
    // more on any axis, or a NaN (bucket 0) beside a 17, flips it.
    EXPECT_EQ(encode_vec3({3.0f, 0.0f, 0.0f}, 40), origin);
    EXPECT_EQ(encode_vec3({-0.625f, 0.625f, 0.0f}, 40), origin);
    EXPECT_EQ(encode_vec3({0.0f, 0.0f, -0.625f}, 40), negated(origin));
    EXPECT_EQ(encode_vec3({kNaN, 0.625f, 0.0f}, 40), negated(origin));
}

TEST(BindSigns, WrapsToEightBitsAndNeedsEqualLengths) {
    const SignVector a = {100, -128, 127, -1, 0, -128};
    const SignVector b = {100, -1, 127, 1, 5, -128};
    EXPECT_EQ(bind_signs(a, b), (SignVector{16, -128, 1, -1, 0, 0}));
    EXPECT_THROW(bind_signs(a, SignVector(5, 1)), Fault);
}

// ---- Wavelength code ------------------------------------------------------------

TEST(WavelengthCode, ReferenceAndNarrowDims) {
    EXPECT_EQ(wavelength_code(650.0f, 32), signs("+-----++++++++++-++-++-++-++----"));
    EXPECT_TRUE(wavelength_code(650.0f, 0).empty());
    for (std::uint64_t n : {1, 31}) EXPECT_THROW(wavelength_code(650.0f, n), Fault) << n;
}

class WavelengthCodeLean : public ::testing::TestWithParam<std::pair<float, std::size_t>> {};

// The first `second` bands reach their threshold and lean to +1, the rest to
// -1, with odds 0.6 : 0.4; 1000 components per band keep each share well
// inside 0.05 of its odds.
TEST_P(WavelengthCodeLean, BandsLeanByThreshold) {
    constexpr std::size_t width = 1000;
    const SignVector v = wavelength_code(GetParam().first, 32 * width);
    for (std::size_t band = 0; band < 32; ++band) {
        const auto plus = std::count(v.begin() + static_cast<std::ptrdiff_t>(band * width),
                                     v.begin() + static_cast<std::ptrdiff_t>((band + 1) * width), 1);
        const double want = band < GetParam().second ? 0.6 : 0.4;
        EXPECT_NEAR(static_cast<double>(plus) / width, want, 0.05) << "band " << band;
    }
}

INSTANTIATE_TEST_SUITE_P(Thresholds, WavelengthCodeLean,
                         ::testing::Values(std::pair{650.0f, std::size_t{32}}, std::pair{9.375f, std::size_t{32}},
                                           std::pair{9.37f, std::size_t{31}}, std::pair{0.0f, std::size_t{17}},
                                           std::pair{-10.0f, std::size_t{1}}, std::pair{kNaN, std::size_t{0}}));

TEST(WavelengthCode, TailPastTheLastFullBandFollowsBandThirtyOne) {
    // 70 components: bands of two, and 64 ... 69 belong to band 31. At 9.0
    // band 30 reaches its threshold and band 31 does not.
    const SignVector v = wavelength_code(9.0f, 70);
    ChaCha12Rng rng(expand_seed(std::bit_cast<std::uint32_t>(9.0f)));
    for (std::size_t j = 0; j < v.size(); ++j) {
        const bool low = rng.next_u64() < 0x9999999999999800ULL;
        EXPECT_EQ(v[j], low == (j < 62) ? 1 : -1) << "at " << j;
    }
}

TEST(StringSignVector, Reference) {
    EXPECT_EQ(string_sign_vector("abc", 16), signs("-+----+-+++++-++"));
    EXPECT_EQ(string_sign_vector("", 16), signs("--++----++-++--+"));
}

// ---- Photon colours -------------------------------------------------------------

class PhotonColour : public ::testing::TestWithParam<std::pair<std::string, float>> {};

TEST_P(PhotonColour, Wavelength) { EXPECT_EQ(photon_colour_wavelength(GetParam().first), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(
    Names, PhotonColour,
    ::testing::Values(std::pair{"Red", 650.0f}, std::pair{" red ", 650.0f}, std::pair{"RED\n", 650.0f},
                      std::pair{"\t\r\v\f red", 650.0f},
                      // no-break space, ideographic space, line separator, next line
                      std::pair{"\u00a0red\u3000", 650.0f}, std::pair{"\u2028ReD\u0085", 650.0f},
                      std::pair{"purple", 420.0f}, std::pair{"ORANGE", 590.0f}));

class UnknownPhotonColour : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(UnknownPhotonColour, QuotesTheTrimmedLowerCasedName) {
    try {
        photon_colour_wavelength(GetParam().first);
        FAIL() << "accepted " << GetParam().first;
    } catch (const PhotonError& e) {
        EXPECT_EQ(std::string(e.what()), "unsupported photon color '" + GetParam().second +
                                             "'. Use blue, red, green, yellow, white, cyan, amber, or violet.");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, UnknownPhotonColour,
    ::testing::Values(std::pair{"Magenta", "magenta"}, std::pair{"   ", ""}, std::pair{"\u3000\n", ""},
                      // only ASCII letters are lower-cased
                      std::pair{" R\u00c9D ", "r\u00c9d"},
                      // zero width space and the information separators are not white space
                      std::pair{"\u200bred", "\u200bred"}, std::pair{"\x1cred", "\x1cred"}));

// ---- The engine -----------------------------------------------------------------

TEST(HoloGenEngine, ZeroDimGivesEmptyResults) {
    const HoloGenEngine e(0);
    EXPECT_EQ(e.structural_dimension(), 0u);
    EXPECT_TRUE(e.generate_pixel_geometry(1, 2, 3).empty());
    EXPECT_TRUE(e.generate_material_mapping({1, 2, 3}, {4, 5, 6}, 7).empty());
    EXPECT_TRUE(e.generate_photon(std::string("red"), kNone, kNone).empty());
    EXPECT_TRUE(e.encode_bvh_node({0, 0, 0}, {1, 1, 1}, {}, {}).empty());
    EXPECT_TRUE(e.simulate_counterfactual(std::string("abc"), SignVector{}).empty());
}

TEST(HoloGenEngine, PixelAndMaterial) {
    const HoloGenEngine e(100);
    const SignVector xy = e.generate_pixel_geometry(3, 0xFFFFFFFFU, kNone);
    EXPECT_EQ(xy, e.generate_pixel_geometry(0xFFFFFFFFU, 3, 0));
    EXPECT_NE(xy, e.generate_pixel_geometry(3, 0xFFFFFFFFU, 1));
    EXPECT_EQ(e.generate_pixel_geometry(9, 9, ~std::uint64_t{0}), seeded_sign_vector(~std::uint64_t{0}, 100));

    const SignVector m = seeded_sign_vector(77, 100);
    EXPECT_EQ(e.generate_material_mapping({3, 0, 0}, {0, 0, 0}, 77), m);
    EXPECT_EQ(e.generate_material_mapping({0, 0, 0}, {0, 0.625f, 0}, 77), negated(m));
}

TEST(HoloGenEngine, PhotonReferenceAtDim32) {
    const HoloGenEngine e(32);
    const SignVector want = signs("-+++++----------+--+--+--+--++++");
    EXPECT_EQ(e.generate_photon(std::string("red"), kNone, kNone), want);
    EXPECT_EQ(e.generate_photon(Vec3{0, 0, 0}, Vec3{1, 0, 0}, 650.0f), want);
    // A colour ignores the other two arguments.
    EXPECT_EQ(e.generate_photon(std::string(" RED\n"), Vec3{5, 5, 5}, 480.0f), want);
}

TEST(HoloGenEngine, PhotonCallerErrorsComeBeforeTheNarrowDimFault) {
    const HoloGenEngine e(31);
    const auto message = [&](const PhotonPosition& p, std::optional<Vec3> d, std::optional<float> w) -> std::string {
        try {
            e.generate_photon(p, d, w);
        } catch (const PhotonError& err) {
            return err.what();
        }
        return "no PhotonError";
    };
    const std::string direction = "direction is required when generate_photon() is called with a position vector";
    EXPECT_EQ(message(Vec3{0, 0, 0}, kNone, kNone), direction);
    EXPECT_EQ(message(Vec3{0, 0, 0}, kNone, 650.0f), direction);
    EXPECT_EQ(message(Vec3{0, 0, 0}, Vec3{1, 0, 0}, kNone),
              "wavelength is required when generate_photon() is called with a position vector");
    EXPECT_NE(message(std::string("magenta"), kNone, kNone).find("'magenta'"), std::string::npos);
    EXPECT_THROW(e.generate_photon(std::string("red"), kNone, kNone), Fault);
    EXPECT_THROW(e.generate_photon(Vec3{0, 0, 0}, Vec3{1, 0, 0}, 650.0f), Fault);
}

TEST(HoloGenEngine, SideCodebooksAreFixed) {
    // Codebooks enter every node encoding ever produced: these must not move.
    const HoloGenEngine e(16);
    EXPECT_TRUE(std::ranges::equal(e.codebook('L'), signs("++-+++++--+++--+")));
    EXPECT_TRUE(std::ranges::equal(e.codebook('R'), signs("-++--+----+---+-")));
    EXPECT_THROW(static_cast<void>(e.codebook('Q')), Fault);

    // They are draws 10 and 11 of the generator keyed by the built-in seed's
    // bytes as little-endian words, each with its tag folded into the low byte.
    const std::string_view seed = "tessarin_hdc generation codebook";
    ChaChaKey key{};
    for (std::size_t i = 0; i < 32; ++i) key[i / 4] |= std::uint32_t{static_cast<unsigned char>(seed[i])} << (8 * (i % 4));
    ChaCha12Rng rng(key);
    for (int draw = 0; draw < 10; ++draw) rng.next_u64();
    EXPECT_TRUE(std::ranges::equal(e.codebook('L'), seeded_sign_vector(rng.next_u64() ^ 'L', 16)));
    EXPECT_TRUE(std::ranges::equal(e.codebook('R'), seeded_sign_vector(rng.next_u64() ^ 'R', 16)));
}

TEST(HoloGenEngine, BvhNode) {
    const HoloGenEngine e(50);
    const SignVector left = seeded_sign_vector(1, 50);
    const SignVector right = seeded_sign_vector(2, 50);
    const SignVector want = product(product(e.codebook('L'), left), product(e.codebook('R'), right));
    EXPECT_EQ(e.encode_bvh_node({1, 2, 3}, {1, 2, 3}, left, right), want);
    // Corner buckets 16+16+16 and 17+16+16 differ in parity.
    EXPECT_EQ(e.encode_bvh_node({0, 0, 0}, {0.625f, 0, 0}, left, right), negated(want));

    const SignVector hundred(50, 100);
    const SignVector wrapped = e.encode_bvh_node({0, 0, 0}, {0, 0, 0}, hundred, hundred);
    const SignVector sides = product(e.codebook('L'), e.codebook('R'));
    for (std::size_t i = 0; i < 50; ++i) EXPECT_EQ(wrapped[i], 16 * sides[i]) << "at " << i;

    EXPECT_THROW(e.encode_bvh_node({0, 0, 0}, {0, 0, 0}, SignVector(49, 1), right), Fault);
    EXPECT_THROW(e.encode_bvh_node({0, 0, 0}, {0, 0, 0}, left, SignVector(51, 1)), Fault);
}

TEST(HoloGenEngine, CounterfactualOperands) {
    const HoloGenEngine e(20);
    EXPECT_EQ(e.simulate_counterfactual(SignVector{1, -1, 1}, SignVector{1, 1, -1}), (SignVector{1, -1, -1}));
    EXPECT_EQ(e.simulate_counterfactual(std::string("abc"), std::string("abc")), SignVector(20, 1));
    EXPECT_EQ(e.simulate_counterfactual(std::string("[1.5, 2.0]"), SignVector(20, -1)),
              negated(string_sign_vector("[1.5, 2.0]", 20)));
    EXPECT_THROW(e.simulate_counterfactual(std::string("abc"), SignVector{1, -1}), Fault);
    EXPECT_EQ(HoloGenEngine(2).simulate_counterfactual(std::string("abc"), SignVector{1, -1}),
              product(string_sign_vector("abc", 2), SignVector{1, -1}));
}

TEST(HoloGenEngine, ImpossibleDimensionThrowsInsteadOfCrashing) {
    EXPECT_THROW(HoloGenEngine(std::numeric_limits<std::uint64_t>::max()), Fault);
#ifndef __SANITIZE_ADDRESS__
    // Addressable but beyond any memory. (The address sanitizer aborts on a
    // failed allocation instead of throwing, so it cannot run this part.)
    EXPECT_THROW(HoloGenEngine(std::uint64_t{1} << 60), std::bad_alloc);
#endif
}

TEST(HoloGenEngine, LongEncodingsStopWhenAsked) {
    const std::uint64_t n = 2 * kCancelPollInterval;
    const SignVector a(n, 1);
    const std::vector<std::function<void()>> calls{
        [&] { (void)HoloGenEngine(n); },
        [&] { (void)seeded_sign_vector(1, n); },
        [&] { (void)string_sign_vector("abc", n); },
        [&] { (void)encode_vec3({1.0f, 2.0f, 3.0f}, n); },
        [&] { (void)bind_signs(a, a); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        expect_cancelled(calls[i]);
    }
}

}  // namespace
}  // namespace tessarin
