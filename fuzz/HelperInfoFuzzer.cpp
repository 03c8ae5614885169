#include "fuzz/RecordMaker.h"
#include "fuzz/RoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::checkRoundTrip<velmora::kit::HelperInfo>(data, size);
    FuzzedDataProvider provider(data, size);
    velmora::fuzz::checkValueRoundTrip(velmora::fuzz::makeHelperInfo(provider));
    return 0;
}
