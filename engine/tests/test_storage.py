"""The clause storage wcnf_storage: clauses, stamps, preliminary values, bulk input, files."""

import numpy as np
import pytest
from pysat.formula import CNF, WCNF
from pysat.solvers import Solver

import nubrix.sorn_engine as se

HARD = [[1, -2], [2, 3, -4], [-1], [5]]
SOFT = [([1, 4], 3), ([-3], 1), ([2, -5, 6], 7)]


@pytest.fixture
def storage():
    s = se.wcnf_storage()
    for c in HARD:
        s.add_hard_clause(c)
    for c, w in SOFT:
        s.add_soft_clause(c, w)
    return s


def header(path):
    with open(path) as f:
        return next(line.split() for line in f if line.startswith("p "))


def test_clauses_come_back_in_order(storage):
    assert storage.hard_clauses() == HARD
    assert storage.soft_clauses() == SOFT
    assert (storage.num_hard_clauses(), storage.num_soft_clauses(), len(storage)) == (4, 3, 7)
    assert storage.max_variable() == 6


def test_storages_are_independent_and_merge_appends(storage):
    other = se.wcnf_storage()
    assert other.hard_clauses() == [] and other.soft_clauses() == []
    other.add_hard_clause([7, 8])
    other.add_soft_clause([-8], 2)
    other.insert_prefatory_value(-7)
    storage.merge(other)
    assert storage.hard_clauses() == HARD + [[7, 8]]
    assert storage.soft_clauses() == SOFT + [([-8], 2)]
    assert storage.get_prefatory_values() == [-7]
    assert other.hard_clauses() == [[7, 8]]
    storage.merge(storage)
    assert storage.hard_clauses() == 2 * (HARD + [[7, 8]])


def test_stamps_and_preliminary_values(storage):
    assert [storage.get_model_name(), storage.get_variable_count(), storage.get_clause_count(),
            storage.get_weight_limit()] == [None] * 4
    storage.set_model_name("queens")
    storage.set_variable_count(12)
    storage.set_clause_count(7)
    storage.set_weight_limit(12)
    assert [storage.get_model_name(), storage.get_variable_count(), storage.get_clause_count(),
            storage.get_weight_limit()] == ["queens", 12, 7, 12]
    storage.insert_prefatory_value(3)
    storage.insert_prefatory_value(-5)
    storage.insert_prefatory_value(-3)  # a later value of a variable replaces the earlier one
    assert storage.get_prefatory_values() == [-3, -5]


def test_wcnf_file_reads_back(storage, tmp_path):
    storage.set_model_name("m1")
    storage.set_variable_count(9)
    storage.set_clause_count(7)
    storage.set_weight_limit(12)
    storage.insert_prefatory_value(4)
    path = tmp_path / "model.wcnf"
    storage.write_wcnf(path)
    assert header(path) == ["p", "wcnf", "9", "7", "12"]
    wcnf = WCNF(from_file=str(path))
    assert wcnf.hard == HARD
    assert list(zip(wcnf.soft, wcnf.wght)) == SOFT
    assert wcnf.topw == 12
    assert "c model m1" in wcnf.comments and "c prefatory 4 0" in wcnf.comments


def test_cnf_file_reads_back(tmp_path):
    s = se.wcnf_storage()
    for c in HARD:
        s.add_hard_clause(c)
    s.add_hard_clause([])
    s.set_variable_count(8)
    s.set_clause_count(5)
    path = tmp_path / "model.cnf"
    s.write_cnf(str(path))
    assert header(path) == ["p", "cnf", "8", "5"]
    assert CNF(from_file=str(path)).clauses == HARD + [[]]


def test_preliminary_values_as_units_fix_the_values(tmp_path):
    s = se.wcnf_storage()
    s.add_hard_clause([1, 2])
    s.set_clause_count(1)
    s.insert_prefatory_value(-1)
    path = tmp_path / "units.cnf"
    s.write_cnf(path, prefatory_as_units=True)
    assert header(path) == ["p", "cnf", "2", "2"]
    with Solver(bootstrap_with=CNF(from_file=str(path)).clauses) as solver:
        assert solver.solve() and solver.get_model()[:2] == [-1, 2]


