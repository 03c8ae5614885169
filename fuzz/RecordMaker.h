#pragma once

// Builds arbitrary record values from fuzzer bytes, so that the encoder is exercised on values no
// JSON seed would reach: any integer, empty and non-UTF-8 text, dates far outside four-digit years.

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "kit/HelperErrors.h"
#include "kit/HelperInfo.h"
#include "kit/HelperReleaseManifest.h"
#include "kit/JsonCodec.h"
#include "kit/ShellMessages.h"

namespace velmora::fuzz {

inline std::string makeText(FuzzedDataProvider& provider) {
    return provider.ConsumeRandomLengthString(64);
}

inline std::optional<std::string> makeOptionalText(FuzzedDataProvider& provider) {
    if (provider.ConsumeBool()) return std::nullopt;
    return makeText(provider);
}

// Versions with a negative component have no text form that reads back; the records carry them
// only when built in code, so the encoder is fed parsable versions here.
inline kit::HelperVersion makeParsableVersion(FuzzedDataProvider& provider) {
    return kit::HelperVersion{provider.ConsumeIntegralInRange<std::int64_t>(0, INT64_MAX),
                              provider.ConsumeIntegralInRange<std::int64_t>(0, INT64_MAX),
                              provider.ConsumeIntegralInRange<std::int64_t>(0, INT64_MAX)};
}

inline kit::ShellLaunchRequest makeShellLaunchRequest(FuzzedDataProvider& provider) {
    kit::ShellLaunchRequest request;
    request.columns = provider.ConsumeIntegral<std::int64_t>();
    request.rows = provider.ConsumeIntegral<std::int64_t>();
    request.workingDirectory = makeOptionalText(provider);
    request.shellPath = makeOptionalText(provider);
    request.loginShell = provider.ConsumeBool();
    for (auto count = provider.ConsumeIntegralInRange(0, 8); count > 0; --count) {
        std::string name = makeText(provider);
        request.environment[name] = makeText(provider);
    }
    request.terminalProgramVersion = makeOptionalText(provider);
    return request;
}

inline kit::ShellLaunchResponse makeShellLaunchResponse(FuzzedDataProvider& provider) {
    if (provider.ConsumeBool()) return kit::ShellLaunchResponse::failed(makeText(provider));
    kit::ShellLaunchResponse response;
    response.processIdentifier = provider.ConsumeIntegral<std::int32_t>();
    response.ttyPath = makeText(provider);
    response.shellPath = makeText(provider);
    response.workingDirectory = makeText(provider);
    response.failure = makeOptionalText(provider);
    return response;
}

inline kit::HelperInfo makeHelperInfo(FuzzedDataProvider& provider) {
    kit::HelperInfo info;
    info.version = makeParsableVersion(provider);
    info.build = provider.ConsumeIntegral<std::int64_t>();
    info.protocolVersion = provider.ConsumeIntegral<std::int64_t>();
    info.bundlePath = makeText(provider);
    info.processIdentifier = provider.ConsumeIntegral<std::int32_t>();
    info.loginShell = makeText(provider);
    info.userName = makeText(provider);
    return info;
}

inline kit::HelperUpdateError makeHelperUpdateError(FuzzedDataProvider& provider) {
    using kit::HelperUpdateError;
    switch (provider.ConsumeIntegralInRange(0, 10)) {
        case 0:
            return HelperUpdateError::manifestInvalid();
        case 1:
            return HelperUpdateError::alreadyInProgress();
        case 2:
            return HelperUpdateError::downloadFailed(makeText(provider));
        case 3:
            return HelperUpdateError::sizeMismatch();
        case 4:
            return HelperUpdateError::checksumMismatch();
        case 5:
            return HelperUpdateError::expansionFailed(makeText(provider));
        case 6:
            return HelperUpdateError::signatureRejected(makeText(provider));
        case 7:
            return HelperUpdateError::versionPreflightFailed(makeParsableVersion(provider),
                                                             makeText(provider));
        case 8:
            return HelperUpdateError::replaceFailed(makeText(provider));
        case 9:
            return HelperUpdateError::cancelled();
        default:
            return HelperUpdateError::busy();
    }
}

inline kit::HelperUninstallError makeHelperUninstallError(FuzzedDataProvider& provider) {
    if (provider.ConsumeBool()) return kit::HelperUninstallError::busy();
    return kit::HelperUninstallError::spawnFailed(makeText(provider));
}

inline kit::HelperReleaseManifest::Download makeDownload(FuzzedDataProvider& provider) {
    kit::HelperReleaseManifest::Download download;
    // Unparsable URLs are refused on reading by design, so the encoder is fed parsable ones.
    download.url = "https://downloads.velmora.example/" + makeText(provider);
    if (!kit::jsoncodec::isParsableURL(download.url))
        download.url = "https://downloads.velmora.example/archive.zip";
    download.fileName = makeText(provider);
    download.sha256 = makeText(provider);
    download.size = provider.ConsumeIntegral<std::int64_t>();
    return download;
}

inline kit::HelperReleaseManifest makeHelperReleaseManifest(FuzzedDataProvider& provider) {
    using namespace std::chrono;
    kit::HelperReleaseManifest manifest;
    manifest.schemaVersion = provider.ConsumeIntegral<std::int64_t>();
    manifest.version = makeParsableVersion(provider);
    manifest.build = provider.ConsumeIntegral<std::int64_t>();
    // Seconds from the start of year 0 to the end of year 9999 lie within +-2^38.
    manifest.publishedAt =
        sys_seconds{seconds{provider.ConsumeBool() ? provider.ConsumeIntegral<std::int64_t>()
                                                   : provider.ConsumeIntegralInRange<std::int64_t>(
                                                         -(std::int64_t{1} << 38), std::int64_t{1} << 38)}};
    manifest.minimumSystemVersion = makeText(provider);
    manifest.minimumAppVersion = makeParsableVersion(provider);
    manifest.protocolVersion = provider.ConsumeIntegral<std::int64_t>();
    manifest.download = makeDownload(provider);
    if (provider.ConsumeBool()) manifest.installer = makeDownload(provider);
    for (auto count = provider.ConsumeIntegralInRange(0, 8); count > 0; --count)
        manifest.releaseNotes.push_back(makeText(provider));
    return manifest;
}

}  // namespace velmora::fuzz
