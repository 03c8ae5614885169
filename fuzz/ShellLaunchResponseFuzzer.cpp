#include "fuzz/RecordMaker.h"
#include "fuzz/RoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::checkRoundTrip<velmora::kit::ShellLaunchResponse>(data, size);
    FuzzedDataProvider provider(data, size);
    velmora::fuzz::checkValueRoundTrip(velmora::fuzz::makeShellLaunchResponse(provider));
    return 0;
}
