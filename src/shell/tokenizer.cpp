#include "shell/tokenizer.hpp"

namespace fat12img {

namespace {

bool isSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool startsToken(char c) {
    return c != '\0' && !isSeparator(c);
}

}  // namespace

int splitLine(char* line, char** tokens, int limit) {
    int count = 0;
    if (limit <= 0) {
        return 0;
    }
    if (startsToken(line[0])) {
        tokens[count++] = line;
    }
    // Once the limit is reached nothing more is cut or stored, even when the first token
    // alone reaches it.
    for (char* p = line; *p != '\0' && count < limit; ++p) {
        if (!isSeparator(*p)) {
            continue;
        }
        *p = '\0';
        if (startsToken(p[1])) {
            tokens[count++] = p + 1;
        }
    }
    return count;
}

}  // namespace fat12img
