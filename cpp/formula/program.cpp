// Formula texts read into programs (see program.hpp).
#include "formula/program.hpp"

#include <utility>

#include "texts/expression_reader.hpp"

namespace zk::formula {

namespace {

// Names that mean something else outside the text's own frame: builtins that read or act on the
// calling frame (under `eval` that frame is the text's, here it would be the program's), and the
// name the compiler turns into a constant.
constexpr std::string_view kFrameNames[] = {"globals",    "locals", "vars",     "dir",
                                            "eval",       "exec",   "compile",  "__import__",
                                            "breakpoint", "super",  "__debug__"};

bool frame_name(std::string_view name) {
    for (std::string_view k : kFrameNames)
        if (k == name) return true;
    return false;
}

// What formula texts may hold of the reader's forms. Blanks may lead (the host strips them from
// an expression text); a tab anywhere is left to the host.
constexpr texts::ReadForms kFormulaForms = [] {
    texts::ReadForms f;
    f.long_ints_ = true;
    f.constants_ = true;
    f.invert_ = true;
    f.power_ = true;
    f.attributes_ = true;
    f.starred_ = true;
    f.call_comma_ = true;
    f.chained_calls_ = true;
    f.leading_blanks_ = true;
    f.tabs_ = false;
    return f;
}();

// The reader's tree as a program, node for node.
std::optional<Program> from_syntax(const texts::Syntax &syntax) {
    Program prog;
    prog.nodes_.reserve(syntax.nodes_.size());
    for (const texts::SyntaxNode &s : syntax.nodes_) {
        Node node{Kind::Const};
        node.a_ = s.a_;
        node.b_ = s.b_;
        node.first_ = s.first_;
        node.count_ = s.count_;
        node.starred_ = s.starred_;
        node.text_ = s.text_;
        node.int_ = s.int_;
        switch (s.form_) {
            case texts::Form::kInt:
                node.value_ = Value::kInt;
                break;
            case texts::Form::kLongInt:
                node.value_ = Value::kLongInt;
                break;
            case texts::Form::kConstant:
                node.value_ = s.text_ == "None"   ? Value::kNone
                              : s.text_ == "True" ? Value::kTrue
                                                  : Value::kFalse;
                break;
            case texts::Form::kName:
                if (frame_name(s.text_)) return std::nullopt;
                node.kind_ = Kind::Global;
                break;
            case texts::Form::kAttr:
                node.kind_ = Kind::Attr;
                break;
            case texts::Form::kCall:
                node.kind_ = Kind::Call;
                break;
            case texts::Form::kList:
                node.kind_ = Kind::List;
                break;
            case texts::Form::kTuple:
                node.kind_ = Kind::Tuple;
                break;
            case texts::Form::kComprehension:
                node.kind_ = Kind::ListComp;
                break;
            case texts::Form::kUnary:
                node.kind_ = Kind::Unary;
                node.op_ = static_cast<std::uint8_t>(s.op_ == texts::Op::kNeg   ? UnOp::Neg
                                                     : s.op_ == texts::Op::kPos ? UnOp::Pos
                                                                                : UnOp::Invert);
                break;
            case texts::Form::kBinary:
                node.kind_ = Kind::Binary;
                node.op_ = static_cast<std::uint8_t>(s.op_ == texts::Op::kAdd   ? BinOp::Add
                                                     : s.op_ == texts::Op::kSub ? BinOp::Sub
                                                     : s.op_ == texts::Op::kMul ? BinOp::Mul
                                                                                : BinOp::Pow);
                break;
            default:
                return std::nullopt;
        }
        prog.nodes_.push_back(node);
    }
    for (const texts::SyntaxItem &i : syntax.items_) prog.items_.push_back({i.node_, i.aux_});
    for (std::string_view t : syntax.targets_)
        if (frame_name(t)) return std::nullopt;
    prog.targets_ = syntax.targets_;
    prog.root_ = syntax.root_;
    return prog;
}

// Gives every name its scope as the compiler would: a comprehension's targets are its locals; its
// first iterable belongs to the enclosing scope, everything else to its own; a name that no
// enclosing comprehension binds is a global. The walk keeps its own stack.
class Resolver {
  public:
    explicit Resolver(Program &prog) : prog_(prog) {}

    void resolve(int32_t root) {
        std::vector<Step> steps{{Step::Visit, root}};
        while (!steps.empty()) {
            Step step = steps.back();
            steps.pop_back();
            if (step.what_ == Step::Enter) {
                scopes_.push_back(std::move(pending_[static_cast<size_t>(step.node_)]));
                continue;
            }
            if (step.what_ == Step::Leave) {
                scopes_.pop_back();
                continue;
            }
            Node &node = prog_.nodes_[static_cast<size_t>(step.node_)];
            switch (node.kind_) {
                case Kind::Const:
                case Kind::Local:
                    break;
                case Kind::Global:
                    global(node);
                    break;
                case Kind::Attr:
                case Kind::Unary:
                    steps.push_back({Step::Visit, node.a_});
                    break;
                case Kind::Binary:
                    steps.push_back({Step::Visit, node.b_});
                    steps.push_back({Step::Visit, node.a_});
                    break;
                case Kind::Call:
                    push_items(steps, node.first_, node.count_);
                    steps.push_back({Step::Visit, node.a_});
                    break;
                case Kind::List:
                case Kind::Tuple:
                    push_items(steps, node.first_, node.count_);
                    break;
                case Kind::ListComp:
                    comprehension(steps, step.node_);
                    break;
            }
        }
    }

