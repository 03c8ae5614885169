#include "kit/CurlLibrary.h"

#include "platform/SharedLibrary.h"

namespace velmora::kit {

namespace {

tl::expected<CurlLibrary, std::string> load() {
    // Debian 12's libcurl4 (libcurl.so.4 is the soname; the unversioned name exists only with -dev).
    auto library = platform::SharedLibrary::open("libcurl.so.4");
    if (!library) return tl::unexpected(library.error());
    CurlLibrary table;
    tl::expected<void, std::string> bound;
    auto bind = [&](auto& slot, const char* name) {
        if (bound) bound = library->bind(slot, name);
    };
    bind(table.curl_url, "curl_url");
    bind(table.curl_url_set, "curl_url_set");
    bind(table.curl_url_get, "curl_url_get");
    bind(table.curl_url_cleanup, "curl_url_cleanup");
    bind(table.curl_free, "curl_free");
    bind(table.curl_global_init, "curl_global_init");
    bind(table.curl_easy_init, "curl_easy_init");
    bind(table.curl_easy_setopt, "curl_easy_setopt");
    bind(table.curl_easy_perform, "curl_easy_perform");
    bind(table.curl_easy_getinfo, "curl_easy_getinfo");
    bind(table.curl_easy_strerror, "curl_easy_strerror");
    bind(table.curl_easy_cleanup, "curl_easy_cleanup");
    bind(table.curl_slist_append, "curl_slist_append");
    bind(table.curl_slist_free_all, "curl_slist_free_all");
    if (!bound) return tl::unexpected(bound.error());
    // Before any other libcurl call and before a second thread could use it: curl_global_init is not
    // thread-safe, and the static below runs this exactly once.
    if (table.curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return tl::unexpected(std::string("libcurl.so.4 could not be initialised."));
    // Kept for the process's life: handles from it may be in use on any thread.
    static const auto* kept = new platform::SharedLibrary(std::move(*library));
    (void)kept;
    return table;
}

}  // namespace

tl::expected<const CurlLibrary*, std::string> CurlLibrary::get() {
    static const tl::expected<CurlLibrary, std::string> loaded = load();
    if (!loaded) return tl::unexpected(loaded.error());
    return &*loaded;
}

}  // namespace velmora::kit
