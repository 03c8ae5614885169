#pragma once

#include <curl/curl.h>

#include <string>
#include <tl/expected.hpp>

namespace velmora::kit {

// libcurl's URL parser, loaded when a URL is first checked rather than at start (libcurl brings most of
// the libraries a start would otherwise map). The transfer functions live with the updater, so the kit
// stays usable without it. Each member has the type of the function it is named after.
struct CurlUrlLibrary {
    decltype(&::curl_url) curl_url = nullptr;
    decltype(&::curl_url_set) curl_url_set = nullptr;
    decltype(&::curl_url_get) curl_url_get = nullptr;
    decltype(&::curl_url_cleanup) curl_url_cleanup = nullptr;
    decltype(&::curl_free) curl_free = nullptr;

    // Loaded once for the process and never unloaded; later calls return the first outcome. The error
    // names the library and the reason, for a message people read.
    [[nodiscard]] static tl::expected<const CurlUrlLibrary*, std::string> get();
};

}  // namespace velmora::kit
