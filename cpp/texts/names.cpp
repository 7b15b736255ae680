// Reading element references and element keys (names.hpp).
#include "texts/names.hpp"

#include "texts/tokens.hpp"

namespace zk::texts {

std::vector<std::string_view> split_items(std::string_view t) {
    std::vector<std::string_view> items;
    if (t.empty()) return items;
    Lexer lexer(t);
    int depth = 0;
    std::size_t from = 0;
    for (Lexeme l = lexer.next(); l.kind_ != LexKind::kEnd; l = lexer.next()) {
        if (l.kind_ == LexKind::kOpen) ++depth;
        if (l.kind_ == LexKind::kClose) --depth;
        if (depth == 0 && l.kind_ == LexKind::kOperator &&
            l.text_ == std::string_view(kItemSeparator)) {
            items.push_back(t.substr(from, l.pos_ - from));
            from = l.pos_ + 1;
        }
    }
    items.push_back(t.substr(from));
    return items;
}

std::optional<ElementReference> read_element_reference(std::string_view text) {
    const std::size_t open = text.find(kReferenceOpen);
    if (open == 0 || open == std::string_view::npos) return std::nullopt;
    Lexer lexer(text.substr(open));
    int depth = 0;
    for (Lexeme l = lexer.next(); l.kind_ != LexKind::kEnd; l = lexer.next()) {
        if (l.kind_ == LexKind::kOpen) ++depth;
        if (l.kind_ == LexKind::kClose && --depth == 0) {
            if (open + l.pos_ + 1 != text.size() || l.text_ != std::string_view(kReferenceClose))
                return std::nullopt;
            ElementReference r;
            r.family_ = text.substr(0, open);
            r.items_ = split_items(text.substr(open + 1, l.pos_ - 1));
            return r;
        }
    }
    return std::nullopt;
}

std::optional<ElementKey> read_element_key(std::string_view k) {
    if (k.empty() || k.back() != kKeyClose[0]) return std::nullopt;
    const std::size_t open = k.rfind(kKeyOpen[0]);
    if (open == std::string_view::npos) return std::nullopt;
    ElementKey key;
    key.family_ = k.substr(0, open);
    std::string_view inner = k.substr(open + 1, k.size() - open - 2);
    if (inner.empty()) return key;
    for (;;) {
        const std::size_t comma = inner.find(kItemSeparator[0]);
        std::int64_t v = 0;
        if (!read_plain_int(inner.substr(0, comma), v)) return std::nullopt;
        key.indices_.push_back(v);
        if (comma == std::string_view::npos) return key;
        inner.remove_prefix(comma + 1);
    }
}

}  // namespace zk::texts
