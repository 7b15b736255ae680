// The reader of the library's expression texts (see expression_reader.hpp).
#include "texts/expression_reader.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace zk::texts {

namespace {

constexpr std::string_view kRange = "range";
constexpr std::string_view kFor = "for";
constexpr std::string_view kIn = "in";
constexpr std::string_view kConstantNames[] = {"None", "True", "False"};
constexpr std::string_view kEllipsis = "...";
constexpr std::string_view kProductLikeOps[] = {"/", "//", "%", "@"};

template <std::size_t N>
bool among(std::string_view word, const std::string_view (&table)[N]) {
    return std::find(std::begin(table), std::end(table), word) != std::end(table);
}

// ---------------------------------------------------------------------------------------------
// Tokens, as the accepted forms allow them.

enum class Tok : std::uint8_t {
    kEnd,
    kName,
    kInt,
    kLongInt,
    kFloat,
    kConstant,
    kAtom,   // outline: another literal
    kGroup,  // outline: a whole bracketed group
    kPlus,
    kMinus,
    kTilde,
    kStar,
    kPower,
    kProductLike,  // outline
    kLoose,        // outline
    kLParen,
    kRParen,
    kLBracket,
    kRBracket,
    kComma,
    kDot,
};

struct Piece {
    Tok kind_ = Tok::kEnd;
    std::string_view text_;
    std::int64_t int_ = 0;
    double float_ = 0.0;
};

// The operators and brackets of the grammar.
std::optional<Tok> punctuation(std::string_view text) {
    static constexpr std::pair<std::string_view, Tok> kPunctuation[] = {
        {"+", Tok::kPlus},     {"-", Tok::kMinus},  {"~", Tok::kTilde},  {"*", Tok::kStar},
        {"**", Tok::kPower},   {"(", Tok::kLParen}, {")", Tok::kRParen}, {"[", Tok::kLBracket},
        {"]", Tok::kRBracket}, {",", Tok::kComma},  {".", Tok::kDot}};
    for (const auto &[spelled, tok] : kPunctuation)
        if (text == spelled) return tok;
    return std::nullopt;
}

// Decimal digits without a leading zero, of any length.
bool is_decimal(std::string_view t) {
    if (t.empty() || (t.size() > 1 && t[0] == '0')) return false;
    for (char c : t)
        if (!is_digit(c)) return false;
    return true;
}

// After an opening bracket: the lexer past its closing one, and the index after that bracket;
// npos when the group does not close on this line or holds a comment or a line continuation. Its
// contents do not matter otherwise.
std::size_t skip_group(Lexer &lexer, char open) {
    std::vector<char> closers;
    auto closer = [](char c) { return c == '(' ? ')' : c == '[' ? ']' : '}'; };
    closers.push_back(closer(open));
    for (;;) {
        const Lexeme l = lexer.next();
        switch (l.kind_) {
            case LexKind::kEnd:
                return std::string_view::npos;
            case LexKind::kOpen:
                closers.push_back(closer(l.text_[0]));
                break;
            case LexKind::kClose:
                if (closers.back() != l.text_[0]) return std::string_view::npos;
                closers.pop_back();
                if (closers.empty()) return l.pos_ + 1;
                break;
            case LexKind::kOther:
                if (l.text_[0] == '#' || l.text_[0] == '\\' || l.text_[0] == '\'' ||
                    l.text_[0] == '"')
                    return std::string_view::npos;
                break;
            default:
                break;
        }
    }
}

bool outline_token(const Lexeme &l, Lexer &lexer, std::string_view s, Piece &t) {
    switch (l.kind_) {
        case LexKind::kNumber:
        case LexKind::kString:
            t.kind_ = Tok::kAtom;
            return true;
        case LexKind::kName:
            t.kind_ = among(l.text_, kConstantNames) ? Tok::kAtom
                      : is_keyword(l.text_)          ? Tok::kLoose
                                                     : Tok::kName;
            return true;
        case LexKind::kOpen: {
            const std::size_t end = skip_group(lexer, l.text_[0]);
            if (end == std::string_view::npos) return false;
            t.kind_ = Tok::kGroup;
            t.text_ = s.substr(l.pos_, end - l.pos_);
            return true;
        }
        case LexKind::kOperator:
            if (l.text_ == kEllipsis) {
                t.kind_ = Tok::kAtom;
            } else if (std::optional<Tok> p = punctuation(l.text_); p && *p != Tok::kComma) {
                t.kind_ = *p;
            } else {
                // A comma, too, only separates the operands of a looser form here.
                t.kind_ = among(l.text_, kProductLikeOps) ? Tok::kProductLike : Tok::kLoose;
            }
            return true;
        default:
            return false;  // closing bracket, comment, line break, stray character
    }
}

bool tokenize(std::string_view s, const ReadForms &forms, std::vector<Piece> &out) {
    if (!forms.tabs_ && s.find('\t') != std::string_view::npos) return false;
    // The host reads a text with leading blanks as an indented block.
    if (!forms.leading_blanks_ && !s.empty() && (s[0] == ' ' || s[0] == '\t')) return false;
    Lexer lexer(s);
    for (;;) {
        const Lexeme l = lexer.next();
        Piece t;
        t.text_ = l.text_;
        if (l.kind_ == LexKind::kEnd) {
            out.push_back(t);
            return true;
        }
        if (forms.outline_) {
            if (!outline_token(l, lexer, s, t)) return false;
            out.push_back(t);
            continue;
        }
        switch (l.kind_) {
            case LexKind::kName:
                // Names outside ASCII are normalised by the host before lookup.
                for (char c : l.text_)
                    if (is_non_ascii(c)) return false;
                t.kind_ = forms.constants_ && among(l.text_, kConstantNames) ? Tok::kConstant
                                                                             : Tok::kName;
                break;
            case LexKind::kNumber:
                if (read_plain_int(l.text_, t.int_)) {
                    t.kind_ = Tok::kInt;
                } else if (forms.long_ints_ && is_decimal(l.text_)) {
                    t.kind_ = Tok::kLongInt;
                } else if (forms.floats_ && is_plain_float(l.text_)) {
                    t.kind_ = Tok::kFloat;
                    t.float_ = read_plain_float(l.text_);
                } else {
                    // Leading zeros, exponents, imaginaries, underscores, other bases.
                    return false;
                }
                break;
            case LexKind::kOperator:
            case LexKind::kOpen:
            case LexKind::kClose: {
                std::optional<Tok> p = punctuation(l.text_);
                if (!p) return false;
                t.kind_ = *p;
                if (t.kind_ == Tok::kTilde && !forms.invert_) return false;
                if (t.kind_ == Tok::kPower && !forms.power_) return false;
                if (t.kind_ == Tok::kDot) {
                    if (!forms.attributes_) return false;
                    // Two dots are no attribute access: an ellipsis or a float cut short.
                    if (l.pos_ + 1 < s.size() && s[l.pos_ + 1] == '.') return false;
                }
                break;
            }
            default:
                return false;
        }
        out.push_back(t);
    }
}

// ---------------------------------------------------------------------------------------------
// The grammar.

// Reads the tokens into a tree with explicit stacks, so that nesting is bounded by memory only:
// operands wait on one stack, operators and open brackets on another. Binding, from loosest:
// (outline) the loose operators, binary + and -, then * (and its like), then the prefix signs
// and ~, then ** (whose right operand may start with a sign), then the trailers (attribute
// access and calls) of a primary.
class Parser {
  public:
    Parser(const std::vector<Piece> &toks, const ReadForms &forms, Syntax &out)
        : toks_(toks), forms_(forms), out_(out) {}

