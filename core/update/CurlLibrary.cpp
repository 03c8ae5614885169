#include "core/update/CurlLibrary.h"

#include "platform/SharedLibrary.h"

namespace velmora::core {

namespace {

tl::expected<CurlLibrary, std::string> load() {
    // Debian 12's libcurl4 (libcurl.so.4 is the soname; the unversioned name exists only with -dev).
    auto table = platform::SharedLibrary::loadTable<CurlLibrary>("libcurl.so.4", [](auto& t, auto& bind) {
        bind(t.curl_global_init, "curl_global_init");
        bind(t.curl_easy_init, "curl_easy_init");
        bind(t.curl_easy_setopt, "curl_easy_setopt");
        bind(t.curl_easy_perform, "curl_easy_perform");
        bind(t.curl_easy_getinfo, "curl_easy_getinfo");
        bind(t.curl_easy_strerror, "curl_easy_strerror");
        bind(t.curl_easy_cleanup, "curl_easy_cleanup");
        bind(t.curl_slist_append, "curl_slist_append");
        bind(t.curl_slist_free_all, "curl_slist_free_all");
    });
    if (!table) return table;
    // Before any transfer and before a second thread could use it: curl_global_init is not
    // thread-safe, and the static in get() runs this exactly once.
    if (table->curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return tl::unexpected(std::string("libcurl.so.4 could not be initialised."));
    return table;
}

}  // namespace

tl::expected<const CurlLibrary*, std::string> CurlLibrary::get() {
    static const tl::expected<CurlLibrary, std::string> loaded = load();
    if (!loaded) return tl::unexpected(loaded.error());
    return &*loaded;
}

}  // namespace velmora::core
