// Reading the literal texts of a clause template (template_text.hpp).
#include "instantiate/template_text.hpp"

#include "texts/index_text.hpp"

namespace zk::instantiate {

namespace {

// Appends one index value (or a literal's own value) to `code`.
uint32_t add_affine(TemplateCode &code, const texts::LinearIndex &v) {
    Affine a;
    a.constant_ = v.constant_;
    a.first_term_ = static_cast<uint32_t>(code.terms_.size());
    for (size_t s = 0; s < v.coefs_.size(); ++s)
        if (v.coefs_[s] != 0) code.terms_.push_back({static_cast<uint32_t>(s), v.coefs_[s]});
    a.term_count_ = static_cast<uint32_t>(code.terms_.size()) - a.first_term_;
    code.affines_.push_back(a);
    return static_cast<uint32_t>(code.affines_.size() - 1);
}

}  // namespace

ReadLiteral read_plain_literal(std::string_view text, TemplateCode &code, uint32_t &first_index,
                               uint32_t &index_count) {
    ReadLiteral r;
    std::optional<texts::PlainLiteral> lit = texts::read_plain_literal(text, code.slot_names_);
    if (!lit) return r;
    first_index = static_cast<uint32_t>(code.affines_.size());
    index_count = static_cast<uint32_t>(lit->values_.size());
    for (const texts::LinearIndex &v : lit->values_) add_affine(code, v);
    r.ok_ = true;
    r.negated_ = lit->negated_;
    r.is_element_ = lit->is_element_;
    r.family_ = lit->family_;
    return r;
}

}  // namespace zk::instantiate