    bool parse() {
        bool expect_operand = true;
        for (;;) {
            const Piece &t = toks_[at_];
            if (expect_operand) {
                if (!operand(t, expect_operand)) return false;
                continue;
            }
            if (t.kind_ == Tok::kEnd) break;
            if (!after_operand(t, expect_operand)) return false;
        }
        if (!reduce() || !ops_.empty() || vals_.size() != 1) return false;
        out_.root_ = vals_.back();
        return true;
    }

  private:
    enum class Pending : std::uint8_t {
        kAdd,
        kSub,
        kMul,
        kProductLike,
        kLoose,
        kPow,
        kNeg,
        kPos,
        kInvert,
        kPrefixLoose,
        kParen,
        kCall,
        kList,
        kComp
    };

    // An operator, or an open bracket with what it has gathered.
    struct Entry {
        explicit Entry(Pending o) : op_(o) {}

        Pending op_;
        bool had_comma_ = false;
        bool starred_ = false;       // kCall: some argument is starred
        bool next_starred_ = false;  // kCall: the argument being read is starred
        std::int32_t callee_ = -1;   // kCall: the callee; kComp: the element
        // Its arguments, display items or comprehension clauses: pending_ from here on. Brackets
        // nest, so the items of all open ones share that stack (texts hold millions of calls).
        std::size_t base_ = 0;
    };

