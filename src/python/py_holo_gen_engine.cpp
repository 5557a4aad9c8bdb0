#include "engines/holo_gen_engine.hpp"
#include "python/classes.hpp"

namespace tessarin::py {
namespace {

// An error a caller's object may give as its answer when it is looked at
// (a wrong type, a value out of range, a broken __iter__ or __str__).
// Interrupts, exits and exhausted memory are not answers: they must reach the
// caller, or a user could not stop the call and a real failure would come back
// dressed as a result.
bool pending_error_is_ordinary() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

constexpr Py_UCS4 kReplacementCharacter = 0xFFFD;

bool is_surrogate(Py_UCS4 cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

void append_utf8(std::string& out, Py_UCS4 cp) {
    const auto byte = [&](Py_UCS4 bits) { out.push_back(static_cast<char>(bits)); };
    if (cp < 0x80) {
        byte(cp);
    } else if (cp < 0x800) {
        byte(0xC0 | (cp >> 6));
        byte(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        byte(0xE0 | (cp >> 12));
        byte(0x80 | ((cp >> 6) & 0x3F));
        byte(0x80 | (cp & 0x3F));
    } else {
        byte(0xF0 | (cp >> 18));
        byte(0x80 | ((cp >> 12) & 0x3F));
        byte(0x80 | ((cp >> 6) & 0x3F));
        byte(0x80 | (cp & 0x3F));
    }
}

// The UTF-8 of a str. A display text may hold lone surrogates, which UTF-8
// cannot carry; each one becomes U+FFFD rather than failing the call.
std::string lossy_utf8(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* bytes = PyUnicode_AsUTF8AndSize(text, &size)) {
        return std::string(bytes, static_cast<std::size_t>(size));
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    const Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) throw ErrorAlreadySet{};
    std::string out;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 cp = PyUnicode_ReadChar(text, i);
        if (cp == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
        append_utf8(out, is_surrogate(cp) ? kReplacementCharacter : cp);
    }
    return out;
}

std::string unprintable_placeholder(PyObject* o) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
    if (name) {
        try {
            return "<unprintable " + lossy_utf8(name.get()) + " object>";
        } catch (const ErrorAlreadySet&) {
        }
    }
    PyErr_Clear();
    return "<unprintable object>";
}

// What str() makes of `o`. Every object has a text: when its str() fails in
// an ordinary way, the failure goes to the unraisable hook and a placeholder
// naming the type stands in.
std::string display_text(PyObject* o) {
    Ref text = Ref::steal(PyObject_Str(o));
    if (text) return lossy_utf8(text.get());
    if (!pending_error_is_ordinary()) throw ErrorAlreadySet{};
    PyErr_WriteUnraisable(o);
    return unprintable_placeholder(o);
}

// A photon's position: any str names a colour, anything else is a point.
PhotonPosition photon_position(PyObject* o) {
    if (PyUnicode_Check(o)) return Arg<std::string>::convert(o);
    return Arg<Vec3>::convert(o);
}

// The position is converted after direction and wavelength, so that a bad
// direction or wavelength is reported even when a colour is named. Its own
// conversion errors pass through without an argument prefix.
SignVector generate_photon(const HoloGenEngine& engine, AnyObject position, std::optional<Vec3> direction,
                           std::optional<float> wavelength) {
    return engine.generate_photon(photon_position(position.ptr), direction, wavelength);
}

}  // namespace

// A counterfactual operand: a small-integer sequence when the object converts
// as one, otherwise its display text (hashed by the engine). Only an ordinary
// conversion failure selects the text; anything else propagates unchanged.
template <>
struct Arg<CounterfactualOperand> {
    static constexpr bool kPrefixTypeErrors = false;
    static CounterfactualOperand convert(PyObject* o) {
        try {
            return Arg<SignVector>::convert(o);
        } catch (const ErrorAlreadySet&) {
            if (!pending_error_is_ordinary()) throw;
            PyErr_Clear();
        }
        return display_text(o);
    }
};

namespace {

using C = ClassBuilder<HoloGenEngine, "PyHoloGenEngine(dim)">;

const ClassDef kClass = C::define(
    C::init<std::uint64_t>(),
    C::method<"structural_dimension($self)", &HoloGenEngine::structural_dimension>(),
    C::method<"generate_pixel_geometry($self, x, y, frame_id=None)", &HoloGenEngine::generate_pixel_geometry>(),
    C::method<"generate_material_mapping($self, position, normal, material_id)",
              &HoloGenEngine::generate_material_mapping>(),
    C::method<"generate_photon($self, position, direction=None, wavelength=None)", &generate_photon>(),
    C::method<"encode_bvh_node($self, min_bounds, max_bounds, left, right)", &HoloGenEngine::encode_bvh_node>(),
    C::method<"simulate_counterfactual($self, root_state, intervention)",
              &HoloGenEngine::simulate_counterfactual>());

}  // namespace

const ClassDef& holo_gen_engine_class() { return kClass; }

}  // namespace tessarin::py
