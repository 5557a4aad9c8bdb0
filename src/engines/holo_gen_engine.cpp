#include "engines/holo_gen_engine.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>

#include "core/cancel.hpp"
#include "core/chacha.hpp"
#include "core/fault.hpp"
#include "core/siphash.hpp"
#include "core/text.hpp"

namespace tessarin {

namespace {

// Cancellation units of a draw of the bulk path.
constexpr std::uint64_t kUnitsPerDraw = 2;

// The n components sign(i, draw i) over draws 0 ... n - 1 of the generator
// keyed by `key`.
template <class Sign>
SignVector signs_from_draws(const ChaChaKey& key, std::uint64_t n, Sign&& sign) {
    static_assert(kCancelBlockItems % kChaChaDrawsPerGroup == 0,
                  "fill blocks start on a group of keystream blocks, so no block is computed twice");
    return filled_in_blocks<std::int8_t>(n, kUnitsPerDraw, [&](SignVector& out, std::size_t first, std::size_t last) {
        for_each_chacha12_draw(key, first, last, [&](std::uint64_t i, std::uint64_t draw) { out[i] = sign(i, draw); });
    });
}

// ---- Codebooks -----------------------------------------------------------------

// The engine's built-in 32-byte key for the codebook generator; any fixed
// value works, this one only has to stay the same forever.
constexpr std::string_view kEngineSeed = "tessarin_hdc generation codebook";
static_assert(kEngineSeed.size() == 32);

constexpr ChaChaKey engine_seed_key() {
    ChaChaKey key{};
    for (std::size_t w = 0; w < key.size(); ++w) {
        for (std::size_t b = 0; b < 4; ++b) {
            key[w] |= static_cast<std::uint32_t>(static_cast<unsigned char>(kEngineSeed[4 * w + b]))
                      << (8 * b);
        }
    }
    return key;
}

// The tag letters in construction order; each codebook takes the next draw
// of the engine-seed generator, so the order decides which draws L and R get.
constexpr std::string_view kCodebookTags = "ODPNMWXYFTLRBI";

// ---- Coarse coordinates ---------------------------------------------------------

constexpr float kCoordinateLimit = 10.0f;
constexpr float kCoordinateSpan = 20.0f;
constexpr float kBucketCount = 32.0f;
constexpr std::uint32_t kLastBucket = 31;

// ---- Wavelengths -------------------------------------------------------------

constexpr std::size_t kBands = kWavelengthBands;
constexpr float kFirstBandThreshold = -10.0f;
constexpr float kBandStep = 0.625f;
// 0.6 * 2^64 with the low bits cleared: a draw below it leans its component
// towards its band's flag.
constexpr std::uint64_t kLowDrawLimit = 0x9999999999999800ULL;

struct Colour {
    std::string_view name;
    float wavelength;
};

constexpr std::array<Colour, 10> kColours = {{{"violet", 420.0f},
                                               {"purple", 420.0f},
                                               {"blue", 480.0f},
                                               {"cyan", 500.0f},
                                               {"green", 530.0f},
                                               {"white", 550.0f},
                                               {"yellow", 580.0f},
                                               {"amber", 590.0f},
                                               {"orange", 590.0f},
                                               {"red", 650.0f}}};

constexpr Vec3 kColourPhotonPosition = {0.0f, 0.0f, 0.0f};
constexpr Vec3 kColourPhotonDirection = {1.0f, 0.0f, 0.0f};

}  // namespace

// ---- Sign-vector primitives ------------------------------------------------

SignVector seeded_sign_vector(std::uint64_t seed, std::uint64_t n) {
    return signs_from_draws(expand_seed(seed), n, [](std::uint64_t, std::uint64_t draw) {
        // The top bit, spread by the arithmetic shift, turns +1 into -1: no
        // branch on a random bit for the predictor to miss.
        return static_cast<std::int8_t>(1 | (static_cast<std::int64_t>(draw) >> 63));
    });
}

std::uint32_t quantise_coordinate(float c) {
    // A NaN passes through the clamp and is caught below: converting NaN to an
    // integer is undefined, so it is sent to bucket 0 before the conversion.
    c = std::clamp(c, -kCoordinateLimit, kCoordinateLimit);
    const float scaled = (c + kCoordinateLimit) / kCoordinateSpan * kBucketCount;
    if (!(scaled > 0.0f)) return 0;
    return std::min(static_cast<std::uint32_t>(scaled), kLastBucket);
}

SignVector encode_vec3(const Vec3& v, std::uint64_t n) {
    const std::uint64_t buckets = std::uint64_t{quantise_coordinate(v[0])} +
                                  quantise_coordinate(v[1]) + quantise_coordinate(v[2]);
    return filled_in_blocks<std::int8_t>(n, 1, [&](SignVector& out, std::size_t first, std::size_t last) {
        for (std::uint64_t i = first; i < last; ++i) {
            out[i] = (((i >> 5) + (i % 3) + buckets) & 1) != 0 ? std::int8_t{1} : std::int8_t{-1};
        }
    });
}

SignVector bind_signs(SignView a, SignView b) {
    if (a.size() != b.size()) {
        fault("sign vectors differ in length: " + std::to_string(a.size()) + " and " +
              std::to_string(b.size()));
    }
    return filled_in_blocks<std::int8_t>(a.size(), 1, [&](SignVector& out, std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            // The product wraps to 8 bits on purpose: a component is a byte.
            out[i] = static_cast<std::int8_t>(a[i] * b[i]);
        }
    });
}

