// The checks of the direct C++ test programs: a failed check is reported with its place and
// counted; the program's exit status says whether any failed.
#pragma once

#include <cstdio>
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
