#include "engines/holo_gen_engine.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>

#include "core/cancel.hpp"
#include "core/fault.hpp"
#include "core/siphash.hpp"

namespace tessarin {

namespace {

// ---- ChaCha ------------------------------------------------------------------

// "expand 32-byte k" as four little-endian words.
constexpr std::array<std::uint32_t, 4> kChaChaConstants = {0x61707865U, 0x3320646eU, 0x79622d32U,
                                                           0x6b206574U};

// The round function is written once over a "word" type: a plain 32-bit word
// for single blocks, or a vector of four words to compute four consecutive
// blocks side by side (one block per element) in baseline SIMD registers.
using WordX4 = std::uint32_t __attribute__((vector_size(16)));
constexpr std::size_t kBulkLanes = 4;

template <int Shift, class Word>
inline Word rotate_left(Word v) {
    return (v << Shift) | (v >> (32 - Shift));
}

template <class Word>
inline void quarter_round(Word& a, Word& b, Word& c, Word& d) {
    a += b;
    d = rotate_left<16>(d ^ a);
    c += d;
    b = rotate_left<12>(b ^ c);
    a += b;
    d = rotate_left<8>(d ^ a);
    c += d;
    b = rotate_left<7>(b ^ c);
}

// Applies `rounds` rounds (in pairs of column and diagonal rounds) and the
// final feed-forward addition of the input state.
template <class Word>
std::array<Word, 16> chacha_permute(const std::array<Word, 16>& input, unsigned rounds) {
    std::array<Word, 16> x = input;
    for (unsigned r = 0; r < rounds; r += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (std::size_t w = 0; w < 16; ++w) x[w] += input[w];
    return x;
}

// The input state with `counter` split into words 12 (low) and 13 (high).
template <class Word>
std::array<Word, 16> chacha_input(const ChaChaKey& key, Word counter_low, Word counter_high,
                                  std::uint64_t stream) {
    std::array<Word, 16> in;
    for (std::size_t w = 0; w < 4; ++w) in[w] = Word{} + kChaChaConstants[w];
    for (std::size_t w = 0; w < 8; ++w) in[4 + w] = Word{} + key[w];
    in[12] = counter_low;
    in[13] = counter_high;
    in[14] = Word{} + static_cast<std::uint32_t>(stream);
    in[15] = Word{} + static_cast<std::uint32_t>(stream >> 32);
    return in;
}

// Blocks first_counter ... first_counter + 3; element l of word w belongs to
// block first_counter + l.
std::array<WordX4, 16> chacha_blocks_x4(const ChaChaKey& key, std::uint64_t first_counter,
                                        std::uint64_t stream, unsigned rounds) {
    WordX4 low{}, high{};
    for (std::size_t l = 0; l < kBulkLanes; ++l) {
        // The block counter is 64 bits wide and wraps like one.
        const std::uint64_t counter = first_counter + l;
        low[l] = static_cast<std::uint32_t>(counter);
        high[l] = static_cast<std::uint32_t>(counter >> 32);
    }
    return chacha_permute(chacha_input(key, low, high, stream), rounds);
}

// Every generator of the engine reads stream 0.
constexpr std::uint64_t kEngineStream = 0;

// Draws per block: 16 words, two per 64-bit draw.
constexpr std::uint64_t kDrawsPerBlock = 8;

// Draws per step of the bulk path.
constexpr std::uint64_t kDrawsPerBulk = kBulkLanes * kDrawsPerBlock;

// Cancellation units of a draw of the bulk path.
constexpr std::uint64_t kUnitsPerDraw = 2;

// Calls sink(index, draw) for draws first ... last - 1 of the ChaCha12
// generator keyed by `key`, in order; `first` is a multiple of kDrawsPerBulk.
template <class Sink>
void for_each_draw(const ChaChaKey& key, std::uint64_t first, std::uint64_t last, Sink&& sink) {
    std::uint64_t index = first;
    for (std::uint64_t counter = first / kDrawsPerBlock; index < last; counter += kBulkLanes) {
        const auto blocks = chacha_blocks_x4(key, counter, kEngineStream, kChaCha12Rounds);
        for (std::size_t l = 0; l < kBulkLanes && index < last; ++l) {
            for (std::size_t k = 0; k < kDrawsPerBlock && index < last; ++k, ++index) {
                sink(index, std::uint64_t{blocks[2 * k][l]} |
                                (std::uint64_t{blocks[2 * k + 1][l]} << 32));
            }
        }
    }
}

// The n components sign(i, draw i) over draws 0 ... n - 1 of the generator
// keyed by `key`.
template <class Sign>
SignVector signs_from_draws(const ChaChaKey& key, std::uint64_t n, Sign&& sign) {
    static_assert(kCancelBlockItems % kDrawsPerBulk == 0, "a fill block must start at a bulk boundary");
    return filled_in_blocks<std::int8_t>(n, kUnitsPerDraw, [&](SignVector& out, std::size_t first, std::size_t last) {
        for_each_draw(key, first, last, [&](std::uint64_t i, std::uint64_t draw) { out[i] = sign(i, draw); });
    });
}

// ---- Seeds ---------------------------------------------------------------------

// The permuted congruential generator behind expand_seed.
constexpr std::uint64_t kPcgMultiplier = 6364136223846793005ULL;
constexpr std::uint64_t kPcgIncrement = 11634580027462260723ULL;

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

constexpr std::size_t kBands = 32;
constexpr float kFirstBandThreshold = -10.0f;
constexpr float kBandStep = 0.625f;
// 0.6 * 2^64 with the low bits cleared: a draw below it leans its component
// towards its band's flag.
constexpr std::uint64_t kLowDrawLimit = 0x9999999999999800ULL;
constexpr const char* kDivideByZero = "attempt to divide by zero";

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

// ---- Text ----------------------------------------------------------------------

bool is_unicode_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

constexpr char32_t kNotDecoded = 0xFFFFFFFF;

// The code point encoded by exactly the bytes of `s`, or kNotDecoded. Only
// the structure is checked: an overlong or otherwise odd sequence can never
// decode to white space of the right length, so it simply stops the trim.
char32_t decode_one(std::string_view s) {
    if (s.empty()) return kNotDecoded;
    const auto lead = static_cast<unsigned char>(s[0]);
    std::size_t len = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
        len = 1;
        cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        len = 2;
        cp = lead & 0x1FU;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3;
        cp = lead & 0x0FU;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4;
        cp = lead & 0x07U;
    } else {
        return kNotDecoded;
    }
    if (s.size() != len) return kNotDecoded;
    for (std::size_t i = 1; i < len; ++i) {
        const auto cont = static_cast<unsigned char>(s[i]);
        if ((cont & 0xC0) != 0x80) return kNotDecoded;
        cp = (cp << 6) | (cont & 0x3FU);
    }
    return cp;
}

std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::string_view trim_unicode_white_space(std::string_view s) {
    while (!s.empty()) {
        const std::size_t len = std::min(sequence_length(static_cast<unsigned char>(s[0])), s.size());
        if (!is_unicode_white_space(decode_one(s.substr(0, len)))) break;
        s.remove_prefix(len);
    }
    while (!s.empty()) {
        std::size_t start = s.size() - 1;
        while (start > 0 && s.size() - start < 4 && is_continuation(s[start])) --start;
        if (!is_unicode_white_space(decode_one(s.substr(start)))) break;
        s.remove_suffix(s.size() - start);
    }
    return s;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace

// ---- ChaCha ------------------------------------------------------------------

ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                         unsigned rounds) {
    return chacha_permute(chacha_input(key, static_cast<std::uint32_t>(counter),
                                       static_cast<std::uint32_t>(counter >> 32), stream),
                          rounds);
}

ChaChaKey expand_seed(std::uint64_t seed) {
    ChaChaKey key;
    for (std::uint32_t& word : key) {
        seed = seed * kPcgMultiplier + kPcgIncrement;
        const auto xorshifted = static_cast<std::uint32_t>(((seed >> 18) ^ seed) >> 27);
        word = std::rotr(xorshifted, static_cast<int>(seed >> 59));
    }
    return key;
}

std::uint64_t ChaCha12Rng::next_u64() {
    if (next_word_ == block_.size()) {
        block_ = chacha_block(key_, next_counter_++, kEngineStream, kChaCha12Rounds);
        next_word_ = 0;
    }
    const std::uint64_t low = block_[next_word_];
    const std::uint64_t high = block_[next_word_ + 1];
    next_word_ += 2;
    return low | (high << 32);
}

// ---- Sign-vector primitives ------------------------------------------------

SignVector seeded_sign_vector(std::uint64_t seed, std::uint64_t n) {
    return signs_from_draws(expand_seed(seed), n, [](std::uint64_t, std::uint64_t draw) {
        return (draw >> 63) == 0 ? std::int8_t{1} : std::int8_t{-1};
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
        return low == reached[band] ? std::int8_t{1} : std::int8_t{-1};
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
