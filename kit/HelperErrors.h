#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "kit/DecodingError.h"
#include "kit/EncodingError.h"
#include "kit/HelperVersion.h"

namespace velmora::kit {

// Why an uninstall request was refused or failed. Built only through the case functions, so that
// a case without payload never carries one and equality is by case and payload. A text payload is
// made valid UTF-8 when the value is built (other bytes written as \xHH): paths and system messages
// may hold any bytes, and an error that could not be encoded would reach the client as a null reply,
// which means success.
//
// JSON: one member named after the case whose value holds the payload: {"busy":{}},
// {"spawnFailed":{"_0":"text"}}.
class HelperUninstallError {
  public:
    enum class Case { busy, spawnFailed };

    [[nodiscard]] static HelperUninstallError busy() { return HelperUninstallError(Case::busy, {}); }
    // `text` names what could not be started.
    [[nodiscard]] static HelperUninstallError spawnFailed(std::string text) {
        return HelperUninstallError(Case::spawnFailed, std::move(text));
    }

    [[nodiscard]] Case kind() const { return kind_; }
    // The text payload; empty for `busy`.
    [[nodiscard]] const std::string& text() const { return text_; }
    // One line for a person.
    [[nodiscard]] std::string summary() const;

    // Fails only if the encoder itself does: the text is valid UTF-8.
    [[nodiscard]] tl::expected<std::string, EncodingError> encoded() const;
    [[nodiscard]] static tl::expected<HelperUninstallError, DecodingError> decode(std::string_view data);

    friend bool operator==(const HelperUninstallError&, const HelperUninstallError&) = default;

  private:
    HelperUninstallError(Case kind, std::string text);

    Case kind_;
    std::string text_;
};

// Every way a self-update can end in failure. Same construction rules (texts made valid UTF-8) and JSON
// scheme as HelperUninstallError; `versionPreflightFailed` carries {"expected":"1.4.0","actual":"..."}.
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

    [[nodiscard]] static HelperUpdateError manifestInvalid() {
        return HelperUpdateError(Case::manifestInvalid);
    }
    [[nodiscard]] static HelperUpdateError alreadyInProgress() {
        return HelperUpdateError(Case::alreadyInProgress);
    }
    [[nodiscard]] static HelperUpdateError downloadFailed(std::string text) {
        return HelperUpdateError(Case::downloadFailed, std::move(text));
    }
    [[nodiscard]] static HelperUpdateError sizeMismatch() { return HelperUpdateError(Case::sizeMismatch); }
    [[nodiscard]] static HelperUpdateError checksumMismatch() {
        return HelperUpdateError(Case::checksumMismatch);
    }
    [[nodiscard]] static HelperUpdateError expansionFailed(std::string text) {
        return HelperUpdateError(Case::expansionFailed, std::move(text));
    }
    [[nodiscard]] static HelperUpdateError signatureRejected(std::string text) {
        return HelperUpdateError(Case::signatureRejected, std::move(text));
    }
    // `actual` is what the new helper printed, untrimmed.
    [[nodiscard]] static HelperUpdateError versionPreflightFailed(HelperVersion expected,
                                                                  std::string actual) {
        return HelperUpdateError(Case::versionPreflightFailed, std::move(actual), expected);
    }
    [[nodiscard]] static HelperUpdateError replaceFailed(std::string text) {
        return HelperUpdateError(Case::replaceFailed, std::move(text));
    }
    [[nodiscard]] static HelperUpdateError cancelled() { return HelperUpdateError(Case::cancelled); }
    [[nodiscard]] static HelperUpdateError busy() { return HelperUpdateError(Case::busy); }

    [[nodiscard]] Case kind() const { return kind_; }
    // The text payload (`actual` for versionPreflightFailed); empty for cases without one.
    [[nodiscard]] const std::string& text() const { return text_; }
    // The expected version of versionPreflightFailed; 0.0.0 for every other case.
    [[nodiscard]] const HelperVersion& expectedVersion() const { return expected_; }
    // One line for a person.
    [[nodiscard]] std::string summary() const;

    [[nodiscard]] tl::expected<std::string, EncodingError> encoded() const;
    [[nodiscard]] static tl::expected<HelperUpdateError, DecodingError> decode(std::string_view data);

    friend bool operator==(const HelperUpdateError&, const HelperUpdateError&) = default;

  private:
    explicit HelperUpdateError(Case kind, std::string text = {}, HelperVersion expected = {});

    Case kind_;
    std::string text_;
    HelperVersion expected_;
};

// One step of a running self-update as the client sees it. Has no JSON form of its own.
class HelperUpdateEvent {
  public:
    enum class Case { startedDownloading, downloaded, verified, staged, willRestart, failed };

    // `totalBytes` is the size the release manifest publishes.
    [[nodiscard]] static HelperUpdateEvent startedDownloading(std::int64_t totalBytes) {
        return HelperUpdateEvent(Case::startedDownloading, totalBytes);
    }
    // `receivedBytes` counts from the start of the download.
    [[nodiscard]] static HelperUpdateEvent downloaded(std::int64_t receivedBytes) {
        return HelperUpdateEvent(Case::downloaded, receivedBytes);
    }
    [[nodiscard]] static HelperUpdateEvent verified() { return HelperUpdateEvent(Case::verified); }
    [[nodiscard]] static HelperUpdateEvent staged() { return HelperUpdateEvent(Case::staged); }
    [[nodiscard]] static HelperUpdateEvent willRestart() { return HelperUpdateEvent(Case::willRestart); }
    [[nodiscard]] static HelperUpdateEvent failed(HelperUpdateError error) {
        return HelperUpdateEvent(Case::failed, 0, std::move(error));
    }

    [[nodiscard]] Case kind() const { return kind_; }
    // The payload of startedDownloading and downloaded; 0 otherwise.
    [[nodiscard]] std::int64_t byteCount() const { return bytes_; }
    // The payload of failed; nothing otherwise.
    [[nodiscard]] const std::optional<HelperUpdateError>& error() const { return error_; }

    friend bool operator==(const HelperUpdateEvent&, const HelperUpdateEvent&) = default;

  private:
    explicit HelperUpdateEvent(Case kind, std::int64_t bytes = 0, std::optional<HelperUpdateError> error = {})
        : kind_(kind), bytes_(bytes), error_(std::move(error)) {}

    Case kind_;
    std::int64_t bytes_;
    std::optional<HelperUpdateError> error_;
};

}  // namespace velmora::kit

template <>
struct std::hash<velmora::kit::HelperUninstallError> {
    std::size_t operator()(const velmora::kit::HelperUninstallError& error) const noexcept;
};

template <>
struct std::hash<velmora::kit::HelperUpdateError> {
    std::size_t operator()(const velmora::kit::HelperUpdateError& error) const noexcept;
};

template <>
struct std::hash<velmora::kit::HelperUpdateEvent> {
    std::size_t operator()(const velmora::kit::HelperUpdateEvent& event) const noexcept;
};
