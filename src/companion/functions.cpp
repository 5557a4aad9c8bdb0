// The companion package's functions, one line each: text signature, target,
// documentation. Tables in and out: rows arrive as FloatTable (any 1-D or 2-D
// numeric buffer or sequence) and leave as arrays sharing their memory.
#include "companion/companion.hpp"
#include "core/batch.hpp"
#include "python/call.hpp"

namespace tessarin::py {
namespace {

ArrayResult<float> bundle_or_sum(const FloatTable& rows, std::optional<bool> sign) {
    return as_array(sign.value_or(true) ? bundle_rows(rows) : ordered_row_sum(rows));
}

const PyMethodDef kFunctions[] = {
    function<"hash_strings(texts, dim)",
             +[](const std::vector<std::string>& texts, Count dim) { return string_rows(texts, dim.value); },
             "Codebook rows for names: row i equals tessarin_hdc.hv_hash_string(texts[i], dim).\n"
             "Returns a (len(texts), dim) float32 array.">(),
    function<"random_bipolar(n, dim, seed, start=0)",
             +[](Count n, Count dim, Count seed, std::optional<Count> start) {
                 return random_bipolar_rows(n.value, dim.value, seed.value, start.value_or(Count{}).value);
             },
             "Rows start ... start + n - 1 of the seeded bipolar codebook, as an (n, dim) float32 array.\n"
             "Row r depends only on (seed, r, dim): it takes W = ceil(dim / 64) draws of the ChaCha12\n"
             "generator keyed by the seed, draws r*W ... r*W + W - 1, and component c is -1.0 when bit\n"
             "c % 64 of draw r*W + c // 64 is set, else +1.0. The same bits on every machine, so a\n"
             "codebook may be made in pieces.">(),
    function<"bundle(rows, sign=True)", &bundle_or_sum,
             "The bundle of many rows: the sum of the rows in row order from +0.0, component by\n"
             "component, signed as hdc_bundle signs it (+1.0 above zero, -1.0 below, +0.0 for a zero or\n"
             "NaN sum). With sign=False, the ordered sum itself. Returns a (dim,) float32 array.">(),
    function<"resonances(queries, rows)",
             +[](const FloatTable& queries, const FloatTable& rows) { return resonance_table(queries, rows); },
             "Entry (i, j) is tessarin_hdc.resonance(queries[i], rows[j]), as a (Q, N) float32 array;\n"
             "a one-dimensional queries is one query.">(),
    function<"merge_top_k(scores, indices, k)",
             +[](const FloatTable& scores, const IndexTable& indices, Count k) {
                 return merge_top_k(scores, indices, k.value);
             },
             "The best min(k, n) of candidates that carry their own indices: (scores, indices), each\n"
             "(Q, min(k, n)), ranked as ItemMemory.search ranks rows (score descending, then index\n"
             "ascending; NaN after every number). Candidate j of query i is (scores[i][j],\n"
             "indices[i][j]). Several stores' search answers, each mapped to the indices of the whole\n"
             "and laid side by side, merge into the answer of one store holding every row.">(),
};

}  // namespace

std::span<const PyMethodDef> companion_functions() { return kFunctions; }

}  // namespace tessarin::py
