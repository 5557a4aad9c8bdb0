#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "core/fault.hpp"
#include "engines/holo_gen_engine.hpp"

namespace tessarin {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// "+-+-" notation for the reference sign patterns.
SignVector signs(std::string_view pattern) {
    SignVector v;
    for (char c : pattern) v.push_back(c == '+' ? 1 : -1);
    return v;
}

SignVector prefix(const SignVector& v, std::size_t n) { return SignVector(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n)); }

SignVector negated(SignVector v) {
    for (auto& x : v) x = static_cast<std::int8_t>(-x);
    return v;
}

SignVector filled(std::size_t n, std::int8_t value) { return SignVector(n, value); }

// ---- ChaCha ------------------------------------------------------------------

struct BlockCase {
    const char* name;
    ChaChaKey key;
    std::uint64_t counter;
    std::uint64_t stream;
    ChaChaBlock words;
};

constexpr ChaChaKey kCountingKey = {0x03020100U, 0x07060504U, 0x0b0a0908U, 0x0f0e0d0cU,
                                    0x13121110U, 0x17161514U, 0x1b1a1918U, 0x1f1e1d1cU};

class ChaCha20Reference : public ::testing::TestWithParam<BlockCase> {};

// With 20 rounds the block function is the standard stream cipher, so
// independent keystreams pin it down; the 12-round variant differs only in the
// loop count and is pinned by the sign-vector reference values below.
TEST_P(ChaCha20Reference, MatchesKeystream) {
    const BlockCase& c = GetParam();
    EXPECT_EQ(chacha_block(c.key, c.counter, c.stream, 20), c.words);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ChaCha20Reference,
    ::testing::Values(
        BlockCase{"ZeroKeyBlock0", ChaChaKey{}, 0, 0,
                  {0xade0b876U, 0x903df1a0U, 0xe56a5d40U, 0x28bd8653U, 0xb819d2bdU, 0x1aed8da0U,
                   0xccef36a8U, 0xc70d778bU, 0x7c5941daU, 0x8d485751U, 0x3fe02477U, 0x374ad8b8U,
                   0xf4b8436aU, 0x1ca11815U, 0x69b687c3U, 0x8665eeb2U}},
        BlockCase{"ZeroKeyBlock1", ChaChaKey{}, 1, 0,
                  {0xbee7079fU, 0x7a385155U, 0x7c97ba98U, 0x0d082d73U, 0xa0290fcbU, 0x6965e348U,
                   0x3e53c612U, 0xed7aee32U, 0x7621b729U, 0x434ee69cU, 0xb03371d5U, 0xd539d874U,
                   0x281fed31U, 0x45fb0a51U, 0x1f0ae1acU, 0x6f4d794bU}},
        BlockCase{"HighCounterWordAndStream", kCountingKey, 0x01020304FFFFFFFFULL,
                  0xdeadbeef0a0b0c0dULL,
                  {0x742bbff5U, 0x37930e9bU, 0xe9984813U, 0xe8d1896dU, 0xc9213a99U, 0x0b15d32fU,
                   0x32414738U, 0xd6598772U, 0x7fadd913U, 0x9a8b68cdU, 0x70d497deU, 0x3c9f3a47U,
                   0x02381552U, 0x01bc6283U, 0x292f70e8U, 0x497e47c3U}},
        BlockCase{"CounterPastLowWord", kCountingKey, 0x100000000ULL, 0,
                  {0x09fb38d8U, 0x3a2e6e53U, 0x3ff2e810U, 0xa6736248U, 0xe6d8429fU, 0xed81d740U,
                   0x3c7984e3U, 0x6425c334U, 0xe56143fcU, 0x20b6c5d5U, 0x28053b58U, 0x614c2f19U,
                   0x0e3af209U, 0xe68e3914U, 0xf2dc7c53U, 0xa20e61cdU}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(ChaCha12Rng, DrawsPairWordsLowFirstAcrossBlocks) {
    const ChaChaKey key = expand_seed(42);
    ChaCha12Rng rng(key);
    for (std::uint64_t block = 0; block < 3; ++block) {
        const ChaChaBlock words = chacha_block(key, block, 0, kChaCha12Rounds);
        for (std::size_t k = 0; k < 8; ++k) {
            EXPECT_EQ(rng.next_u64(), std::uint64_t{words[2 * k]} | (std::uint64_t{words[2 * k + 1]} << 32))
                << "block " << block << " draw " << k;
        }
    }
}

// ---- Seeded sign vectors --------------------------------------------------------

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

TEST(SeededSignVectorBulk, AgreesWithOneDrawAtATime) {
    // Long enough to cross several batches of blocks, and not a multiple of
    // the block size, so that the batch edges and the tail are both exercised.
    constexpr std::uint64_t n = 1000;
    const SignVector bulk = seeded_sign_vector(7, n);
    ASSERT_EQ(bulk.size(), n);
    ChaCha12Rng rng(expand_seed(7));
    for (std::uint64_t i = 0; i < n; ++i) {
        EXPECT_EQ(bulk[i], (rng.next_u64() >> 63) == 0 ? 1 : -1) << "at " << i;
    }
    EXPECT_EQ(seeded_sign_vector(7, 9), prefix(bulk, 9));
    EXPECT_TRUE(seeded_sign_vector(7, 0).empty());
}

// ---- Coarse coordinates ---------------------------------------------------------

struct BucketCase {
    float c;
    std::uint32_t bucket;
};

class QuantiseCoordinate : public ::testing::TestWithParam<BucketCase> {};

TEST_P(QuantiseCoordinate, Bucket) { EXPECT_EQ(quantise_coordinate(GetParam().c), GetParam().bucket); }

INSTANTIATE_TEST_SUITE_P(
    Buckets, QuantiseCoordinate,
    ::testing::Values(BucketCase{-kInf, 0}, BucketCase{-1e30f, 0}, BucketCase{-10.0f, 0},
                      BucketCase{-9.375f, 1}, BucketCase{-0.0f, 16}, BucketCase{0.0f, 16},
                      BucketCase{3.0f, 20}, BucketCase{9.374f, 30}, BucketCase{9.375f, 31},
                      BucketCase{10.0f, 31}, BucketCase{1e30f, 31}, BucketCase{kInf, 31},
                      BucketCase{kNaN, 0}, BucketCase{-kNaN, 0}));

TEST(EncodeVec3, OriginMatchesReference) {
    const SignVector v = encode_vec3({0.0f, 0.0f, 0.0f}, 40);
    EXPECT_EQ(prefix(v, 9), signs("-+--+--+-"));
    EXPECT_EQ(v[32], 1);
}

TEST(EncodeVec3, OnlyTheParityOfTheBucketSumCounts) {
    const SignVector origin = encode_vec3({0.0f, 0.0f, 0.0f}, 100);
    // Buckets 20 + 16 + 16 and 15 + 17 + 16: the same parity as the origin.
    EXPECT_EQ(encode_vec3({3.0f, 0.0f, 0.0f}, 100), origin);
    EXPECT_EQ(encode_vec3({-0.625f, 0.625f, 0.0f}, 100), origin);
    // One bucket further on any axis, or a NaN (bucket 0 instead of 16 plus one): negated.
    for (const Vec3 v : {Vec3{0.625f, 0.0f, 0.0f}, Vec3{0.0f, 0.0f, -0.625f}, Vec3{kNaN, 0.625f, 0.0f}}) {
        EXPECT_EQ(encode_vec3(v, 100), negated(origin));
    }
}

// ---- bind_signs -----------------------------------------------------------------

TEST(BindSigns, WrapsProductsToEightBits) {
    const SignVector a = {100, -128, 127, -1, 1, 0, -128};
    const SignVector b = {100, -1, 127, 1, 1, 5, -128};
    EXPECT_EQ(bind_signs(a, b), (SignVector{16, -128, 1, -1, 1, 0, 0}));
    EXPECT_TRUE(bind_signs({}, {}).empty());
}

TEST(BindSigns, DifferentLengthsFault) {
    const SignVector a(3, 1), b(4, 1);
    EXPECT_THROW(bind_signs(a, b), Fault);
    EXPECT_THROW(bind_signs(b, a), Fault);
}

// ---- Wavelength code ------------------------------------------------------------

TEST(WavelengthCode, Red650MatchesReference) {
    EXPECT_EQ(wavelength_code(650.0f, 32), signs("+-----++++++++++-++-++-++-++----"));
}

class WavelengthCodeTooNarrow : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(WavelengthCodeTooNarrow, Faults) { EXPECT_THROW(wavelength_code(650.0f, GetParam()), Fault); }

INSTANTIATE_TEST_SUITE_P(Dims, WavelengthCodeTooNarrow, ::testing::Values(1, 16, 31));

TEST(WavelengthCode, EmptyForZeroDim) { EXPECT_TRUE(wavelength_code(650.0f, 0).empty()); }

double plus_share(const SignVector& v, std::size_t begin, std::size_t end) {
    std::size_t plus = 0;
    for (std::size_t i = begin; i < end; ++i) plus += v[i] > 0 ? 1 : 0;
    return static_cast<double>(plus) / static_cast<double>(end - begin);
}

struct LeanCase {
    float wavelength;
    std::size_t true_bands;  // bands 0 ... true_bands - 1 lean to +1, the rest to -1
};

class WavelengthCodeLean : public ::testing::TestWithParam<LeanCase> {};

// Bands whose threshold the wavelength reaches lean to +1 and the others to
// -1, each with odds 0.6 : 0.4; 1000 components per band make the shares
// land well inside 0.55 ... 0.65.
TEST_P(WavelengthCodeLean, BandsLeanByThreshold) {
    constexpr std::size_t width = 1000;
    const SignVector v = wavelength_code(GetParam().wavelength, 32 * width);
    for (std::size_t band = 0; band < 32; ++band) {
        const double share = plus_share(v, band * width, (band + 1) * width);
        if (band < GetParam().true_bands) {
            EXPECT_NEAR(share, 0.6, 0.05) << "band " << band;
        } else {
            EXPECT_NEAR(share, 0.4, 0.05) << "band " << band;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Thresholds, WavelengthCodeLean,
                         ::testing::Values(LeanCase{650.0f, 32}, LeanCase{9.375f, 32},
                                           LeanCase{9.37f, 31}, LeanCase{0.0f, 17},
                                           LeanCase{-10.0f, 1}, LeanCase{-11.0f, 0},
                                           LeanCase{kNaN, 0}));

TEST(WavelengthCode, ComponentsPastTheLastFullBandUseBandThirtyOne) {
    // n = 70: bands of two components, and 64 ... 69 fall into band 31 rather
    // than past the end of the flags. At 9.0 band 30 reaches its threshold and
    // band 31 does not, so the tail must follow band 31's flag.
    constexpr std::uint64_t n = 70;
    const SignVector v = wavelength_code(9.0f, n);
    ChaCha12Rng rng(expand_seed(std::bit_cast<std::uint32_t>(9.0f)));
    constexpr std::uint64_t kLowLimit = 0x9999999999999800ULL;
    for (std::uint64_t j = 0; j < n; ++j) {
        const bool low = rng.next_u64() < kLowLimit;
        const bool reached = j < 62;  // bands 0 ... 30
        EXPECT_EQ(v[j], low == reached ? 1 : -1) << "at " << j;
    }
}

// ---- string_sign_vector ---------------------------------------------------------

TEST(StringSignVector, MatchesReference) {
    EXPECT_EQ(string_sign_vector("abc", 16), signs("-+----+-+++++-++"));
    EXPECT_EQ(string_sign_vector("", 16), signs("--++----++-++--+"));
    EXPECT_EQ(string_sign_vector("abc", 5), prefix(string_sign_vector("abc", 16), 5));
}

// ---- Photon colours -------------------------------------------------------------

struct ColourCase {
    std::string name;
    float wavelength;
};

class PhotonColour : public ::testing::TestWithParam<ColourCase> {};

TEST_P(PhotonColour, Wavelength) { EXPECT_EQ(photon_colour_wavelength(GetParam().name), GetParam().wavelength); }

INSTANTIATE_TEST_SUITE_P(
    Names, PhotonColour,
    ::testing::Values(ColourCase{"red", 650.0f}, ColourCase{"Red", 650.0f}, ColourCase{" red ", 650.0f},
                      ColourCase{"RED\n", 650.0f}, ColourCase{"\t\r\v\f red", 650.0f},
                      // no-break space, ideographic space, line separator, next line
                      ColourCase{"\u00a0red\u3000", 650.0f}, ColourCase{"\u2028ReD\u0085", 650.0f},
                      ColourCase{"violet", 420.0f}, ColourCase{"purple", 420.0f},
                      ColourCase{"blue", 480.0f}, ColourCase{"cyan", 500.0f},
                      ColourCase{"green", 530.0f}, ColourCase{"white", 550.0f},
                      ColourCase{"yellow", 580.0f}, ColourCase{"amber", 590.0f},
                      ColourCase{"ORANGE", 590.0f}));

struct UnknownColourCase {
    std::string name;
    std::string quoted;
};

class UnknownPhotonColour : public ::testing::TestWithParam<UnknownColourCase> {};

TEST_P(UnknownPhotonColour, NamesTheTrimmedLowerCasedText) {
    try {
        photon_colour_wavelength(GetParam().name);
        FAIL() << "accepted " << GetParam().name;
    } catch (const PhotonError& e) {
        EXPECT_EQ(std::string(e.what()), "unsupported photon color '" + GetParam().quoted +
                                             "'. Use blue, red, green, yellow, white, cyan, amber, or violet.");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, UnknownPhotonColour,
    ::testing::Values(UnknownColourCase{"Magenta", "magenta"}, UnknownColourCase{"", ""},
                      UnknownColourCase{"   ", ""}, UnknownColourCase{"\u3000\n", ""},
                      // only ASCII letters are lower-cased
                      UnknownColourCase{" R\u00c9D ", "r\u00c9d"},
                      // zero width space and the information separators are not white space
                      UnknownColourCase{"\u200bred", "\u200bred"}, UnknownColourCase{"\x1cred", "\x1cred"},
                      UnknownColourCase{"re d", "re d"}));

// ---- The engine -----------------------------------------------------------------

TEST(HoloGenEngine, ZeroDimGivesEmptyResults) {
    const HoloGenEngine e(0);
    EXPECT_EQ(e.structural_dimension(), 0u);
    EXPECT_TRUE(e.generate_pixel_geometry(1, 2, 3).empty());
    EXPECT_TRUE(e.generate_material_mapping({1, 2, 3}, {4, 5, 6}, 7).empty());
    EXPECT_TRUE(e.generate_photon(std::string("red"), std::nullopt, std::nullopt).empty());
    EXPECT_TRUE(e.encode_bvh_node({0, 0, 0}, {1, 1, 1}, {}, {}).empty());
    EXPECT_TRUE(e.simulate_counterfactual(std::string("abc"), SignVector{}).empty());
}

TEST(HoloGenEngine, PixelGeometry) {
    const HoloGenEngine e(100);
    EXPECT_EQ(e.structural_dimension(), 100u);
    const SignVector xy = e.generate_pixel_geometry(3, 0xFFFFFFFFU, std::nullopt);
    EXPECT_EQ(xy, e.generate_pixel_geometry(0xFFFFFFFFU, 3, std::nullopt));
    EXPECT_EQ(xy, e.generate_pixel_geometry(3, 0xFFFFFFFFU, 0));
    EXPECT_NE(xy, e.generate_pixel_geometry(3, 0xFFFFFFFFU, 1));
    EXPECT_EQ(e.generate_pixel_geometry(9, 9, 0xFFFFFFFFFFFFFFFFULL), seeded_sign_vector(0xFFFFFFFFFFFFFFFFULL, 100));
}

TEST(HoloGenEngine, MaterialMappingIsTheMaterialVectorUpToParity) {
    const HoloGenEngine e(100);
    const SignVector m = seeded_sign_vector(77, 100);
    EXPECT_EQ(e.generate_material_mapping({0, 0, 0}, {0, 0, 0}, 77), m);
    EXPECT_EQ(e.generate_material_mapping({3, 0, 0}, {0, 0, 0}, 77), m);
    EXPECT_EQ(e.generate_material_mapping({0, 0, 0}, {0, 0.625f, 0}, 77), negated(m));
}

TEST(HoloGenEngine, PhotonReferenceAtDim32) {
    const HoloGenEngine e(32);
    const SignVector want = signs("-+++++----------+--+--+--+--++++");
    EXPECT_EQ(e.generate_photon(std::string("red"), std::nullopt, std::nullopt), want);
    EXPECT_EQ(e.generate_photon(Vec3{0, 0, 0}, Vec3{1, 0, 0}, 650.0f), want);
    // A colour ignores the other two arguments.
    EXPECT_EQ(e.generate_photon(std::string(" RED\n"), Vec3{5, 5, 5}, 480.0f), want);
}

TEST(HoloGenEngine, PhotonColourAliases) {
    const HoloGenEngine e(64);
    const auto colour = [&](const char* name) { return e.generate_photon(std::string(name), std::nullopt, std::nullopt); };
    EXPECT_EQ(colour("purple"), colour("violet"));
    EXPECT_EQ(colour("orange"), colour("amber"));
    EXPECT_NE(colour("red"), colour("blue"));
}

TEST(HoloGenEngine, PhotonPositionVectorNeedsDirectionThenWavelength) {
    const HoloGenEngine e(32);
    const auto message = [&](std::optional<Vec3> d, std::optional<float> w) -> std::string {
        try {
            e.generate_photon(Vec3{0, 0, 0}, d, w);
        } catch (const PhotonError& err) {
            return err.what();
        }
        return "no error";
    };
    const std::string direction = "direction is required when generate_photon() is called with a position vector";
    const std::string wavelength = "wavelength is required when generate_photon() is called with a position vector";
    EXPECT_EQ(message(std::nullopt, std::nullopt), direction);
    EXPECT_EQ(message(std::nullopt, 650.0f), direction);
    EXPECT_EQ(message(Vec3{1, 0, 0}, std::nullopt), wavelength);
}

TEST(HoloGenEngine, PhotonBelowThirtyTwoDimsFaultsOnlyOnceItEncodes) {
    const HoloGenEngine e(31);
    EXPECT_THROW(e.generate_photon(std::string("red"), std::nullopt, std::nullopt), Fault);
    EXPECT_THROW(e.generate_photon(Vec3{0, 0, 0}, Vec3{1, 0, 0}, 650.0f), Fault);
    // Caller errors are found before the encoding is reached.
    EXPECT_THROW(e.generate_photon(std::string("magenta"), std::nullopt, std::nullopt), PhotonError);
    EXPECT_THROW(e.generate_photon(Vec3{0, 0, 0}, std::nullopt, std::nullopt), PhotonError);
}

TEST(HoloGenEngine, CodebooksAreFixedAndDistinct) {
    // The codebooks are part of every node encoding ever produced: these
    // prefixes must never change.
    const HoloGenEngine e(16);
    EXPECT_EQ(SignVector(e.codebook('L').begin(), e.codebook('L').end()), signs("++-+++++--+++--+"));
    EXPECT_EQ(SignVector(e.codebook('R').begin(), e.codebook('R').end()), signs("-++--+----+---+-"));
    const HoloGenEngine wide(200);
    const std::string tags = "ODPNMWXYFTLRBI";
    for (std::size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(wide.codebook(tags[i]).size(), 200u);
        EXPECT_TRUE(std::equal(e.codebook(tags[i]).begin(), e.codebook(tags[i]).end(), wide.codebook(tags[i]).begin()))
            << tags[i] << " depends on dim beyond its length";
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_FALSE(std::equal(wide.codebook(tags[i]).begin(), wide.codebook(tags[i]).end(),
                                    wide.codebook(tags[j]).begin()))
                << tags[i] << " equals " << tags[j];
        }
    }
    EXPECT_THROW(static_cast<void>(e.codebook('Q')), Fault);
}

TEST(HoloGenEngine, SideCodebooksTakeDrawsTenAndElevenOfTheEngineSeed) {
    // The built-in seed's 32 bytes as little-endian key words; each tag's
    // draw has the tag's ASCII code folded into its low byte.
    const std::string_view seed = "tessarin_hdc generation codebook";
    ChaChaKey key{};
    for (std::size_t i = 0; i < 32; ++i) key[i / 4] |= std::uint32_t{static_cast<unsigned char>(seed[i])} << (8 * (i % 4));
    ChaCha12Rng rng(key);
    for (int draw = 0; draw < 10; ++draw) rng.next_u64();
    const std::uint64_t l_seed = rng.next_u64() ^ 'L';
    const std::uint64_t r_seed = rng.next_u64() ^ 'R';
    const HoloGenEngine e(40);
    EXPECT_TRUE(std::ranges::equal(e.codebook('L'), seeded_sign_vector(l_seed, 40)));
    EXPECT_TRUE(std::ranges::equal(e.codebook('R'), seeded_sign_vector(r_seed, 40)));
}

SignVector product(SignView a, SignView b) {
    SignVector out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = static_cast<std::int8_t>(a[i] * b[i]);
    return out;
}

TEST(HoloGenEngine, BvhNodeBindsChildrenWithSideCodebooks) {
    constexpr std::uint64_t n = 50;
    const HoloGenEngine e(n);
    const SignVector left = seeded_sign_vector(1, n);
    const SignVector right = seeded_sign_vector(2, n);
    const SignVector want = product(product(e.codebook('L'), left), product(e.codebook('R'), right));
    EXPECT_EQ(e.encode_bvh_node({1, 2, 3}, {1, 2, 3}, left, right), want);
    // Corner buckets 16+16+16 and 17+16+16 differ in parity.
    EXPECT_EQ(e.encode_bvh_node({0, 0, 0}, {0.625f, 0, 0}, left, right), negated(want));
}

TEST(HoloGenEngine, BvhNodeComponentsWrap) {
    const HoloGenEngine e(4);
    const SignVector hundred = filled(4, 100);
    const SignVector node = e.encode_bvh_node({0, 0, 0}, {0, 0, 0}, hundred, hundred);
    const SignVector codebook_signs = product(e.codebook('L'), e.codebook('R'));
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(node[i], 16 * codebook_signs[i]) << "at " << i;
}

TEST(HoloGenEngine, BvhNodeChildOfWrongLengthFaults) {
    const HoloGenEngine e(8);
    const SignVector ok = filled(8, 1), short_one = filled(7, 1), long_one = filled(9, 1);
    EXPECT_THROW(e.encode_bvh_node({0, 0, 0}, {0, 0, 0}, short_one, ok), Fault);
    EXPECT_THROW(e.encode_bvh_node({0, 0, 0}, {0, 0, 0}, ok, long_one), Fault);
}

TEST(HoloGenEngine, CounterfactualOperands) {
    const HoloGenEngine e(20);
    EXPECT_EQ(e.simulate_counterfactual(SignVector{1, -1, 1}, SignVector{1, 1, -1}), (SignVector{1, -1, -1}));
    EXPECT_EQ(e.simulate_counterfactual(std::string("abc"), std::string("abc")), filled(20, 1));
    const SignVector hashed = string_sign_vector("[1.5, 2.0]", 20);
    EXPECT_EQ(e.simulate_counterfactual(std::string("[1.5, 2.0]"), filled(20, -1)), negated(hashed));
    EXPECT_THROW(e.simulate_counterfactual(std::string("abc"), SignVector{1, -1}), Fault);
    const HoloGenEngine two(2);
    EXPECT_EQ(two.simulate_counterfactual(std::string("abc"), SignVector{1, -1}),
              product(string_sign_vector("abc", 2), SignVector{1, -1}));
}

TEST(HoloGenEngine, ImpossibleDimensionIsCapacityOverflow) {
    EXPECT_THROW(HoloGenEngine(std::numeric_limits<std::uint64_t>::max()), Fault);
    EXPECT_THROW(seeded_sign_vector(0, std::numeric_limits<std::uint64_t>::max()), Fault);
}

TEST(HoloGenEngine, UnallocatableDimensionThrowsInsteadOfCrashing) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the address sanitizer aborts on a failed allocation instead of throwing";
#else
    // Addressable but far beyond any memory: an allocation failure, not a crash.
    EXPECT_THROW(HoloGenEngine(std::uint64_t{1} << 60), std::bad_alloc);
#endif
}

}  // namespace
}  // namespace tessarin