  private:
    struct Step {
        enum What : uint8_t { Visit, Enter, Leave } what_;
        int32_t node_;  // Enter: the index of the names in pending_
    };

    Program &prog_;
    std::vector<std::vector<std::string_view>> scopes_;
    std::vector<std::vector<std::string_view>> pending_;

    void global(Node &node) {
        for (size_t k = scopes_.size(); k-- > 0;) {
            const std::vector<std::string_view> &names = scopes_[k];
            for (size_t s = 0; s < names.size(); ++s) {
                if (names[s] != node.text_) continue;
                node.kind_ = Kind::Local;
                node.up_ = static_cast<int32_t>(scopes_.size() - 1 - k);
                node.slot_ = static_cast<int32_t>(s);
                return;
            }
        }
    }

    void push_items(std::vector<Step> &steps, uint32_t first, uint32_t count) {
        for (uint32_t k = count; k-- > 0;)
            steps.push_back({Step::Visit, prog_.items_[first + k].node_});
    }

    // In order: the first iterable outside, then inside the comprehension's scope the other
    // iterables and the element.
    void comprehension(std::vector<Step> &steps, int32_t n) {
        Node &node = prog_.nodes_[static_cast<size_t>(n)];
        std::vector<std::string_view> names;
        for (uint32_t k = 0; k < node.count_; ++k) {
            Item &clause = prog_.items_[node.first_ + k];
            std::string_view target = prog_.targets_[static_cast<size_t>(clause.aux_)];
            size_t slot = 0;
            while (slot < names.size() && names[slot] != target) ++slot;
            if (slot == names.size()) names.push_back(target);
            clause.aux_ = static_cast<int32_t>(slot);
        }
        node.slots_ = static_cast<int32_t>(names.size());
        pending_.push_back(std::move(names));
        steps.push_back({Step::Leave, 0});
        steps.push_back({Step::Visit, node.a_});
        for (uint32_t k = node.count_; k-- > 1;)
            steps.push_back({Step::Visit, prog_.items_[node.first_ + k].node_});
        steps.push_back({Step::Enter, static_cast<int32_t>(pending_.size() - 1)});
        steps.push_back({Step::Visit, prog_.items_[node.first_].node_});
    }
};

// Where the formula holds each comparison, by the rules of polarity.hpp: the engine's
// connectives are read by their names under `bx`, `~` negates, a display or comprehension holds
// its items as it is held itself, and whatever else a value passes through may use it either
// way. Children are made before their parents, so one pass from the root down reaches every
// parent before its children.
class PolarityPass {
  public:
    explicit PolarityPass(Program &prog) : prog_(prog) {}

    void run() {
        for (Node &n : prog_.nodes_) n.polarity_ = kBothPolarities;
        node(prog_.root_).polarity_ = kPositive;
        for (int32_t n = static_cast<int32_t>(prog_.nodes_.size()) - 1; n >= 0; --n) spread(n);
    }

  private:
    Program &prog_;

    Node &node(int32_t n) { return prog_.nodes_[static_cast<size_t>(n)]; }
    const Item &item(uint32_t k) const { return prog_.items_[k]; }

    // Whether a callee is `bx.<name>`.
    bool of_connectives(const Node &callee) {
        if (callee.kind_ != Kind::Attr) return false;
        const Node &owner = node(callee.a_);
        return owner.kind_ == Kind::Global && owner.text_ == kConnectiveOwner;
    }

