#pragma once

#include <cstdint>

#include "raw/raw_transfer.hpp"

namespace fat12img {

// atoi's rules (leading white space, optional sign, digits up to the first non-digit, no
// digits is 0), saturating at the limits of a signed 32-bit value instead of overflowing.
int32_t parseDecimal(const char* text);

// Reads the tokens key=value in order; a token without "=" or with an unknown key is
// ignored, a key given twice keeps its last value. Each "=" is overwritten with NUL.
RawParameters parseRawParameters(int count, char** tokens);

// Runs one command: tokens[0] is its name.
void dispatchCommand(int count, char** tokens);

}  // namespace fat12img