@pytest.mark.parametrize("stamp, soft, top", [
    (None, [3, 4], 8),   # unset: one more than the sum of the soft weights
    (4, [3, 4], 8),      # a stamp that a soft weight reaches gives way
    (5, [3, 4], 5),
], ids=["unset", "too-small", "stamp"])
def test_wcnf_hard_weight(tmp_path, stamp, soft, top):
    s = se.wcnf_storage()
    s.add_hard_clause([1])
    for i, w in enumerate(soft):
        s.add_soft_clause([i + 2], w)
    if stamp is not None:
        s.set_weight_limit(stamp)
    path = tmp_path / "w.wcnf"
    s.write_wcnf(path)
    assert WCNF(from_file=str(path)).topw == top
    assert WCNF(from_file=str(path)).hard == [[1]]


def test_header_never_understates_the_contents(tmp_path):
    s = se.wcnf_storage()
    s.add_hard_clause([1, 7])
    s.add_hard_clause([2])
    s.set_variable_count(3)
    s.set_clause_count(1)
    path = tmp_path / "h.cnf"
    s.write_cnf(path)
    assert header(path) == ["p", "cnf", "7", "2"]


def test_cnf_refuses_soft_clauses(storage, tmp_path):
    with pytest.raises(ValueError, match="3 soft clauses; write it with write_wcnf"):
        storage.write_cnf(tmp_path / "x.cnf")


def test_unwritable_path_raises_os_error(storage, tmp_path):
    with pytest.raises(OSError, match="cannot open"):
        storage.write_wcnf(tmp_path / "missing" / "x.wcnf")


def test_bulk_insertion_matches_single_insertion():
    s = se.wcnf_storage()
    offsets = np.array([0, 2, 5, 5, 6])
    literals = np.array([1, -2, 2, 3, -4, 5], dtype=np.int32)
    s.add_hard_clauses(offsets, literals)
    s.add_soft_clauses(np.array([0, 1, 3]), np.array([-3, 4, 1]), np.array([2, 9]))
    assert s.hard_clauses() == [[1, -2], [2, 3, -4], [], [5]]
    assert s.soft_clauses() == [([-3], 2), ([4, 1], 9)]
    hard_offsets, hard_lits = s.hard_clause_arrays()
    assert hard_offsets.tolist() == offsets.tolist() and hard_lits.tolist() == literals.tolist()
    soft = s.soft_clause_arrays()
    assert [a.tolist() for a in soft] == [[0, 1, 3], [-3, 4, 1], [2, 9]]


BULK_REFUSALS = [
    ("literal-0", [0, 2], [1, 0], None, "the literal at position 1 is 0"),
    ("offsets-not-from-0", [1, 2], [1, 2], None, "start with 0"),
    ("offsets-decreasing", [0, 2, 1, 3], [1, 2, 3], None, "must not decrease"),
    ("offsets-short", [0, 1], [1, 2], None, "last offset 1 differs from the number of literals, 2"),
    ("literal-range", [0, 1], [2**40], None, "outside the variable range"),
    ("weight-0", [0, 1], [1], [0], "weight 0 is not positive"),
    ("weight-count", [0, 1], [1], [1, 2], "2 weights for 1 clauses"),
]


@pytest.mark.parametrize("offsets, literals, weights, message",
                         [r[1:] for r in BULK_REFUSALS], ids=[r[0] for r in BULK_REFUSALS])
def test_bulk_refusals_leave_storage_unchanged(offsets, literals, weights, message):
    s = se.wcnf_storage()
    s.add_hard_clause([9])
    with pytest.raises(ValueError, match=message):
        if weights is None:
            s.add_hard_clauses(np.array(offsets), np.array(literals))
        else:
            s.add_soft_clauses(np.array(offsets), np.array(literals), np.array(weights))
    assert s.hard_clauses() == [[9]] and s.soft_clauses() == []


