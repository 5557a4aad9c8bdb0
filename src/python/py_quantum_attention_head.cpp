#include "engines/quantum_attention_head.hpp"
#include "python/classes.hpp"

namespace tessarin::py {
namespace {

using C = ClassBuilder<QuantumAttentionHead, "PyQuantumAttentionHead(dim, nqubits)">;

}  // namespace

const ClassDef quantum_attention_head_class = C::define(
    C::init<std::uint64_t, std::uint64_t>(),
    C::method<"compute($self, query, keys, values)", &QuantumAttentionHead::compute>());

}  // namespace tessarin::py
