#pragma once

namespace fat12img {

// Cuts a NUL-terminated line into at most `limit` tokens in place: every separator passed
// (space, tab, CR, LF) becomes NUL and tokens point into the line. When the limit is
// reached the walk stops at once, so the last token keeps the rest of the line verbatim.
int splitLine(char* line, char** tokens, int limit);

}  // namespace fat12img
