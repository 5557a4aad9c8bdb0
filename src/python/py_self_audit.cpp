#include "engines/self_audit.hpp"
#include "python/classes.hpp"

namespace tessarin::py {
namespace {

using C = ClassBuilder<SelfAudit, "PySelfAudit(dim)">;

}  // namespace

const ClassDef self_audit_class = C::define(
    C::init<std::uint64_t>(),
    C::method<"full_audit($self, hv)", &SelfAudit::full_audit,
              "Full audit: run all consistency checks on a hypervector.\n\n"
              "Returns (score, passed, issues_list)">(),
    C::method<"check_consistency($self, h1, h2)", &SelfAudit::check_consistency,
              "Check consistency between two hypervectors.\n\n"
              "Returns (score, passed, issues_list) where score is resonance ∈ [0,1].\n"
              "Passed if score >= 0.7.">());

}  // namespace tessarin::py