    const std::vector<Piece> &toks_;
    const ReadForms &forms_;
    Syntax &out_;
    std::size_t at_ = 0;
    std::vector<std::int32_t> vals_;
    std::vector<Entry> ops_;
    std::vector<SyntaxItem> pending_;
    std::uint32_t open_ = 0;  // brackets open on ops_

    Form form_of(std::int32_t n) const { return out_.node(n).form_; }

    static bool is_operator(Pending op) { return op <= Pending::kPrefixLoose; }
    static bool is_prefix(Pending op) { return op >= Pending::kNeg && op <= Pending::kPrefixLoose; }
    static int precedence(Pending op) {
        switch (op) {
            case Pending::kLoose:
            case Pending::kPrefixLoose:
                return 1;
            case Pending::kAdd:
            case Pending::kSub:
                return 2;
            case Pending::kMul:
            case Pending::kProductLike:
                return 3;
            case Pending::kNeg:
            case Pending::kPos:
            case Pending::kInvert:
                return 4;
            case Pending::kPow:
                return 5;
            default:
                return 0;
        }
    }

    std::uint32_t height(std::int32_t n) const { return n < 0 ? 0 : out_.node(n).height_; }

    std::int32_t add(SyntaxNode node) {
        node.height_ = std::max(node.height_, std::max(height(node.a_), height(node.b_)) + 1);
        if (node.form_ == Form::kInt || node.form_ == Form::kLongInt ||
            node.form_ == Form::kFloat || node.form_ == Form::kConstant ||
            node.form_ == Form::kName || node.form_ == Form::kAtom || node.form_ == Form::kGroup)
            node.height_ = 0;
        out_.nodes_.push_back(node);
        return static_cast<std::int32_t>(out_.nodes_.size() - 1);
    }

    // A node whose items are the pending ones from `base` on, which it takes.
    std::int32_t with_items(SyntaxNode node, std::size_t base) {
        node.first_ = static_cast<std::uint32_t>(out_.items_.size());
        node.count_ = static_cast<std::uint32_t>(pending_.size() - base);
        std::uint32_t h = 0;
        for (std::size_t k = base; k < pending_.size(); ++k)
            h = std::max(h, height(pending_[k].node_) + 1);
        node.height_ = h;
        out_.items_.insert(out_.items_.end(), pending_.begin() + static_cast<std::ptrdiff_t>(base),
                           pending_.end());
        pending_.resize(base);
        return add(node);
    }

    // An empty display or call.
    std::int32_t without_items(SyntaxNode node) { return with_items(node, pending_.size()); }

    void open(Entry entry) {
        entry.base_ = pending_.size();
        ops_.push_back(entry);
        out_.nesting_ = std::max(out_.nesting_, ++open_);
    }

    bool has_items(const Entry &e) const { return pending_.size() > e.base_; }

    // Applies the operator on top of the stack to its operands.
    bool apply() {
        const Pending op = ops_.back().op_;
        ops_.pop_back();
        if (is_prefix(op)) {
            if (vals_.empty()) return false;
            SyntaxNode node;
            node.form_ = Form::kUnary;
            node.op_ = op == Pending::kNeg      ? Op::kNeg
                       : op == Pending::kPos    ? Op::kPos
                       : op == Pending::kInvert ? Op::kInvert
                                                : Op::kLoose;
            node.a_ = vals_.back();
            vals_.back() = add(node);
            return true;
        }
        if (vals_.size() < 2) return false;
        SyntaxNode node;
        node.form_ = Form::kBinary;
        node.op_ = op == Pending::kAdd           ? Op::kAdd
                   : op == Pending::kSub         ? Op::kSub
                   : op == Pending::kMul         ? Op::kMul
                   : op == Pending::kProductLike ? Op::kProductLike
                   : op == Pending::kLoose       ? Op::kLoose
                                                 : Op::kPow;
        node.b_ = vals_.back();
        vals_.pop_back();
        node.a_ = vals_.back();
        vals_.back() = add(node);
        return true;
    }

