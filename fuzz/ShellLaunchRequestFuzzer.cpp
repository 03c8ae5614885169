#include "fuzz/RecordMaker.h"
#include "fuzz/RoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::checkRoundTrip<velmora::kit::ShellLaunchRequest>(data, size);
    FuzzedDataProvider provider(data, size);
    velmora::fuzz::checkValueRoundTrip(velmora::fuzz::makeShellLaunchRequest(provider));
    return 0;
}
