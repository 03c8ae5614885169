#include "fuzz/RoundTrip.h"
#include "kit/HelperErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return velmora::fuzz::checkRoundTrip<velmora::kit::HelperUpdateError>(data, size);
}
