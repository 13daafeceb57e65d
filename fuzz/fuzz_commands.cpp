#include <cstddef>
#include <cstdint>

#include "harness.hpp"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fat12img::fuzz::silenceToolOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fat12img::fuzz::runCommandSession(data, size);
    return 0;
}