def call(method, *args):
    getattr(se.wcnf_storage(), method)(*args)


REFUSALS = [
    ("hard-literal-0", "add_hard_clause", ([1, 0],), ValueError, "a literal must not be 0"),
    ("soft-literal-0", "add_soft_clause", ([0], 1), ValueError, "a literal must not be 0"),
    ("float-literal", "add_hard_clause", ([1.0],), TypeError, "a literal must be an integer"),
    ("text-literal", "add_hard_clause", (["1"],), TypeError, "a literal must be an integer"),
    ("bool-literal", "add_hard_clause", ([True],), TypeError, "a literal must be an integer"),
    ("not-a-sequence", "add_hard_clause", (5,), TypeError, "must be a sequence of integers"),
    ("huge-literal", "add_hard_clause", ([2**31],), ValueError, "outside the variable range"),
    ("weight-0", "add_soft_clause", ([1], 0), ValueError, "must be a positive integer"),
    ("weight-negative", "add_soft_clause", ([1], -3), ValueError, "must be a positive integer"),
    ("weight-float", "add_soft_clause", ([1], 2.0), TypeError, "must be an integer"),
    ("weight-none", "add_soft_clause", ([1], None), TypeError, "must be an integer"),
    ("prefatory-0", "insert_prefatory_value", (0,), ValueError, "must not be 0"),
    ("prefatory-float", "insert_prefatory_value", (1.5,), TypeError, "must be an integer"),
    ("name-type", "set_model_name", (3,), TypeError, "must be a str"),
    ("count-negative", "set_variable_count", (-1,), ValueError, "must not be negative"),
    ("weight-limit-0", "set_weight_limit", (0,), ValueError, "must be a positive integer"),
]


@pytest.mark.parametrize("method, args, error, message", [r[1:] for r in REFUSALS],
                         ids=[r[0] for r in REFUSALS])
def test_refusals(method, args, error, message):
    with pytest.raises(error, match=message):
        call(method, *args)


def test_numpy_integers_are_literals():
    s = se.wcnf_storage()
    s.add_soft_clause(np.array([3, -4]), np.int64(5))
    assert s.soft_clauses() == [([3, -4], 5)]


# Arrays that carry no integers, or integers that do not survive a cast to int64, are refused
# before anything is kept; none of them may be truncated or wrapped into a literal.
BULK_DTYPE_REFUSALS = [
    ("float-literals", np.array([0, 2]), np.array([1.5, -2.0]), None, TypeError,
     "literals must be a 1-D numpy integer array, not float64"),
    ("float-offsets", np.array([0.0, 2.0]), np.array([1, 2]), None, TypeError,
     "offsets must be a 1-D numpy integer array, not float64"),
    ("bool-literals", np.array([0, 2]), np.array([True, True]), None, TypeError,
     "literals must be a 1-D numpy integer array, not bool"),
    ("object-literals", np.array([0, 1]), np.array([1], dtype=object), None, TypeError,
     "literals must be a 1-D numpy integer array, not object"),
    ("two-dimensional", np.array([0, 2]), np.array([[1, -2]]), None, TypeError,
     "literals must be a 1-D numpy integer array, not a 2-D array"),
    ("list-literals", np.array([0, 2]), [1, -2], None, TypeError,
     "literals must be a 1-D numpy integer array, not list"),
    ("uint64-beyond-int64", np.array([0, 1]), np.array([2**64 - 1], dtype=np.uint64), None,
     OverflowError, "literals: 18446744073709551615 does not fit in 64 bits"),
    ("float-weights", np.array([0, 1]), np.array([1]), np.array([1.5]), TypeError,
     "weights must be a 1-D numpy integer array, not float64"),
    ("uint64-weight-beyond-int64", np.array([0, 1]), np.array([1]),
     np.array([2**63], dtype=np.uint64), OverflowError,
     "weights: 9223372036854775808 does not fit in 64 bits"),
]


