"""A first pseudo-Boolean model: colour a map, solve the CNF with a SAT solver, read the answer back.

Seven regions, three colours, neighbours differ. The model is built to CNF; python-sat solves the
clauses straight from the engine's clause storage; the solver's model (signed clause-variable
numbers) is read back two ways: by hand through the name-to-number map ("colour[2,0]" -> 7), and
by the engine's witness interpreter, which gives every model variable at once. Both readings must
agree and give a proper colouring.
"""

import itertools

from pysat.solvers import Solver

import nubrix.sorn_engine as se
from zk_encoder import Model, Sum

REGIONS = ["WA", "NT", "SA", "Q", "NSW", "V", "T"]
COLOURS = ["red", "green", "blue"]
BORDERS = [("WA", "NT"), ("WA", "SA"), ("NT", "SA"), ("NT", "Q"), ("SA", "Q"), ("SA", "NSW"),
           ("SA", "V"), ("Q", "NSW"), ("NSW", "V")]


def main():
    engine = se.manager()
    model = Model(engine, "map_colouring")
    # Families first (names are letters only), then the indexes, then the constraints.
    colour = model.create_variables("colour", region=len(REGIONS), c=len(COLOURS))
    r, k = model.get_indexes(["r", "k"])
    # Every region has exactly one colour: one constraint, repeated for every value of r.
    model.add_constraint(Sum(colour[r, k], k=range(len(COLOURS))) == 1, r=range(len(REGIONS)))
    # Neighbours never share a colour: for each border, repeated for every colour k.
    for a, b in BORDERS:
        ia, ib = REGIONS.index(a), REGIONS.index(b)
        model.add_constraint(~(colour[ia, k] & colour[ib, k]), k=range(len(COLOURS)))

    assert model.build_cnf()           # True: the witness interpreter was built
    clauses = model.get_cnf_storage().hard_clauses()
    with Solver(name="cadical153", bootstrap_with=clauses) as solver:
        assert solver.solve()
        witness = solver.get_model()   # signed numbers: +n true, -n false
    print(f"{len(clauses)} clauses; the solver's model has {len(witness)} literals")

    # Reading 1: through the map. Keys are the family name and index values, "colour[2,0]".
    numbers = model.get_var_mapping().get_var_map()
    true_numbers = {lit for lit in witness if lit > 0}
    by_map = {}
    for ri, name in enumerate(REGIONS):
        chosen = [c for c in range(len(COLOURS)) if numbers[f"colour[{ri},{c}]"] in true_numbers]
        assert len(chosen) == 1, (name, chosen)
        by_map[name] = COLOURS[chosen[0]]

    # Reading 2: the witness interpreter the build handed to the engine manager.
    values = engine.get_witness_interpreter().interpret(witness)   # {"colour[0,0]": True, ...}
    by_interpreter = {name: COLOURS[c] for ri, name in enumerate(REGIONS)
                      for c in range(len(COLOURS)) if values[f"colour[{ri},{c}]"]}

    assert by_map == by_interpreter
    for name in REGIONS:
        print(f"   {name:>3}: {by_map[name]}")
    assert all(by_map[a] != by_map[b] for a, b in BORDERS)
    print("checked: both readings agree, every region has one colour, no neighbours share one")

    # Meaning check: the CNF's models, told apart on the colour variables only (the auxiliary
    # variables of the encoding may take several values per colouring), are exactly the proper
    # colourings. Each found colouring is blocked by one clause over its colour variables.
    colour_vars = [numbers[f"colour[{ri},{c}]"] for ri in range(len(REGIONS))
                   for c in range(len(COLOURS))]
    found = 0
    with Solver(name="cadical153", bootstrap_with=clauses) as solver:
        while solver.solve():
            true_numbers = {lit for lit in solver.get_model() if lit > 0}
            solver.add_clause([-v if v in true_numbers else v for v in colour_vars])
            found += 1
    proper = sum(all(p[REGIONS.index(a)] != p[REGIONS.index(b)] for a, b in BORDERS)
                 for p in itertools.product(range(len(COLOURS)), repeat=len(REGIONS)))
    assert found == proper, (found, proper)
    print(f"checked: the CNF has {found} colourings, as many as brute force finds proper ones")


if __name__ == "__main__":
    main()
