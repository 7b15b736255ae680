// Clause storage and its DIMACS writers.
#include "wcnf_store.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "texts/format.hpp"

namespace se::clause {

namespace {

constexpr std::size_t kFlushSize = 1 << 20;

constexpr const char *kCannotOpen = "cannot open";
constexpr const char *kCannotWrite = "cannot write";
constexpr const char *kSoftInCnf =
    "write_cnf: the storage holds {} soft clauses; write it with write_wcnf";
constexpr const char *kModelComment = "c model ";
constexpr const char *kStamp = "c clause count stamp {}, clauses written {}\n";
constexpr const char *kPrefatoryComment = "c prefatory ";

// Buffered text output with fast integer formatting.
class Writer {
  public:
    explicit Writer(const std::string &path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {
        if (file_ == nullptr) fail(kCannotOpen);
        buf_.reserve(kFlushSize + 256);
    }
    ~Writer() {
        if (file_ != nullptr) std::fclose(file_);
    }
    void text(const std::string &s) {
        buf_ += s;
        maybe_flush();
    }
    void num(int64_t v) {
        char tmp[24];
        auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
        buf_.append(tmp, r.ptr);
    }
    void clause(const int32_t *lits, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            num(lits[i]);
            buf_ += ' ';
        }
        buf_ += "0\n";
        maybe_flush();
    }
    void close() {
        flush();
        FILE *f = file_;
        file_ = nullptr;
        if (std::fclose(f) != 0) fail(kCannotWrite);
    }

  private:
    void maybe_flush() {
        if (buf_.size() >= kFlushSize) flush();
    }
    void flush() {
        if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), file_) != buf_.size())
            fail(kCannotWrite);
        buf_.clear();
    }
    [[noreturn]] void fail(const char *what) {
        throw std::runtime_error(std::string(what) + " '" + path_ + "': " + std::strerror(errno));
    }

    std::string path_;
    FILE *file_;
    std::string buf_;
};

std::string one_line(const std::string &s) {
    std::string r = s;
    for (char &c : r)
        if (c == '\n' || c == '\r') c = ' ';
    return r;
}

void write_comments(Writer &w, const WcnfStore &s, PrefatoryMode mode) {
    const int64_t written = static_cast<int64_t>(s.hard().size() + s.soft().size());
    if (s.model_name()) w.text(kModelComment + one_line(*s.model_name()) + "\n");
    if (s.clause_count() && *s.clause_count() != written)
        w.text(zk::texts::format_message(kStamp, *s.clause_count(), written));
    if (mode == PrefatoryMode::kComment && !s.prefatory().empty()) {
        w.text(kPrefatoryComment);
        w.clause(s.prefatory().data(), s.prefatory().size());
    }
}

}  // namespace

WcnfStore::SoftRoom WcnfStore::extend_soft(std::size_t clauses, std::size_t lits) {
    const std::size_t old = soft_.size();
    const ClauseList::Room room = soft_.extend(clauses, lits);
    int64_t *w;
    try {
        w = weights_.extend(clauses);
    } catch (...) {
        soft_.truncate(old);
        throw;
    }
    return SoftRoom{room, w};
}

void WcnfStore::merge(const WcnfStore &other) {
    const std::vector<int32_t> prefatory = other.prefatory_;  // other may be this store
    const std::size_t hard = hard_.size(), soft = soft_.size();
    try {
        hard_.append(other.hard_);
        soft_.append(other.soft_);
        weights_.append(other.weights_.data(), other.weights_.size());
    } catch (...) {  // out of memory: all or nothing
        truncate_hard(hard);
        truncate_soft(soft);
        throw;
    }
    for (int32_t lit : prefatory) insert_prefatory(lit);
}

void WcnfStore::insert_prefatory(int32_t lit) {
    const int32_t var = lit < 0 ? -lit : lit;
    auto it = prefatory_index_.find(var);
    if (it != prefatory_index_.end()) {
        prefatory_[it->second] = lit;
        return;
    }
    prefatory_index_.emplace(var, prefatory_.size());
    prefatory_.push_back(lit);
}

int32_t WcnfStore::max_variable() const {
    int32_t m = std::max(hard_.max_variable(), soft_.max_variable());
    for (int32_t l : prefatory_) m = std::max(m, l < 0 ? -l : l);
    return m;
}

// The stamps give the header; a stamp the contents contradict (a variable above the count, a
// soft weight reaching the hard weight) gives way, so that every reader sees the same problem.
Header WcnfStore::cnf_header(PrefatoryMode mode) const {
    Header h{};
    h.variables_ = std::max<int64_t>(variable_count_.value_or(0), max_variable());
    h.clauses_ = static_cast<int64_t>(hard_.size()) +
                 (mode == PrefatoryMode::kUnits ? static_cast<int64_t>(prefatory_.size()) : 0);
    h.top_ = 0;
    return h;
}

Header WcnfStore::wcnf_header(PrefatoryMode mode) const {
    Header h = cnf_header(mode);
    h.clauses_ += static_cast<int64_t>(soft_.size());
    int64_t max_weight = 0;
    __int128 sum = 0;
    for (int64_t w : weights_) {
        max_weight = std::max(max_weight, w);
        sum += w;
    }
    if (weight_limit_ && *weight_limit_ > max_weight) {
        h.top_ = *weight_limit_;
    } else {
        const __int128 top = sum + 1;
        h.top_ = top > std::numeric_limits<int64_t>::max() ? std::numeric_limits<int64_t>::max()
                                                           : static_cast<int64_t>(top);
    }
    return h;
}

void WcnfStore::write_cnf(const std::string &path, PrefatoryMode mode) const {
    if (soft_.size() != 0)
        throw std::invalid_argument(zk::texts::format_message(kSoftInCnf, soft_.size()));
    const Header h = cnf_header(mode);
    Writer w(path);
    write_comments(w, *this, mode);
    w.text("p cnf " + std::to_string(h.variables_) + " " + std::to_string(h.clauses_) + "\n");
    if (mode == PrefatoryMode::kUnits)
        for (const int32_t &lit : prefatory_) w.clause(&lit, 1);
    hard_.for_each([&](const int32_t *lits, std::size_t n) { w.clause(lits, n); });
    w.close();
}

void WcnfStore::write_wcnf(const std::string &path, PrefatoryMode mode) const {
    const Header h = wcnf_header(mode);
    Writer w(path);
    write_comments(w, *this, mode);
    w.text("p wcnf " + std::to_string(h.variables_) + " " + std::to_string(h.clauses_) + " " +
           std::to_string(h.top_) + "\n");
    const std::string top = std::to_string(h.top_) + " ";
    if (mode == PrefatoryMode::kUnits)
        for (const int32_t &lit : prefatory_) {
            w.text(top);
            w.clause(&lit, 1);
        }
    hard_.for_each([&](const int32_t *lits, std::size_t n) {
        w.text(top);
        w.clause(lits, n);
    });
    std::size_t i = 0;
    soft_.for_each([&](const int32_t *lits, std::size_t n) {
        w.num(weights_[i++]);
        w.text(" ");
        w.clause(lits, n);
    });
    w.close();
}

}  // namespace se::clause