    // Applies the pending operators that bind at least as tightly as `prec` (more tightly, for
    // the right-associative **), down to the nearest open bracket.
    bool reduce(int prec = 0, bool right_assoc = false) {
        while (!ops_.empty() && is_operator(ops_.back().op_)) {
            const int top = precedence(ops_.back().op_);
            if (right_assoc ? top <= prec : top < prec) break;
            if (!apply()) return false;
        }
        return true;
    }

    bool leaf(Form form, const Piece &t, bool &expect_operand) {
        ++at_;
        SyntaxNode node;
        node.form_ = form;
        node.text_ = t.text_;
        node.int_ = t.int_;
        node.float_ = t.float_;
        vals_.push_back(add(node));
        expect_operand = false;
        return true;
    }

    bool operand(const Piece &t, bool &expect_operand) {
        switch (t.kind_) {
            case Tok::kPlus:
            case Tok::kMinus:
            case Tok::kTilde:
            case Tok::kLoose:
                ++at_;
                ops_.emplace_back(t.kind_ == Tok::kMinus   ? Pending::kNeg
                                  : t.kind_ == Tok::kPlus  ? Pending::kPos
                                  : t.kind_ == Tok::kTilde ? Pending::kInvert
                                                           : Pending::kPrefixLoose);
                return true;
            case Tok::kStar: {
                // Only an argument of a call can be starred, and only once.
                if (!forms_.starred_ || ops_.empty() || ops_.back().op_ != Pending::kCall ||
                    ops_.back().next_starred_)
                    return false;
                Entry &call = ops_.back();
                if (has_items(call) && !call.had_comma_) return false;
                ++at_;
                call.next_starred_ = true;
                return true;
            }
            case Tok::kName:
                if (is_keyword(t.text_)) return false;
                return leaf(Form::kName, t, expect_operand);
            case Tok::kInt:
                return leaf(Form::kInt, t, expect_operand);
            case Tok::kLongInt:
                return leaf(Form::kLongInt, t, expect_operand);
            case Tok::kFloat:
                return leaf(Form::kFloat, t, expect_operand);
            case Tok::kConstant:
                return leaf(Form::kConstant, t, expect_operand);
            case Tok::kAtom:
                return leaf(Form::kAtom, t, expect_operand);
            case Tok::kGroup:
                return leaf(Form::kGroup, t, expect_operand);
            case Tok::kLParen:
                ++at_;
                if (toks_[at_].kind_ == Tok::kRParen) {
                    ++at_;
                    SyntaxNode node;
                    node.form_ = Form::kTuple;
                    vals_.push_back(without_items(node));
                    expect_operand = false;
                    return true;
                }
                open(Entry(Pending::kParen));
                return true;
            case Tok::kLBracket:
                ++at_;
                if (toks_[at_].kind_ == Tok::kRBracket) {
                    ++at_;
                    SyntaxNode node;
                    node.form_ = Form::kList;
                    vals_.push_back(without_items(node));
                    expect_operand = false;
                    return true;
                }
                open(Entry(Pending::kList));
                return true;
            default:
                return false;
        }
    }

    // The operand just read becomes an item of the open bracket on top.
    bool take_item() {
        if (ops_.empty() || vals_.empty()) return false;
        Entry &top = ops_.back();
        const std::int32_t v = vals_.back();
        vals_.pop_back();
        const bool starred = top.op_ == Pending::kCall && top.next_starred_;
        // Only a list can be starred: unpacking it runs no code and cannot fail.
        if (starred && form_of(v) != Form::kList && form_of(v) != Form::kComprehension)
            return false;
        top.starred_ = top.starred_ || starred;
        top.next_starred_ = false;
        pending_.push_back({v, starred ? 1 : 0});
        return true;
    }