SignVector wavelength_code(float wavelength, std::uint64_t n) {
    std::array<bool, kBands> reached{};
    for (std::size_t k = 0; k < kBands; ++k) {
        const float threshold = kFirstBandThreshold + kBandStep * static_cast<float>(k);
        reached[k] = threshold <= wavelength;
    }
    const std::uint64_t width = n / kBands;
    if (n > 0 && width == 0) fault(kDivideByZero);

    const std::uint64_t seed = std::bit_cast<std::uint32_t>(wavelength);
    return signs_from_draws(expand_seed(seed), n, [&](std::uint64_t j, std::uint64_t draw) {
        const std::uint64_t band = std::min<std::uint64_t>(j / width, kBands - 1);
        const bool low = draw < kLowDrawLimit;
        // Looked up rather than chosen: the comparison is random, so a branch
        // on it would be mispredicted half the time.
        constexpr std::array<std::int8_t, 2> kSignOfAgreement = {-1, 1};
        return kSignOfAgreement[low == reached[band]];
    });
}

SignVector string_sign_vector(std::string_view text, std::uint64_t n) {
    // An even digest gives +1, an odd one -1, computed without a branch on
    // the random bit.
    SignVector out = zeroed<std::int8_t>(n);
    map_indexed_digests(SipHasher13{}.write_str(text), std::span(out),
                        [](std::uint64_t h) { return static_cast<std::int8_t>(1 - 2 * static_cast<int>(h & 1U)); });
    return out;
}

float photon_colour_wavelength(std::string_view name) {
    const std::string key = ascii_lower(trim_unicode_white_space(name));
    for (const Colour& colour : kColours) {
        if (colour.name == key) return colour.wavelength;
    }
    throw PhotonError("unsupported photon color '" + key +
                      "'. Use blue, red, green, yellow, white, cyan, amber, or violet.");
}

SignVector encode_photon(const Vec3& position, const Vec3& direction, float wavelength,
                         std::uint64_t n) {
    const SignVector c = bind_signs(encode_vec3(direction, n), encode_vec3(position, n));
    return bind_signs(wavelength_code(wavelength, n), c);
}

// ---- The engine ------------------------------------------------------------

HoloGenEngine::HoloGenEngine(std::uint64_t dim) : dim_(dim) {
    codebooks_.reserve(kCodebookTags.size());
    ChaCha12Rng rng(engine_seed_key());
    for (const char tag : kCodebookTags) {
        const std::uint64_t draw = rng.next_u64() ^ static_cast<std::uint64_t>(tag);
        codebooks_.push_back(seeded_sign_vector(draw, dim_));
    }
}

SignView HoloGenEngine::codebook(char tag) const {
    const std::size_t index = kCodebookTags.find(tag);
    if (index == std::string_view::npos) fault(std::string("no codebook for tag '") + tag + "'");
    return codebooks_[index];
}

SignVector HoloGenEngine::generate_pixel_geometry(std::uint32_t x, std::uint32_t y,
                                                  std::optional<std::uint64_t> frame_id) const {
    const SignVector px = seeded_sign_vector(x, dim_);
    const SignVector py = seeded_sign_vector(y, dim_);
    const SignVector f = seeded_sign_vector(frame_id.value_or(0), dim_);
    return bind_signs(f, bind_signs(px, py));
}

SignVector HoloGenEngine::generate_material_mapping(const Vec3& position, const Vec3& normal,
                                                    std::uint32_t material_id) const {
    const SignVector c = bind_signs(encode_vec3(normal, dim_), encode_vec3(position, dim_));
    return bind_signs(seeded_sign_vector(material_id, dim_), c);
}

SignVector HoloGenEngine::generate_photon(const PhotonPosition& position,
                                          std::optional<Vec3> direction,
                                          std::optional<float> wavelength) const {
    if (const auto* colour = std::get_if<std::string>(&position)) {
        return encode_photon(kColourPhotonPosition, kColourPhotonDirection,
                             photon_colour_wavelength(*colour), dim_);
    }
    if (!direction) {
        throw PhotonError("direction is required when generate_photon() is called with a position vector");
    }
    if (!wavelength) {
        throw PhotonError("wavelength is required when generate_photon() is called with a position vector");
    }
    return encode_photon(std::get<Vec3>(position), *direction, *wavelength, dim_);
}

SignVector HoloGenEngine::encode_bvh_node(const Vec3& min_bounds, const Vec3& max_bounds,
                                          SignView left, SignView right) const {
    const SignVector c = bind_signs(encode_vec3(max_bounds, dim_), encode_vec3(min_bounds, dim_));
    const SignVector l = bind_signs(codebook('L'), left);
    const SignVector r = bind_signs(codebook('R'), right);
    return bind_signs(bind_signs(r, l), c);
}

SignVector HoloGenEngine::operand_signs(const CounterfactualOperand& operand) const {
    if (const auto* text = std::get_if<std::string>(&operand)) return string_sign_vector(*text, dim_);
    return std::get<SignVector>(operand);
}

SignVector HoloGenEngine::simulate_counterfactual(const CounterfactualOperand& root_state,
                                                  const CounterfactualOperand& intervention) const {
    return bind_signs(operand_signs(root_state), operand_signs(intervention));
}

}  // namespace tessarin
