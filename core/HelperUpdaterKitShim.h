#pragma once

// Temporary stand-in for the shared update records until they land on main; removed then.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "kit/DecodingError.h"
#include "kit/HelperVersion.h"

namespace velmora::kit {

class HelperUpdateError {
  public:
    enum class Case {
        manifestInvalid,
        alreadyInProgress,
        downloadFailed,
        sizeMismatch,
        checksumMismatch,
        expansionFailed,
        signatureRejected,
        versionPreflightFailed,
        replaceFailed,
        cancelled,
        busy,
    };
    static HelperUpdateError manifestInvalid() { return HelperUpdateError(Case::manifestInvalid); }
    static HelperUpdateError alreadyInProgress() { return HelperUpdateError(Case::alreadyInProgress); }
    static HelperUpdateError downloadFailed(std::string t) { return {Case::downloadFailed, std::move(t)}; }
    static HelperUpdateError sizeMismatch() { return HelperUpdateError(Case::sizeMismatch); }
    static HelperUpdateError checksumMismatch() { return HelperUpdateError(Case::checksumMismatch); }
    static HelperUpdateError expansionFailed(std::string t) { return {Case::expansionFailed, std::move(t)}; }
    static HelperUpdateError signatureRejected(std::string t) {
        return {Case::signatureRejected, std::move(t)};
    }
    static HelperUpdateError versionPreflightFailed(HelperVersion e, std::string a) {
        return {Case::versionPreflightFailed, std::move(a), e};
    }
    static HelperUpdateError replaceFailed(std::string t) { return {Case::replaceFailed, std::move(t)}; }
    static HelperUpdateError cancelled() { return HelperUpdateError(Case::cancelled); }
    static HelperUpdateError busy() { return HelperUpdateError(Case::busy); }
    Case kind() const { return kind_; }
    const std::string& text() const { return text_; }
    const HelperVersion& expectedVersion() const { return expected_; }
    friend bool operator==(const HelperUpdateError&, const HelperUpdateError&) = default;

  private:
    HelperUpdateError(Case kind, std::string text = {}, HelperVersion expected = {})
        : kind_(kind), text_(std::move(text)), expected_(expected) {}
    Case kind_;
    std::string text_;
    HelperVersion expected_;
};

class HelperUpdateEvent {
  public:
    enum class Case { startedDownloading, downloaded, verified, staged, willRestart, failed };
    static HelperUpdateEvent startedDownloading(std::int64_t n) { return {Case::startedDownloading, n}; }
    static HelperUpdateEvent downloaded(std::int64_t n) { return {Case::downloaded, n}; }
    static HelperUpdateEvent verified() { return HelperUpdateEvent(Case::verified); }
    static HelperUpdateEvent staged() { return HelperUpdateEvent(Case::staged); }
    static HelperUpdateEvent willRestart() { return HelperUpdateEvent(Case::willRestart); }
    static HelperUpdateEvent failed(HelperUpdateError e) { return {Case::failed, 0, std::move(e)}; }
    Case kind() const { return kind_; }
    std::int64_t byteCount() const { return bytes_; }
    const std::optional<HelperUpdateError>& error() const { return error_; }
    friend bool operator==(const HelperUpdateEvent&, const HelperUpdateEvent&) = default;

  private:
    HelperUpdateEvent(Case kind, std::int64_t bytes = 0, std::optional<HelperUpdateError> error = {})
        : kind_(kind), bytes_(bytes), error_(std::move(error)) {}
    Case kind_;
    std::int64_t bytes_;
    std::optional<HelperUpdateError> error_;
};

struct HelperReleaseManifest {
    struct Download {
        std::string url;
        std::string fileName;
        std::string sha256;
        std::int64_t size = 0;
    };
    HelperVersion version;
    Download download;

    static tl::expected<HelperReleaseManifest, DecodingError> decode(std::string_view data) {
        try {
            auto json = nlohmann::json::parse(data);
            HelperReleaseManifest m;
            auto v = HelperVersion::fromJSON(json.at("version"));
            if (!v) return tl::unexpected(v.error());
            m.version = *v;
            const auto& d = json.at("download");
            m.download.url = d.at("url").get<std::string>();
            m.download.fileName = d.at("fileName").get<std::string>();
            m.download.sha256 = d.at("sha256").get<std::string>();
            m.download.size = d.at("size").get<std::int64_t>();
            if (!json.at("releaseNotes").is_array()) throw std::runtime_error("releaseNotes");
            return m;
        } catch (const std::exception& e) {
            return tl::unexpected(DecodingError{DecodingError::Kind::dataCorrupted, e.what()});
        }
    }
};

}  // namespace velmora::kit