@pytest.mark.parametrize("offsets, literals, weights, error, message",
                         [r[1:] for r in BULK_DTYPE_REFUSALS],
                         ids=[r[0] for r in BULK_DTYPE_REFUSALS])
def test_bulk_refuses_arrays_without_integers(offsets, literals, weights, error, message):
    s = se.wcnf_storage()
    s.add_hard_clause([9])
    with pytest.raises(error, match=message):
        if weights is None:
            s.add_hard_clauses(offsets, literals)
        else:
            s.add_soft_clauses(offsets, literals, weights)
    assert s.hard_clauses() == [[9]] and s.soft_clauses() == []


STRIDED = np.array([1, 0, -2, 0, 3, 0], dtype=np.int64)[::2]
READ_ONLY = np.array([1, -2, 3], dtype=np.int16)
READ_ONLY.flags.writeable = False

# Any integer dtype, layout and stride reads as the same values.
BULK_LAYOUTS = [
    ("int32-offsets-int16-literals", np.array([0, 1, 3], dtype=np.int32),
     np.array([1, -2, 3], dtype=np.int16)),
    ("uint8-offsets-uint32-literals", np.array([0, 1, 3], dtype=np.uint8),
     np.array([1, 2, 3], dtype=np.uint32)),
    ("strided-literals", np.array([0, 1, 3]), STRIDED),
    ("strided-offsets", np.array([0, 9, 1, 9, 3])[::2], np.array([1, -2, 3])),
    ("read-only", np.array([0, 1, 3]), READ_ONLY),
    ("reversed-view", np.array([3, 1, 0])[::-1], np.array([3, -2, 1])[::-1]),
]


@pytest.mark.parametrize("offsets, literals", [r[1:] for r in BULK_LAYOUTS],
                         ids=[r[0] for r in BULK_LAYOUTS])
def test_bulk_reads_every_integer_layout(offsets, literals):
    s = se.wcnf_storage()
    s.add_hard_clauses(offsets, literals)
    lits = literals.tolist()
    assert s.hard_clauses() == [lits[:1], lits[1:3]]
    s.add_soft_clauses(offsets, literals, np.array([4, 5], dtype=np.uint16)[::-1])
    assert s.soft_clauses() == [(lits[:1], 5), (lits[1:3], 4)]


@pytest.mark.parametrize("empty", [np.array([]), np.array([], dtype=np.int32)],
                         ids=["float-dtype", "int32"])
def test_bulk_empty_literal_arrays(empty):
    s = se.wcnf_storage()
    s.add_hard_clauses(np.array([0]), empty)  # no clause
    s.add_hard_clauses(np.array([0, 0]), empty)  # one empty clause
    s.add_soft_clauses(np.array([0]), empty, empty)
    assert s.hard_clauses() == [[]] and s.soft_clauses() == []


def test_merge_of_itself_doubles_a_large_storage():
    s = se.wcnf_storage()
    n = 60000  # beyond one heap page run, so a reallocating self-insert would read freed memory
    s.add_hard_clauses(np.arange(0, 2 * n + 1, 2), np.arange(1, 2 * n + 1))
    s.add_soft_clauses(np.arange(0, n + 1), np.arange(1, n + 1), np.arange(1, n + 1))
    s.merge(s)
    offsets, lits = s.hard_clause_arrays()
    assert offsets.tolist() == list(range(0, 4 * n + 1, 2))
    assert lits.tolist() == 2 * list(range(1, 2 * n + 1))
    soft_offsets, soft_lits, weights = s.soft_clause_arrays()
    assert soft_lits.tolist() == weights.tolist() == 2 * list(range(1, n + 1))