    void spread(int32_t n) {
        Node &nd = node(n);
        uint8_t p = nd.polarity_;
        switch (nd.kind_) {
            case Kind::Unary:
                node(nd.a_).polarity_ =
                    static_cast<UnOp>(nd.op_) == UnOp::Invert ? negated(p) : kBothPolarities;
                return;
            case Kind::List:
            case Kind::Tuple:
                for (uint32_t k = 0; k < nd.count_; ++k)
                    node(item(nd.first_ + k).node_).polarity_ = p;
                return;
            case Kind::ListComp:
                node(nd.a_).polarity_ = p;
                return;
            case Kind::Call: {
                const Node &callee = node(nd.a_);
                if (callee.kind_ == Kind::Attr && callee.text_ == kComparisonCall)
                    nd.comparison_ = true;
                if (!of_connectives(callee) || nd.starred_) return;
                for (uint32_t k = 0; k < nd.count_; ++k)
                    node(item(nd.first_ + k).node_).polarity_ =
                        argument_polarity(callee.text_, k, p);
                return;
            }
            default:
                return;
        }
    }
};

}  // namespace

std::optional<Program> read_program(std::string_view text) {
    std::optional<texts::Syntax> syntax = texts::read_syntax(text, kFormulaForms);
    if (!syntax) return std::nullopt;
    std::optional<Program> prog = from_syntax(*syntax);
    if (!prog) return std::nullopt;
    Resolver(*prog).resolve(prog->root_);
    PolarityPass(*prog).run();
    return prog;
}

std::vector<Instr> compile(const Program &prog) {
    std::vector<Instr> code;
    struct Task {
        enum What : uint8_t { Visit, Emit, ForHead, JumpBack, End } what_;
        int32_t node_;
        Ins op_ = Ins::Const;
        int32_t comp_ = -1;  // index into `comps`
        uint32_t clause_ = 0;
    };
    // Per comprehension: where its loops' heads are.
    std::vector<std::vector<int32_t>> comps;
    std::vector<Task> tasks{{Task::Visit, prog.root_}};
    auto node_at = [&](int32_t n) -> const Node & { return prog.nodes_[static_cast<size_t>(n)]; };
    auto item_node = [&](uint32_t k) { return prog.items_[k].node_; };
    while (!tasks.empty()) {
        Task t = tasks.back();
        tasks.pop_back();
        const Node &nd = node_at(t.node_);
        switch (t.what_) {
            case Task::Emit:
                code.push_back({t.op_, nd.op_, t.node_, -1});
                continue;
            case Task::ForHead: {
                std::vector<int32_t> &heads = comps[static_cast<size_t>(t.comp_)];
                // The first loop's end is the comprehension's end, known later.
                int32_t exit = t.clause_ == 0 ? -1 : heads[t.clause_ - 1];
                heads.push_back(static_cast<int32_t>(code.size()));
                code.push_back(
                    {Ins::ForIter, 0, t.node_, exit, prog.items_[nd.first_ + t.clause_].aux_});
                continue;
            }
            case Task::JumpBack:
                code.push_back({Ins::Jump, 0, t.node_, comps[static_cast<size_t>(t.comp_)].back()});
                continue;
            case Task::End:
                code[static_cast<size_t>(comps[static_cast<size_t>(t.comp_)].front())].target_ =
                    static_cast<int32_t>(code.size());
                code.push_back({Ins::EndComp, 0, t.node_, -1});
                continue;
            case Task::Visit:
                break;
        }
        switch (nd.kind_) {
            case Kind::Const:
                code.push_back({Ins::Const, 0, t.node_, -1});
                break;
            case Kind::Global:
                code.push_back({Ins::Global, 0, t.node_, -1});
                break;
            case Kind::Local:
                code.push_back({Ins::Local, 0, t.node_, -1});
                break;
            case Kind::Attr:
                tasks.push_back({Task::Emit, t.node_, Ins::Attr});
                tasks.push_back({Task::Visit, nd.a_});
                break;
            case Kind::Unary:
                tasks.push_back({Task::Emit, t.node_, Ins::Unary});
                tasks.push_back({Task::Visit, nd.a_});
                break;
            case Kind::Binary:
                tasks.push_back({Task::Emit, t.node_, Ins::Binary});
                tasks.push_back({Task::Visit, nd.b_});
                tasks.push_back({Task::Visit, nd.a_});
                break;
            case Kind::Call:
            case Kind::List:
            case Kind::Tuple: {
                Ins op = nd.kind_ == Kind::Call   ? Ins::Call
                         : nd.kind_ == Kind::List ? Ins::List
                                                  : Ins::Tuple;
                tasks.push_back({Task::Emit, t.node_, op});
                for (uint32_t k = nd.count_; k-- > 0;)
                    tasks.push_back({Task::Visit, item_node(nd.first_ + k)});
                if (nd.kind_ == Kind::Call) tasks.push_back({Task::Visit, nd.a_});
                break;
            }
            case Kind::ListComp: {
                int32_t c = static_cast<int32_t>(comps.size());
                comps.emplace_back();
                // MakeComp, iterable 0, BeginComp, head 0, [iterable k, GetIter, head k]...,
                // element, Append, Jump to the innermost head, EndComp.
                tasks.push_back({Task::End, t.node_, Ins::Const, c});
                tasks.push_back({Task::JumpBack, t.node_, Ins::Const, c});
                tasks.push_back({Task::Emit, t.node_, Ins::Append});
                tasks.push_back({Task::Visit, nd.a_});
                for (uint32_t k = nd.count_; k-- > 1;) {
                    tasks.push_back({Task::ForHead, t.node_, Ins::Const, c, k});
                    tasks.push_back({Task::Emit, t.node_, Ins::GetIter});
                    tasks.push_back({Task::Visit, item_node(nd.first_ + k)});
                }
                tasks.push_back({Task::ForHead, t.node_, Ins::Const, c, 0});
                tasks.push_back({Task::Emit, t.node_, Ins::BeginComp});
                tasks.push_back({Task::Visit, item_node(nd.first_)});
                tasks.push_back({Task::Emit, t.node_, Ins::MakeComp});
                break;
            }
        }
    }
    return code;
}

}  // namespace zk::formula
