#include "kit/VelmoraHelperIdentity.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>

#include "kit/CurlUrlLibrary.h"
#include "platform/Logger.h"

namespace velmora::kit::VelmoraHelperIdentity {

namespace {

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

struct UrlDeleter {
    const CurlUrlLibrary* curl;
    void operator()(CURLU* url) const { curl->curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

// One component of a parsed URL, or nothing when the URL has none.
std::optional<std::string> urlPart(const UrlHandle& url, CURLUPart part, unsigned flags = 0) {
    const CurlUrlLibrary& curl = *url.get_deleter().curl;
    char* value = nullptr;
    if (curl.curl_url_get(url.get(), part, &value, flags) != CURLUE_OK || value == nullptr)
        return std::nullopt;
    std::string result(value);
    curl.curl_free(value);
    return result;
}

}  // namespace

const std::string& manifestURL() {
    static const std::string url = "https://" + std::string(downloadHost) + "/downloads/helper/manifest.json";
    return url;
}

const std::string& documentationURL() {
    static const std::string url = "https://" + std::string(downloadHost) + "/docs/terminal/local-shell";
    return url;
}

std::string machServiceName(std::string_view applicationGroupIdentifier) {
    return std::string(applicationGroupIdentifier) + ".helper";
}

std::vector<std::string> machServiceNames() {
    std::vector<std::string> names;
    for (auto group : applicationGroupIdentifiers) names.push_back(machServiceName(group));
    return names;
}

std::string clientCodeSigningRequirement() {
    std::string clauses;
    for (auto identifier : hostApplicationBundleIdentifiers) {
        if (!clauses.empty()) clauses += " or ";
        clauses += "identifier \"" + std::string(identifier) + "\"";
    }
    std::string team = "\"" + std::string(teamIdentifier) + "\"";
    std::string firstHalf = "anchor apple generic and (" + clauses + ")";
    std::string teamClause = "(certificate leaf[subject.OU] = " + team + " and " +
                             std::string(developerIDCertificateAuthorityMarker) + ")";
    std::string secondHalf =
        " and (certificate leaf[field.1.2.840.113635.100.6.1.9] or certificate "
        "leaf[field.1.2.840.113635.100.6.1.25.1] or " +
        teamClause + " or certificate leaf[subject.OU] = " + team + ")";
    return firstHalf + secondHalf;
}

std::filesystem::path installDirectoryURL(const std::filesystem::path& homeDirectory) {
    return homeDirectory / "Library" / "Application Support" / std::string(installDirectoryName);
}

std::filesystem::path installedBundleURL(const std::filesystem::path& homeDirectory) {
    return installDirectoryURL(homeDirectory) / std::string(bundleFileName);
}

std::filesystem::path updateStagingDirectoryURL(const std::filesystem::path& homeDirectory) {
    return installDirectoryURL(homeDirectory) / std::string(updateStagingDirectoryName);
}

std::filesystem::path executableURL(const std::filesystem::path& bundle) {
    return bundle / "Contents" / "MacOS" / std::string(productName);
}

std::string standardizePath(std::string_view path) {
    bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string_view> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view component = path.substr(start, end - start);
        if (component.empty() || component == ".") {
            // collapses
        } else if (component == ".." && !components.empty() && components.back() != "..") {
            components.pop_back();
        } else if (component == ".." && absolute) {
            // ".." at the root stays at the root
        } else {
            components.push_back(component);
        }
        start = end + 1;
    }
    std::string result = absolute ? "/" : "";
    for (size_t i = 0; i < components.size(); ++i) {
        if (i > 0) result += '/';
        result += components[i];
    }
    if (result.empty() && !path.empty() && !absolute) result = ".";
    return result;
}

bool isTrustedDownloadURL(std::string_view url) {
    auto curl = CurlUrlLibrary::get();
    if (!curl) {
        // Refused like any URL it cannot judge; the log says why.
        platform::LogCategory::installer.error(curl.error());
        return false;
    }
    UrlHandle handle((*curl)->curl_url(), UrlDeleter{*curl});
    if (!handle) return false;
    std::string text(url);
    // Keep the path exactly as written so that ".." is judged here, not silently resolved by the parser.
    if ((*curl)->curl_url_set(handle.get(), CURLUPART_URL, text.c_str(),
                              CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) != CURLUE_OK)
        return false;
    auto scheme = urlPart(handle, CURLUPART_SCHEME);
    if (!scheme || lowercased(*scheme) != downloadScheme) return false;
    auto host = urlPart(handle, CURLUPART_HOST);
    if (!host || lowercased(*host) != downloadHost) return false;
    // libcurl also finds a host in "https:/host/..." and "https:///host/...", which have no authority;
    // only the text shows it. The authority must be exactly the host.
    const std::string prefix = *scheme + "://";
    if (lowercased(std::string(url.substr(0, prefix.size()))) != prefix) return false;
    std::string_view afterScheme = url.substr(prefix.size());
    if (lowercased(std::string(afterScheme.substr(0, afterScheme.find_first_of("/?#\\")))) != downloadHost)
        return false;
    if (urlPart(handle, CURLUPART_USER) || urlPart(handle, CURLUPART_PASSWORD)) return false;
    if (urlPart(handle, CURLUPART_PORT)) return false;
    auto path = urlPart(handle, CURLUPART_PATH);
    if (!path) return false;
    std::string standardized = standardizePath(*path);
    if (standardized.find("..") != std::string::npos) return false;
    return standardized.size() > downloadPathPrefix.size() && standardized.starts_with(downloadPathPrefix);
}

}  // namespace velmora::kit::VelmoraHelperIdentity