def random_storage(rng):
    s = se.wcnf_storage()
    hard, soft = [], []
    nvars = rng.randint(1, 30)
    for _ in range(rng.randint(0, 25)):
        clause = [rng.choice([-1, 1]) * rng.randint(1, nvars) for _ in range(rng.randint(0, 5))]
        if rng.random() < 0.6:
            hard.append(clause)
            s.add_hard_clause(clause)
        else:
            weight = rng.choice([1, 2, 7, 1000, 2**40])
            soft.append((clause, weight))
            s.add_soft_clause(clause, weight)
    prefatory = {}
    for _ in range(rng.randint(0, 4)):
        lit = rng.choice([-1, 1]) * rng.randint(1, nvars + 5)
        s.insert_prefatory_value(lit)
        prefatory[abs(lit)] = lit
    stamps = {}
    if rng.random() < 0.7:
        stamps["variables"] = rng.randint(0, nvars + 10)
        s.set_variable_count(stamps["variables"])
    if rng.random() < 0.7:
        s.set_clause_count(rng.randint(0, 30))
    if rng.random() < 0.7:
        stamps["top"] = rng.randint(1, 2**41)
        s.set_weight_limit(stamps["top"])
    if rng.random() < 0.5:
        s.set_model_name(rng.choice(["m", "n queens", "a\nb"]))
    return s, hard, soft, list(prefatory.values()), stamps


@pytest.mark.parametrize("seed", range(25), ids=lambda s: f"seed{s}")
@pytest.mark.parametrize("as_units", [False, True], ids=["comments", "units"])
def test_files_read_back_by_pysat(tmp_path, seed, as_units):
    import random

    rng = random.Random(seed)
    s, hard, soft, prefatory, stamps = random_storage(rng)
    case = f"seed={seed} units={as_units}"
    units = [[lit] for lit in prefatory] if as_units else []
    top_var = max([abs(l) for c in hard + [c for c, _ in soft] for l in c] + [0]
                  + ([abs(l) for l in prefatory]))
    variables = max(stamps.get("variables", 0), top_var)

    wcnf_path = tmp_path / "f.wcnf"
    s.write_wcnf(wcnf_path, prefatory_as_units=as_units)
    wcnf = WCNF(from_file=str(wcnf_path))
    assert wcnf.hard == units + hard, case
    assert list(zip(wcnf.soft, wcnf.wght)) == soft, case
    weights = [w for _, w in soft]
    top = stamps["top"] if stamps.get("top", 0) > max(weights, default=0) else sum(weights) + 1
    assert wcnf.topw == top, case
    assert header(wcnf_path) == ["p", "wcnf", str(variables),
                                 str(len(units) + len(hard) + len(soft)), str(top)], case
    if not as_units and prefatory:
        assert "c prefatory " + " ".join(map(str, prefatory)) + " 0" in wcnf.comments, case

    if soft:
        return
    cnf_path = tmp_path / "f.cnf"
    s.write_cnf(cnf_path, prefatory_as_units=as_units)
    cnf = CNF(from_file=str(cnf_path))
    assert cnf.clauses == units + hard, case
    assert header(cnf_path) == ["p", "cnf", str(variables), str(len(units) + len(hard))], case


NUMPY_BOOL_REFUSALS = [
    ("hard-literal", "add_hard_clause", ([np.True_],)),
    ("soft-weight", "add_soft_clause", ([1], np.True_)),
    ("prefatory", "insert_prefatory_value", (np.False_,)),
]


@pytest.mark.parametrize("method, args", [r[1:] for r in NUMPY_BOOL_REFUSALS],
                         ids=[r[0] for r in NUMPY_BOOL_REFUSALS])
def test_numpy_bools_are_not_integers(method, args):
    s = se.wcnf_storage()
    with pytest.raises(TypeError, match="must be an integer, not bool"):
        getattr(s, method)(*args)
    assert s.hard_clauses() == [] and s.soft_clauses() == [] and s.get_prefatory_values() == []


