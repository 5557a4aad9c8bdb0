// The holographic generation engine: deterministic sign-vector encodings of
// graphics primitives (pixels, materials, photons, bounding-volume-hierarchy
// nodes) and of counterfactual states.
//
// Every result is built from sign vectors that depend only on the arguments:
// a vector seeded by an integer through a ChaCha12 keystream, a coarse parity
// code of a 3-component float vector, or one of the engine's fixed codebooks,
// combined by component-wise multiplication. The same arguments therefore give
// the same vector in every process. Components are single bytes.
//
// Costs, for dim d: every generated vector is O(d), a keystream or hash draw
// per component (four ChaCha blocks at a time in baseline vector registers)
// plus a byte-wise product per binding, and allocates a few d-byte vectors.
// The engine itself holds only its fourteen codebooks. Generation polls and
// may unwind with Cancelled; a d no address space could hold is Fault
// "capacity overflow". The other faults are named with each function: a
// mismatch of lengths is Fault "sign vectors differ in length: A and B", a
// photon request that cannot be encoded is PhotonError.
//
// Threads: the engine never changes after construction; every member is const
// and may run concurrently with any other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/fault.hpp"
#include "core/snapshot.hpp"

namespace tessarin {

// Generated components are +1 or -1; vectors supplied by a caller may hold any
// 8-bit value.
using SignVector = std::vector<std::int8_t>;
using SignView = std::span<const std::int8_t>;
using Vec3 = std::array<float, 3>;

// A photon request that cannot be encoded (an unknown colour name, a position
// vector without a direction or a wavelength). It is a caller error, not an
// internal fault, and reaches Python as ValueError.
struct PhotonError : InputError {
    using InputError::InputError;
};

// ---- Sign-vector primitives ------------------------------------------------

// n components: +1 where bit 63 of draw k of the generator keyed by
// expand_seed(seed) is clear, -1 where it is set.
SignVector seeded_sign_vector(std::uint64_t seed, std::uint64_t n);

// A coordinate in [-10, 10] as one of 32 buckets; outside values clamp to the
// end buckets and NaN falls into bucket 0.
std::uint32_t quantise_coordinate(float c);

// The coarse code of a 3-component vector: component i is +1 when
// (i >> 5) + (i mod 3) + the three buckets is odd, -1 otherwise.
SignVector encode_vec3(const Vec3& v, std::uint64_t n);

// a[i] * b[i] wrapped to 8 bits. The operands must have the same length
// (Fault "sign vectors differ in length: A and B" otherwise).
SignVector bind_signs(SignView a, SignView b);

// The wavelength code's bands, each a 32nd of the vector.
inline constexpr std::size_t kWavelengthBands = 32;

// n components, each leaning to +1 (probability 0.6) in the bands whose lower
// threshold the wavelength reaches and to -1 elsewhere; seeded by the
// wavelength's 32-bit pattern. n from 1 to 31 leaves no room for a band and
// throws Fault "attempt to divide by zero".
SignVector wavelength_code(float wavelength, std::uint64_t n);

// n components from the zero-key SipHash-1-3 of the framed text followed by
// the component index: +1 where bit 0 of the hash is clear.
SignVector string_sign_vector(std::string_view text, std::uint64_t n);

// The wavelength (nm) of a named colour, matched after trimming Unicode white
// space and lower-casing ASCII letters; PhotonError for an unknown name.
float photon_colour_wavelength(std::string_view name);

// The photon code: the position and direction codes bound with the wavelength
// code (Fault for n from 1 to 31).
SignVector encode_photon(const Vec3& position, const Vec3& direction, float wavelength,
                         std::uint64_t n);

// ---- The engine ------------------------------------------------------------

// A photon's position: a colour name (UTF-8) or an explicit point.
using PhotonPosition = std::variant<std::string, Vec3>;
// A counterfactual operand: a sign vector given outright, or a text that is
// hashed into `dim` components.
using CounterfactualOperand = std::variant<SignVector, std::string>;

class HoloGenEngine {
public:
    // Builds the fourteen codebooks (14 * dim bytes, 14 keystreams of dim
    // draws; may unwind with Cancelled).
    explicit HoloGenEngine(std::uint64_t dim);

    std::uint64_t structural_dimension() const { return dim_; }

    // seeded(frame_id or 0) * seeded(x) * seeded(y).
    SignVector generate_pixel_geometry(std::uint32_t x, std::uint32_t y,
                                       std::optional<std::uint64_t> frame_id) const;

    // seeded(material_id), negated when the two coarse codes differ in parity.
    SignVector generate_material_mapping(const Vec3& position, const Vec3& normal,
                                         std::uint32_t material_id) const;

    // A named colour starts at the origin, travels along +x and ignores
    // `direction` and `wavelength`; an explicit position needs both
    // (PhotonError otherwise). The photon code needs dim 0 or at least 32
    // (Fault "attempt to divide by zero" for 1 to 31).
    SignVector generate_photon(const PhotonPosition& position, std::optional<Vec3> direction,
                               std::optional<float> wavelength) const;

    // L * left * R * right, negated when the corner codes differ in parity.
    // `left` and `right` must have `dim` components (Fault otherwise).
    SignVector encode_bvh_node(const Vec3& min_bounds, const Vec3& max_bounds, SignView left,
                               SignView right) const;

    // root * intervention, texts first hashed to `dim` components; the two
    // operands must end up the same length (Fault otherwise).
    SignVector simulate_counterfactual(const CounterfactualOperand& root_state,
                                       const CounterfactualOperand& intervention) const;

    // The codebook of one tag letter (O D P N M W X Y F T L R B I), a view
    // valid as long as the engine; Fault "no codebook for tag 'c'" for any
    // other letter.
    SignView codebook(char tag) const;

    // The whole state as bytes and back, bit for bit (core/snapshot.hpp).
    SnapshotBytes snapshot() const;
    void snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes = kSnapshotPieceBytes) const;
    static constexpr SnapshotKind kSnapshotKind = SnapshotKind::holo_gen_engine;
    static HoloGenEngine from_snapshot(SnapshotView bytes);
    void write_state(SnapshotWriter& w) const;
    static HoloGenEngine read_state(SnapshotReader& r, std::uint64_t dim);

private:
    SignVector operand_signs(const CounterfactualOperand& operand) const;

    std::uint64_t dim_;
    std::vector<SignVector> codebooks_;
};

}  // namespace tessarin