    // A target and "in" after "for".
    bool clause_head() {
        const Piece &target = toks_[at_];
        if (target.kind_ != Tok::kName || is_keyword(target.text_)) return false;
        ++at_;
        const Piece &in = toks_[at_];
        if (in.kind_ != Tok::kName || in.text_ != kIn) return false;
        ++at_;
        pending_.push_back({-1, static_cast<std::int32_t>(out_.targets_.size())});
        out_.targets_.push_back(target.text_);
        return true;
    }

    bool binary(Pending op, int prec, bool right_assoc, bool &expect_operand) {
        ++at_;
        if (!reduce(prec, right_assoc)) return false;
        ops_.emplace_back(op);
        expect_operand = true;
        return true;
    }

    bool after_operand(const Piece &t, bool &expect_operand) {
        switch (t.kind_) {
            case Tok::kDot: {
                ++at_;
                const Piece &n = toks_[at_];
                if (n.kind_ != Tok::kName || is_keyword(n.text_)) return false;
                SyntaxNode node;
                node.form_ = Form::kAttr;
                node.a_ = vals_.back();
                node.text_ = n.text_;
                ++at_;
                vals_.back() = add(node);
                return true;
            }
            case Tok::kGroup: {
                // A call or a subscript, its contents unread.
                const bool round = t.text_[0] == '(';
                if (!round && t.text_[0] != '[') return false;
                ++at_;
                SyntaxNode group;
                group.form_ = Form::kGroup;
                group.text_ = t.text_;
                SyntaxNode node;
                node.form_ = round ? Form::kCall : Form::kSubscript;
                node.a_ = vals_.back();
                node.b_ = add(group);
                vals_.back() = add(node);
                return true;
            }
            case Tok::kLParen: {
                // The compiler warns about calling what it sees is a literal (perhaps a missing
                // comma), and a warning can be an error: such calls are its to judge.
                const Form f = form_of(vals_.back());
                if (f != Form::kName &&
                    !(forms_.chained_calls_ && (f == Form::kAttr || f == Form::kCall)))
                    return false;
                ++at_;
                Entry call(Pending::kCall);
                call.callee_ = vals_.back();
                vals_.pop_back();
                if (toks_[at_].kind_ == Tok::kRParen) {
                    ++at_;
                    SyntaxNode node;
                    node.form_ = Form::kCall;
                    node.a_ = call.callee_;
                    vals_.push_back(without_items(node));
                    return true;
                }
                open(std::move(call));
                expect_operand = true;
                return true;
            }
            case Tok::kPlus:
            case Tok::kMinus:
                return binary(t.kind_ == Tok::kPlus ? Pending::kAdd : Pending::kSub, 2, false,
                              expect_operand);
            case Tok::kStar:
                return binary(Pending::kMul, 3, false, expect_operand);
            case Tok::kProductLike:
                return binary(Pending::kProductLike, 3, false, expect_operand);
            case Tok::kLoose:
                return binary(Pending::kLoose, 1, false, expect_operand);
            case Tok::kPower:
                return binary(Pending::kPow, 5, true, expect_operand);
            case Tok::kComma: {
                ++at_;
                if (!reduce() || ops_.empty()) return false;
                const Pending top = ops_.back().op_;
                if (top != Pending::kParen && top != Pending::kCall && top != Pending::kList)
                    return false;
                if (!take_item()) return false;
                ops_.back().had_comma_ = true;
                const Tok next = toks_[at_].kind_;
                // A trailing comma: the closing bracket follows.
                if (next == Tok::kRParen && top == Pending::kCall && !forms_.call_comma_)
                    return false;
                if ((next == Tok::kRParen && top != Pending::kList) ||
                    (next == Tok::kRBracket && top == Pending::kList))
                    return close(expect_operand, true);
                expect_operand = true;
                return true;
            }
            case Tok::kRParen:
            case Tok::kRBracket:
                if (!reduce() || ops_.empty()) return false;
                if (!take_item_for_close(t.kind_)) return false;
                return close(expect_operand, false);
            case Tok::kName:
                if (t.text_ == kFor) {
                    ++at_;
                    if (!reduce() || ops_.empty()) return false;
                    Entry &top = ops_.back();
                    if (top.op_ == Pending::kList) {
                        if (has_items(top) || top.had_comma_) return false;
                        top.op_ = Pending::kComp;
                        top.callee_ = vals_.back();
                        vals_.pop_back();
                    } else if (top.op_ == Pending::kComp) {
                        pending_.back().node_ = vals_.back();
                        vals_.pop_back();
                    } else {
                        return false;
                    }
                    if (!clause_head()) return false;
                    expect_operand = true;
                    return true;
                }
                return false;
            default:
                return false;
        }
    }

