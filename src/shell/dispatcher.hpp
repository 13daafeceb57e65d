#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "raw/format.hpp"
#include "raw/raw_transfer.hpp"

namespace fat12img {

// A whole decimal number: an optional sign, then at least one digit, and nothing else.
// Values beyond a signed 32-bit integer saturate at its limits; none for anything else.
std::optional<int32_t> parseWholeDecimal(const char* text);

// A key=value parameter a command takes.
struct Parameter {
    const char* key;
    // Takes the value text; false when it is no value this key takes.
    std::function<bool(const char* value)> take;
};
// A parameter whose value is a whole decimal number, stored into `value`.
Parameter decimalParameter(const char* key, int32_t& value);

// Reads tokens[first] to tokens[count - 1] as parameters of `allowed`, in order (a key
// given twice keeps its last value). Gives the first token that is not one of them (no
// "=", a key that is not exactly one of theirs, a value its key does not take), or null
// when every token is; the tokens are left as they are.
const char* readParameters(int count, char** tokens, int first,
                           const std::vector<Parameter>& allowed);

// Reads write's or read's parameters after the host path (read takes "ch" and ignores
// it); gives the first token that is none of them, as readParameters does.
const char* parseRawParameters(int count, char** tokens, RawParameters& p);

// Reads format's tokens size=, label= and serial= (from tokens[1] on); none, with the
// first token that is not one of them or holds a value they do not take in *badToken.
std::optional<FormatOptions> parseFormatParameters(int count, char** tokens, const char** badToken);
// The options of a command line that is a format that can run: an image that does not
// exist yet is then written once, in that layout, and the command has nothing left to do.
std::optional<FormatOptions> formatOfCommand(int count, char** tokens);

// Runs one command: tokens[0] is its name.
void dispatchCommand(int count, char** tokens);

// Whether the command could change the image: a missing image is created for such a
// command only, when the run stops at failures. An unknown name changes nothing.
bool commandMayChangeImage(int count, char** tokens);

}  // namespace fat12img
