#pragma once

#include <cstdint>
#include <optional>

#include "raw/format.hpp"
#include "raw/raw_transfer.hpp"

namespace fat12img {

// atoi's rules (leading white space, optional sign, digits up to the first non-digit, no
// digits is 0), saturating at the limits of a signed 32-bit value instead of overflowing.
int32_t parseDecimal(const char* text);

// Reads the tokens key=value in order; a token without "=" or with an unknown key is
// ignored, a key given twice keeps its last value. Each "=" is overwritten with NUL.
RawParameters parseRawParameters(int count, char** tokens);

// Reads format's tokens size=, label= and serial= (from tokens[1] on); none, with the
// first token that is not one of them or holds a value they do not take in *badToken.
std::optional<FormatOptions> parseFormatParameters(int count, char** tokens, const char** badToken);
// The options of a command line that is a format that can run: an image that does not
// exist yet is then written once, in that layout, and the command has nothing left to do.
std::optional<FormatOptions> formatOfCommand(int count, char** tokens);

// Runs one command: tokens[0] is its name.
void dispatchCommand(int count, char** tokens);

}  // namespace fat12img
