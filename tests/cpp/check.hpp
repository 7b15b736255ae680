// The checks of the direct C++ test programs: a failed check is reported with its place and
// counted; the program's exit status says whether any failed.
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>

inline int g_failures = 0;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond); \
            ++g_failures;                                                                 \
        }                                                                                 \
    } while (0)

#define CHECK_TEXT(cond, text)                                                               \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed for \"%s\"\n", __FILE__, __LINE__, \
                         #cond, std::string(text).c_str());                                  \
            ++g_failures;                                                                    \
        }                                                                                    \
    } while (0)

// The main of a test program of plain cases: `program CASE` runs one, `program --list` names
// them all.
inline int run_cases(int argc, char **argv,
                     const std::map<std::string, std::function<void()>> &cases) {
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const auto &[name, fn] : cases) std::printf("%s\n", name.c_str());
        return 0;
    }
    if (argc != 2 || cases.count(argv[1]) == 0) {
        std::fprintf(stderr, "usage: %s CASE | --list\n", argv[0]);
        return 2;
    }
    cases.at(argv[1])();
    return g_failures == 0 ? 0 : 1;
}

// The main of a test program of seeded cases: `program CASE SEED` runs one with a generator made
// from the seed (printed, and again with the failures, so a run can be replayed), `program --list`
// names them all.
using Rng = std::mt19937_64;

inline int run_seeded_cases(int argc, char **argv,
                            const std::map<std::string, std::function<void(Rng &)>> &cases,
                            const char *other_usage = "") {
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const auto &[name, fn] : cases) std::printf("%s\n", name.c_str());
        return 0;
    }
    if (argc != 3 || cases.count(argv[1]) == 0) {
        std::fprintf(stderr, "usage: %s CASE SEED | --list%s\n", argv[0], other_usage);
        return 2;
    }
    const unsigned long long seed = std::stoull(argv[2]);
    std::printf("seed %llu\n", seed);
    Rng rng(seed);
    cases.at(argv[1])(rng);
    if (g_failures) std::fprintf(stderr, "%d failures (seed %llu)\n", g_failures, seed);
    return g_failures == 0 ? 0 : 1;
}
