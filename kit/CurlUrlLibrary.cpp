#include "kit/CurlUrlLibrary.h"

#include "platform/SharedLibrary.h"

namespace velmora::kit {

tl::expected<const CurlUrlLibrary*, std::string> CurlUrlLibrary::get() {
    // Debian 12's libcurl4 (libcurl.so.4 is the soname; the unversioned name exists only with -dev).
    static const auto loaded =
        platform::SharedLibrary::loadTable<CurlUrlLibrary>("libcurl.so.4", [](auto& table, auto& bind) {
            bind(table.curl_url, "curl_url");
            bind(table.curl_url_set, "curl_url_set");
            bind(table.curl_url_get, "curl_url_get");
            bind(table.curl_url_cleanup, "curl_url_cleanup");
            bind(table.curl_free, "curl_free");
        });
    if (!loaded) return tl::unexpected(loaded.error());
    return &*loaded;
}

}  // namespace velmora::kit