def test_clause_changed_while_read():
    # __index__ empties the list mid-read; the storage keeps the clause it was given.
    class Emptying:
        def __index__(self):
            clause.clear()
            return 1

    clause = [Emptying()] + list(range(2, 100002))
    s = se.wcnf_storage()
    s.add_hard_clause(clause)
    assert s.hard_clauses() == [list(range(1, 100002))]


# Bulk input of the kind the library hands over (contiguous int64) and of every other layout,
# at the edges of the literal range, with the fault anywhere in a long block: the position
# reported is the first faulty one, and nothing of the block is kept.
LONG = 10_007  # not a multiple of any vector width


def long_block(fault_at, value):
    literals = np.arange(1, LONG + 1, dtype=np.int64)
    if fault_at is not None:
        literals[fault_at] = value
    return np.arange(LONG + 1, dtype=np.int64), literals


LONG_REFUSALS = [
    ("zero-last", LONG - 1, 0, f"the literal at position {LONG - 1} is 0"),
    ("zero-first", 0, 0, "the literal at position 0 is 0"),
    ("below-range", 5000, -(2**31), f"literal {-(2**31)} is outside the variable range"),
    ("above-range", 5000, 2**31, f"literal {2**31} is outside the variable range"),
    ("int64-min", 77, -(2**63), f"literal {-(2**63)} is outside the variable range"),
    ("int64-max", 77, 2**63 - 1, f"literal {2**63 - 1} is outside the variable range"),
]


@pytest.mark.parametrize("layout", ["contiguous", "strided"])
@pytest.mark.parametrize("fault_at, value, message", [r[1:] for r in LONG_REFUSALS],
                         ids=[r[0] for r in LONG_REFUSALS])
def test_long_bulk_refusals_name_the_first_fault(fault_at, value, message, layout):
    offsets, literals = long_block(fault_at, value)
    literals[fault_at + 1:fault_at + 3] = 0  # later faults must not be the ones reported
    if layout == "strided":
        literals = np.repeat(literals, 2)[::2]
    s = se.wcnf_storage()
    s.add_hard_clauses(np.array([0, 1]), np.array([9]))
    with pytest.raises(ValueError, match=f"^add_hard_clauses: {message}$"):
        s.add_hard_clauses(offsets, literals)
    with pytest.raises(ValueError, match=f"^add_soft_clauses: {message}$"):
        s.add_soft_clauses(offsets, literals, np.ones(LONG, dtype=np.int64))
    assert s.hard_clauses() == [[9]] and s.soft_clauses() == []
    assert s.max_variable() == 9


def test_bulk_accepts_the_edges_of_the_range():
    s = se.wcnf_storage()
    edge = 2**31 - 1
    s.add_hard_clauses(np.array([0, 2, 3]), np.array([edge, -edge, -1]))
    assert s.hard_clauses() == [[edge, -edge], [-1]]


@pytest.mark.parametrize("offsets, message", [
    ([0, 2, 1, 3], "must not decrease"),
    ([0, 3, 2**62, 3], "must not decrease"),
    ([0, 1, 2**63 - 1], f"last offset {2**63 - 1} differs from the number of literals, 3"),
    ([0, 1, 2, 4], "last offset 4 differs from the number of literals, 3"),
    ([0], "last offset 0 differs from the number of literals, 3"),
], ids=["decrease", "huge-then-back", "huge-last", "beyond-literals", "no-clause"])
def test_bulk_offsets_refused_after_earlier_blocks(offsets, message):
    s = se.wcnf_storage()
    s.add_hard_clauses(np.array([0, 2]), np.array([1, 2]))
    with pytest.raises(ValueError, match=message):
        s.add_hard_clauses(np.array(offsets, dtype=np.int64), np.array([1, 2, 3]))
    s.add_hard_clause([7])
    assert [a.tolist() for a in s.hard_clause_arrays()] == [[0, 2, 3], [1, 2, 7]]


