#include "kit/HelperErrors.h"

#include <array>

#include "kit/JsonCodec.h"

namespace velmora::kit {

namespace {

enum class Payload { none, text, versionPreflight };

template <typename CaseType>
struct CaseName {
    CaseType kind;
    std::string_view name;
    Payload payload;
};

constexpr std::array<CaseName<HelperUninstallError::Case>, 2> uninstallCases{{
    {HelperUninstallError::Case::busy, "busy", Payload::none},
    {HelperUninstallError::Case::spawnFailed, "spawnFailed", Payload::text},
}};

constexpr std::array<CaseName<HelperUpdateError::Case>, 11> updateCases{{
    {HelperUpdateError::Case::manifestInvalid, "manifestInvalid", Payload::none},
    {HelperUpdateError::Case::alreadyInProgress, "alreadyInProgress", Payload::none},
    {HelperUpdateError::Case::downloadFailed, "downloadFailed", Payload::text},
    {HelperUpdateError::Case::sizeMismatch, "sizeMismatch", Payload::none},
    {HelperUpdateError::Case::checksumMismatch, "checksumMismatch", Payload::none},
    {HelperUpdateError::Case::expansionFailed, "expansionFailed", Payload::text},
    {HelperUpdateError::Case::signatureRejected, "signatureRejected", Payload::text},
    {HelperUpdateError::Case::versionPreflightFailed, "versionPreflightFailed", Payload::versionPreflight},
    {HelperUpdateError::Case::replaceFailed, "replaceFailed", Payload::text},
    {HelperUpdateError::Case::cancelled, "cancelled", Payload::none},
    {HelperUpdateError::Case::busy, "busy", Payload::none},
}};

template <typename CaseType, std::size_t N>
const CaseName<CaseType>& entryFor(const std::array<CaseName<CaseType>, N>& table, CaseType kind) {
    for (const auto& entry : table)
        if (entry.kind == kind) return entry;
    return table.front();  // unreachable: every case has a row
}

// What a decoded case carries before it becomes a value.
struct DecodedCase {
    std::size_t row = 0;
    std::string text;
    HelperVersion expected;
};

// The single-member form shared by both enumerations: the one member whose key names a case,
// holding an object with the payload.
template <typename CaseType, std::size_t N>
tl::expected<DecodedCase, DecodingError> decodeCase(const std::array<CaseName<CaseType>, N>& table,
                                                    std::string_view data, std::string_view typeName) {
    auto document = jsoncodec::parseDocument(data);
    if (!document) return tl::unexpected(document.error());
    if (!document->is_object())
        return tl::unexpected(DecodingError{DecodingError::Kind::typeMismatch,
                                            "Expected to decode " + std::string(typeName) + " but found " +
                                                document->type_name() + " instead."});
    std::optional<std::size_t> found;
    std::size_t count = 0;
    for (std::size_t row = 0; row < N; ++row) {
        if (document->contains(table[row].name)) {
            found = row;
            ++count;
        }
    }
    if (count != 1)
        return tl::unexpected(
            DecodingError{DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one."});

    const auto& entry = table[*found];
    jsoncodec::ObjectReader reader(document->at(entry.name), std::string(entry.name),
                                   "Dictionary<String, Any>");
    DecodedCase decoded{.row = *found};
    switch (entry.payload) {
        case Payload::none:
            break;
        case Payload::text:
            decoded.text = reader.string("_0");
            break;
        case Payload::versionPreflight:
            decoded.expected = reader.version("expected");
            decoded.text = reader.string("actual");
            break;
    }
    if (reader.failed()) return tl::unexpected(reader.error());
    return decoded;
}

tl::expected<std::string, EncodingError> encodeCase(std::string_view name, Payload payload,
                                                    const std::string& text, const HelperVersion& expected) {
    nlohmann::ordered_json body = nlohmann::ordered_json::object();
    switch (payload) {
        case Payload::none:
            break;
        case Payload::text:
            body["_0"] = text;
            break;
        case Payload::versionPreflight:
            body["expected"] = expected.description();
            body["actual"] = text;
            break;
    }
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object[std::string(name)] = std::move(body);
    return jsoncodec::dumpCompact(object);
}

constexpr std::string_view busySummary = "A local terminal is open.";

}  // namespace

HelperUninstallError::HelperUninstallError(Case kind, std::string text)
    : kind_(kind), text_(jsoncodec::escapeInvalidUTF8(text)) {}

std::string HelperUninstallError::summary() const {
    switch (kind_) {
        case Case::busy:
            return std::string(busySummary);
        case Case::spawnFailed:
            return text_;
    }
    return text_;
}

tl::expected<std::string, EncodingError> HelperUninstallError::encoded() const {
    const auto& entry = entryFor(uninstallCases, kind_);
    return encodeCase(entry.name, entry.payload, text_, {});
}

tl::expected<HelperUninstallError, DecodingError> HelperUninstallError::decode(std::string_view data) {
    auto decoded = decodeCase(uninstallCases, data, "HelperUninstallError");
    if (!decoded) return tl::unexpected(decoded.error());
    return HelperUninstallError(uninstallCases[decoded->row].kind, std::move(decoded->text));
}

HelperUpdateError::HelperUpdateError(Case kind, std::string text, HelperVersion expected)
    : kind_(kind), text_(jsoncodec::escapeInvalidUTF8(text)), expected_(expected) {}

std::string HelperUpdateError::summary() const {
    switch (kind_) {
        case Case::manifestInvalid:
            return "The update information is not usable.";
        case Case::alreadyInProgress:
            return "An update is already running.";
        case Case::sizeMismatch:
            return "The download is not the published size.";
        case Case::checksumMismatch:
            return "The download does not match its published checksum.";
        case Case::cancelled:
            return "The update was cancelled.";
        case Case::busy:
            return std::string(busySummary);
        case Case::versionPreflightFailed: {
            std::string_view reported = trimWhitespace(text_);
            if (reported.empty())
                return "The new helper did not report a version; " + expected_.description() +
                       " was expected.";
            return "The new helper reported " + std::string(reported) + "; " + expected_.description() +
                   " was expected.";
        }
        case Case::downloadFailed:
        case Case::expansionFailed:
        case Case::signatureRejected:
        case Case::replaceFailed:
            return text_;
    }
    return text_;
}

tl::expected<std::string, EncodingError> HelperUpdateError::encoded() const {
    const auto& entry = entryFor(updateCases, kind_);
    return encodeCase(entry.name, entry.payload, text_, expected_);
}

tl::expected<HelperUpdateError, DecodingError> HelperUpdateError::decode(std::string_view data) {
    auto decoded = decodeCase(updateCases, data, "HelperUpdateError");
    if (!decoded) return tl::unexpected(decoded.error());
    return HelperUpdateError(updateCases[decoded->row].kind, std::move(decoded->text), decoded->expected);
}

}  // namespace velmora::kit

std::size_t std::hash<velmora::kit::HelperUninstallError>::operator()(
    const velmora::kit::HelperUninstallError& error) const noexcept {
    std::size_t seed = 0;
    velmora::kit::hashCombine(seed, static_cast<std::size_t>(error.kind()));
    velmora::kit::hashCombine(seed, std::hash<std::string>{}(error.text()));
    return seed;
}

std::size_t std::hash<velmora::kit::HelperUpdateError>::operator()(
    const velmora::kit::HelperUpdateError& error) const noexcept {
    std::size_t seed = 0;
    velmora::kit::hashCombine(seed, static_cast<std::size_t>(error.kind()));
    velmora::kit::hashCombine(seed, std::hash<std::string>{}(error.text()));
    velmora::kit::hashCombine(seed, std::hash<velmora::kit::HelperVersion>{}(error.expectedVersion()));
    return seed;
}

std::size_t std::hash<velmora::kit::HelperUpdateEvent>::operator()(
    const velmora::kit::HelperUpdateEvent& event) const noexcept {
    std::size_t seed = 0;
    velmora::kit::hashCombine(seed, static_cast<std::size_t>(event.kind()));
    velmora::kit::hashCombine(seed, std::hash<std::int64_t>{}(event.byteCount()));
    if (event.error())
        velmora::kit::hashCombine(seed, std::hash<velmora::kit::HelperUpdateError>{}(*event.error()));
    return seed;
}