    // Before a closing bracket: the last operand becomes the last item (or iterable).
    bool take_item_for_close(Tok closing) {
        Entry &top = ops_.back();
        const bool round = closing == Tok::kRParen;
        if (round != (top.op_ == Pending::kParen || top.op_ == Pending::kCall)) return false;
        if (top.op_ == Pending::kComp) {
            pending_.back().node_ = vals_.back();
            vals_.pop_back();
            return true;
        }
        return take_item();
    }

    // Closes the bracket on top, whose items are all taken.
    bool close(bool &expect_operand, bool after_comma) {
        ++at_;
        const Entry top = ops_.back();
        ops_.pop_back();
        --open_;
        std::int32_t n = -1;
        SyntaxNode node;
        switch (top.op_) {
            case Pending::kParen:
                if (pending_.size() == top.base_ + 1 && !after_comma && !top.had_comma_) {
                    n = pending_.back().node_;
                    pending_.pop_back();
                } else {
                    node.form_ = Form::kTuple;
                    n = with_items(node, top.base_);
                }
                break;
            case Pending::kList:
                node.form_ = Form::kList;
                n = with_items(node, top.base_);
                break;
            case Pending::kCall:
                node.form_ = Form::kCall;
                node.a_ = top.callee_;
                node.starred_ = top.starred_;
                n = with_items(node, top.base_);
                break;
            case Pending::kComp:
                node.form_ = Form::kComprehension;
                node.a_ = top.callee_;
                n = with_items(node, top.base_);
                break;
            default:
                return false;
        }
        vals_.push_back(n);
        expect_operand = false;
        return true;
    }
};

// ---------------------------------------------------------------------------------------------
// The first linear generation's reading.

// Deeper texts are left to the host, whose own limits then apply; the evaluation recurses.
constexpr std::uint32_t kMaxDepth = 400;

constexpr ReadForms kLinearForms = [] {
    ReadForms f;
    f.floats_ = true;
    return f;
}();

// The syntax tree made into the evaluator's: free names bound to the comprehensions' targets
// become locals, the for-clauses' iterables become the integers they run over.
class Lowering {
  public:
    explicit Lowering(const Syntax &syntax) : in_(syntax) {
        out_.nodes_.reserve(syntax.nodes_.size());
        out_.children_.reserve(syntax.items_.size() + syntax.nodes_.size());
    }

    std::optional<ReadText> lower() {
        std::optional<std::uint32_t> root = node(in_.root_);
        if (!root) return std::nullopt;
        out_.root_ = *root;
        return std::move(out_);
    }

  private:
    struct Bound {
        std::string_view name_;
        std::uint32_t slot_;
    };

    const Syntax &in_;
    ReadText out_;
    std::vector<Bound> scopes_;  // innermost last
    std::unordered_map<std::string_view, std::uint32_t> free_;
    std::vector<std::uint32_t> pending_;
    std::string_view last_name_;
    std::int64_t last_id_ = -1;

    const Bound *bound(std::string_view name) const {
        for (std::size_t k = scopes_.size(); k-- > 0;)
            if (scopes_[k].name_ == name) return &scopes_[k];
        return nullptr;
    }

    std::uint32_t name_id(std::string_view name) {
        // Texts name the same block over and over.
        if (last_id_ >= 0 && name == last_name_) return static_cast<std::uint32_t>(last_id_);
        auto [it, fresh] = free_.try_emplace(name, static_cast<std::uint32_t>(free_.size()));
        if (fresh) out_.names_.emplace_back(name);
        last_name_ = name;
        last_id_ = it->second;
        return it->second;
    }

