// Reading the literal texts of a clause template (template_text.hpp).
#include "instantiate/template_text.hpp"

#include "texts/index_text.hpp"
#include "texts/literals.hpp"
#include "texts/names.hpp"
#include "texts/tokens.hpp"

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

bool read_literal(std::string_view text, TemplateCode &code, LitCode &lc,
                  std::string_view &family) {
    std::string_view quoted;
    if (texts::quoted_content(text, quoted)) {
        texts::AuxName a = texts::read_aux_name(quoted);
        if (a.status_ != texts::AuxName::Status::kOk) return false;
        lc.form_ = LitForm::kAux;
        lc.aux_kind_ = a.kind_;
        lc.aux_k_ = a.k_;
        lc.negated_ = a.negated_;
        return true;
    }
    std::optional<texts::PlainLiteral> lit = texts::read_plain_literal(text, code.slot_names_);
    if (!lit || (lit->is_element_ && texts::is_keyword(lit->family_))) return false;
    lc.first_index_ = static_cast<uint32_t>(code.affines_.size());
    lc.index_count_ = static_cast<uint32_t>(lit->values_.size());
    for (const texts::LinearIndex &v : lit->values_) add_affine(code, v);
    lc.negated_ = lit->negated_;
    lc.form_ = lit->is_element_ ? LitForm::kElement : LitForm::kValue;
    family = lit->family_;
    return true;
}

}  // namespace zk::instantiate
