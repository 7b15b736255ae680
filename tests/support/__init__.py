"""What the library's and the engine's tests share: array comparisons of known strictness
(`arrays`), oracles that judge a model by its meaning (`oracles`), recording fakes of the engine
(`fakes`), the list of the shared C++ components' sources (`components`), the runner of the
C++ test programs' seeded cases (`programs`) and small QPs that HiGHS fails in one column order
(`qp_cases`). The test run puts tests/ on the import path
(pyproject.toml's pytest options), so a test imports them as `from support.arrays import
same_bits`."""