def test_soft_block_refused_by_its_weights_leaves_nothing():
    s = se.wcnf_storage()
    s.add_soft_clause([4], 2)
    offsets, literals = long_block(None, None)
    weights = np.ones(LONG, dtype=np.int64)
    weights[-1] = -5
    with pytest.raises(ValueError, match="weight -5 is not positive"):
        s.add_soft_clauses(offsets, literals, weights)
    s.add_soft_clause([5], 3)
    assert s.soft_clauses() == [([4], 2), ([5], 3)]
    assert [a.tolist() for a in s.soft_clause_arrays()] == [[0, 1, 2], [4, 5], [2, 3]]


def test_many_blocks_and_merges_keep_every_clause_in_order():
    # Blocks, single clauses and merges interleaved, as a build does: the offsets of each part
    # are moved by what came before it.
    rng = np.random.default_rng(7)
    s, expected_hard, expected_soft = se.wcnf_storage(), [], []
    for step in range(300):
        part = se.wcnf_storage()
        lengths = rng.integers(0, 4, size=int(rng.integers(0, 6)))
        offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
        literals = rng.integers(1, 50, size=int(offsets[-1])) * rng.choice([-1, 1],
                                                                            size=int(offsets[-1]))
        clauses = [literals[a:b].tolist() for a, b in zip(offsets[:-1], offsets[1:])]
        weights = rng.integers(1, 9, size=len(clauses))
        if step % 3 == 0:
            part.add_hard_clauses(offsets, literals)
            expected_hard += clauses
        elif step % 3 == 1:
            part.add_soft_clauses(offsets, literals, weights)
            expected_soft += list(zip(clauses, weights.tolist()))
        else:
            part.add_hard_clause([step])
            expected_hard.append([step])
        s.merge(part)
        assert part.num_hard_clauses() + part.num_soft_clauses() == len(part)
    assert s.hard_clauses() == expected_hard and s.soft_clauses() == expected_soft
    offsets, literals = s.hard_clause_arrays()
    assert offsets.tolist() == np.cumsum([0] + [len(c) for c in expected_hard]).tolist()
    s.merge(s)
    assert s.hard_clauses() == 2 * expected_hard and s.soft_clauses() == 2 * expected_soft


def test_merged_storages_stay_independent_whatever_they_share():
    # Large blocks are shared by a merge, small ones copied; either way a later change to one
    # storage (a new clause, a refused block taken back) never shows in the other.
    n = 100_000
    offsets, literals = np.arange(0, 2 * n + 1, 2), np.arange(1, 2 * n + 1)
    big = [literals[i:i + 2].tolist() for i in range(0, 2 * n, 2)]
    source, target = se.wcnf_storage(), se.wcnf_storage()
    source.add_hard_clauses(offsets, literals)
    target.add_hard_clause([7])
    target.merge(source)
    target.merge(source)
    source.add_hard_clause([-1])
    with pytest.raises(ValueError):
        source.add_hard_clauses(np.array([0, 1]), np.array([0]))
    target.add_hard_clause([8])
    with pytest.raises(ValueError):
        target.add_hard_clauses(np.array([0, 2]), np.array([3, 0]))
    assert source.hard_clauses() == big + [[-1]]
    assert target.hard_clauses() == [[7]] + big + big + [[8]]
    del source
    target.add_hard_clause([9])
    t_offsets, t_lits = target.hard_clause_arrays()
    assert t_offsets.tolist() == [0, 1] + list(range(3, 4 * n + 2, 2)) + [4 * n + 2, 4 * n + 3]
    assert t_lits.tolist() == [7] + 2 * literals.tolist() + [8, 9]
    assert target.max_variable() == 2 * n and len(target) == 2 * n + 3


def test_empty_storage_arrays():
    offsets, literals = se.wcnf_storage().hard_clause_arrays()
    assert offsets.tolist() == [0] and literals.tolist() == [] and literals.dtype == np.int32
