// The checks of the direct C++ test programs: a failed check is reported with its place and
// counted; the program's exit status says whether any failed.
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
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
