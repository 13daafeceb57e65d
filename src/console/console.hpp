#pragma once

#include <cstdio>

namespace fat12img {

// A message is one line followed by a line end.
inline void printLine(const char* text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
}

}  // namespace fat12img
