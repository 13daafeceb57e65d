#pragma once

#include <string>
#include <vector>

// What the tool prints, built from readable text, for comparing its output byte for byte.
namespace testimg {

// The usage text, one readable line an entry, in the order it is printed.
extern const char* const kUsageUtf8[21];
// The lines that follow those 21: format's parameters and boot.
extern const char* const kUsageMoreUtf8[3];

// One console line: the Shift_JIS bytes of the text and a line end.
std::string consoleLine(const std::string& utf8);
// The whole usage text as the tool prints it.
std::string usageOutput();
// What ls prints for these names: 13-byte columns, six to a line, a line end after each
// line and nothing at all for no names.
std::string listing(const std::vector<std::string>& names);

}  // namespace testimg