    std::uint32_t emit(Node n, std::initializer_list<std::uint32_t> kids) {
        n.first_ = static_cast<std::uint32_t>(out_.children_.size());
        n.count_ = static_cast<std::uint32_t>(kids.size());
        out_.children_.insert(out_.children_.end(), kids.begin(), kids.end());
        out_.nodes_.push_back(n);
        return static_cast<std::uint32_t>(out_.nodes_.size() - 1);
    }

    // A node whose children are the lowered items of `s`; they wait on a shared stack, since
    // an item lowers its own items first.
    std::optional<std::uint32_t> emit_items(Node n, const SyntaxNode &s) {
        const std::size_t base = pending_.size();
        for (std::uint32_t k = 0; k < s.count_; ++k) {
            std::optional<std::uint32_t> kid = node(in_.item(s, k).node_);
            if (!kid) return std::nullopt;
            pending_.push_back(*kid);
        }
        n.first_ = static_cast<std::uint32_t>(out_.children_.size());
        n.count_ = static_cast<std::uint32_t>(pending_.size() - base);
        out_.children_.insert(out_.children_.end(),
                              pending_.begin() + static_cast<std::ptrdiff_t>(base), pending_.end());
        pending_.resize(base);
        out_.nodes_.push_back(n);
        return static_cast<std::uint32_t>(out_.nodes_.size() - 1);
    }

    std::optional<std::uint32_t> node(std::int32_t index) {
        const SyntaxNode &s = in_.node(index);
        Node n;
        switch (s.form_) {
            case Form::kInt:
                n.kind_ = NodeKind::kInt;
                n.value_ = s.int_;
                return emit(n, {});
            case Form::kFloat:
                n.kind_ = NodeKind::kFloat;
                n.number_ = s.float_;
                return emit(n, {});
            case Form::kName: {
                // A free name used as a value (a block, the summation class) cannot be a row.
                const Bound *b = bound(s.text_);
                if (!b) return std::nullopt;
                n.kind_ = NodeKind::kLocal;
                n.value_ = b->slot_;
                return emit(n, {});
            }
            case Form::kUnary: {
                if (s.op_ != Op::kPos && s.op_ != Op::kNeg) return std::nullopt;
                std::optional<std::uint32_t> a = node(s.a_);
                if (!a) return std::nullopt;
                n.kind_ = s.op_ == Op::kPos ? NodeKind::kPos : NodeKind::kNeg;
                return emit(n, {*a});
            }
            case Form::kBinary: {
                if (s.op_ != Op::kAdd && s.op_ != Op::kSub && s.op_ != Op::kMul)
                    return std::nullopt;
                std::optional<std::uint32_t> a = node(s.a_);
                if (!a) return std::nullopt;
                std::optional<std::uint32_t> b = node(s.b_);
                if (!b) return std::nullopt;
                n.kind_ = s.op_ == Op::kAdd   ? NodeKind::kAdd
                          : s.op_ == Op::kSub ? NodeKind::kSub
                                              : NodeKind::kMul;
                return emit(n, {*a, *b});
            }
            case Form::kCall: {
                const SyntaxNode &callee = in_.node(s.a_);
                // A target called would call an integer.
                if (callee.form_ != Form::kName || s.starred_ || bound(callee.text_))
                    return std::nullopt;
                n.kind_ = NodeKind::kCall;
                n.value_ = name_id(callee.text_);
                return emit_items(n, s);
            }
            case Form::kList: {
                n.kind_ = NodeKind::kList;
                return emit_items(n, s);
            }
            case Form::kComprehension:
                return comprehension(s);
            default:
                return std::nullopt;
        }
    }

