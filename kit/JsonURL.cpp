#include <memory>

#include "kit/CurlUrlLibrary.h"
#include "kit/JsonCodec.h"

namespace velmora::kit::jsoncodec {

bool isParsableURL(std::string_view text) {
    // libcurl reads a C string: an embedded NUL would let it judge only a prefix.
    if (text.find('\0') != std::string_view::npos) return false;
    // Only release manifests carry URLs, and they arrive through libcurl: it is loaded by then.
    auto curl = CurlUrlLibrary::get();
    if (!curl) return false;
    std::unique_ptr<CURLU, decltype(CurlUrlLibrary::curl_url_cleanup)> handle((*curl)->curl_url(),
                                                                              (*curl)->curl_url_cleanup);
    if (!handle) return false;
    std::string copy(text);
    return (*curl)->curl_url_set(handle.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) ==
           CURLUE_OK;
}

}  // namespace velmora::kit::jsoncodec
