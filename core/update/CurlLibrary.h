#pragma once

#include <curl/curl.h>

#include <string>
#include <tl/expected.hpp>

namespace velmora::core {

// The libcurl transfer functions the update's download uses, loaded when an update first needs them
// rather than at start (libcurl brings most of the libraries a start would otherwise map). URL parsing
// is the kit's (kit/CurlUrlLibrary.h). Each member has the type of the function it is named after.
struct CurlLibrary {
    decltype(&::curl_global_init) curl_global_init = nullptr;
    decltype(&::curl_easy_init) curl_easy_init = nullptr;
    decltype(&::curl_easy_setopt) curl_easy_setopt = nullptr;
    decltype(&::curl_easy_perform) curl_easy_perform = nullptr;
    decltype(&::curl_easy_getinfo) curl_easy_getinfo = nullptr;
    decltype(&::curl_easy_strerror) curl_easy_strerror = nullptr;
    decltype(&::curl_easy_cleanup) curl_easy_cleanup = nullptr;
    decltype(&::curl_slist_append) curl_slist_append = nullptr;
    decltype(&::curl_slist_free_all) curl_slist_free_all = nullptr;

    // Loaded once for the process and never unloaded (libcurl keeps global state); later calls return
    // the first outcome. The error names the library and the reason, for a message people read.
    [[nodiscard]] static tl::expected<const CurlLibrary*, std::string> get();
};

}  // namespace velmora::core