    std::optional<std::uint32_t> comprehension(const SyntaxNode &s) {
        Comprehension c;
        const std::size_t base = scopes_.size();
        for (std::uint32_t k = 0; k < s.count_; ++k) {
            const SyntaxItem &clause = in_.item(s, k);
            const std::string_view target = in_.targets_[static_cast<std::size_t>(clause.aux_)];
            // A target named like the builtin would hide it from a later clause.
            if (target == kRange) return std::nullopt;
            Loop loop;
            if (!iterable(in_.node(clause.node_), loop)) return std::nullopt;
            // A name bound twice in one comprehension is one local.
            const Bound *known = nullptr;
            for (std::size_t j = base; j < scopes_.size(); ++j)
                if (scopes_[j].name_ == target) known = &scopes_[j];
            if (known) {
                loop.slot_ = known->slot_;
            } else {
                loop.slot_ = out_.slots_++;
                scopes_.push_back({target, loop.slot_});
            }
            c.loops_.push_back(std::move(loop));
        }
        std::optional<std::uint32_t> element = node(s.a_);
        scopes_.resize(base);
        if (!element) return std::nullopt;
        c.element_ = *element;
        out_.comprehensions_.push_back(std::move(c));
        Node n;
        n.kind_ = NodeKind::kComprehension;
        n.value_ = static_cast<std::int64_t>(out_.comprehensions_.size() - 1);
        return emit(n, {});
    }

    // An integer literal with at most one sign.
    bool signed_int(const SyntaxNode &s, std::int64_t &out) const {
        if (s.form_ == Form::kInt) {
            out = s.int_;
            return true;
        }
        if (s.form_ != Form::kUnary || (s.op_ != Op::kNeg && s.op_ != Op::kPos)) return false;
        const SyntaxNode &inner = in_.node(s.a_);
        if (inner.form_ != Form::kInt) return false;
        out = s.op_ == Op::kNeg ? -inner.int_ : inner.int_;
        return true;
    }

    // range(a), range(a, b), range(a, b, c) over integer literals; or a list or tuple display of
    // integer literals.
    bool iterable(const SyntaxNode &s, Loop &loop) {
        if (s.form_ == Form::kCall) {
            const SyntaxNode &callee = in_.node(s.a_);
            if (callee.form_ != Form::kName || callee.text_ != kRange || s.starred_ ||
                s.count_ == 0 || s.count_ > 3)
                return false;
            std::int64_t args[3];
            for (std::uint32_t k = 0; k < s.count_; ++k)
                if (!signed_int(in_.node(in_.item(s, k).node_), args[k])) return false;
            const std::uint32_t n = s.count_;
            const std::int64_t start = n == 1 ? 0 : args[0];
            const std::int64_t stop = n == 1 ? args[0] : args[1];
            const std::int64_t step = n == 3 ? args[2] : 1;
            if (step == 0) return false;
            const __int128 span = static_cast<__int128>(stop) - start;
            __int128 count = 0;
            if (step > 0 && span > 0) count = (span + step - 1) / step;
            if (step < 0 && span < 0)
                count =
                    (-span + (-static_cast<__int128>(step)) - 1) / (-static_cast<__int128>(step));
            loop.range_ = true;
            loop.start_ = start;
            loop.step_ = step;
            loop.count_ = static_cast<std::int64_t>(count);
            out_.uses_range_ = true;
            return true;
        }
        if (s.form_ != Form::kList && s.form_ != Form::kTuple) return false;
        for (std::uint32_t k = 0; k < s.count_; ++k) {
            std::int64_t v = 0;
            if (!signed_int(in_.node(in_.item(s, k).node_), v)) return false;
            loop.values_.push_back(v);
        }
        return true;
    }
};

}  // namespace

std::optional<Syntax> read_syntax(std::string_view text, const ReadForms &forms) {
    // About one token per three characters and one node per four in the texts the library
    // writes.
    std::vector<Piece> toks;
    toks.reserve(text.size() / 3 + 16);
    if (!tokenize(text, forms, toks)) return std::nullopt;
    Syntax out;
    out.nodes_.reserve(text.size() / 4 + 16);
    out.items_.reserve(text.size() / 8 + 16);
    Parser parser(toks, forms, out);
    if (!parser.parse()) return std::nullopt;
    return out;
}

std::optional<ReadText> read_expression(std::string_view text) {
    std::optional<Syntax> syntax = read_syntax(text, kLinearForms);
    if (!syntax) return std::nullopt;
    if (syntax->nesting_ > kMaxDepth || syntax->node(syntax->root_).height_ > kMaxDepth)
        return std::nullopt;
    return Lowering(*syntax).lower();
}

}  // namespace zk::texts
