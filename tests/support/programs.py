"""Running the seeded cases of a direct C++ test program (tests/cpp/): the program answers
`--list` with its cases and runs `CASE SEED` with a generator made from the seed (drawn by
support.seeds.fresh_seed)."""

import subprocess


def listed_cases(program, env):
    """The cases the program holds, sorted."""
    run = subprocess.run([str(program), "--list"], capture_output=True, text=True, check=True,
                         env=env)
    return sorted(run.stdout.split())


def run_case(program, env, case, seed, variable):
    """Runs one case; a failure names the seed as the variable that replays it."""
    run = subprocess.run([str(program), case, str(seed)], capture_output=True, text=True,
                         env=env)
    assert run.returncode == 0, f"{variable}={seed}\n" + run.stdout + run.stderr
