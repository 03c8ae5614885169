// One libFuzzer target per record, chosen with VELMORA_FUZZ_RECORD at build time. From bytes: whatever
// decodes must encode, decode again to an equal value with an equal hash, and encode to the same bytes
// the second time. From a value built out of the bytes (any integer, empty and non-UTF-8 text, dates far
// outside four-digit years): whatever encodes must decode to an equal value, its paths made valid UTF-8.

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstdint>

#include "kit/HelperErrors.h"
#include "kit/HelperInfo.h"
#include "kit/HelperReleaseManifest.h"
#include "kit/JsonCodec.h"
#include "kit/ShellMessages.h"

namespace velmora::fuzz {
namespace {

using Bytes = FuzzedDataProvider;
using kit::HelperUpdateError;

std::string text(Bytes& in) {
    return in.ConsumeRandomLengthString(64);
}
std::optional<std::string> optionalText(Bytes& in) {
    return in.ConsumeBool() ? std::nullopt : std::optional(text(in));
}
template <class T>
T any(Bytes& in) {
    return in.ConsumeIntegral<T>();
}
// A negative component has no text form that reads back; records carry one only when built in code.
kit::HelperVersion version(Bytes& in) {
    auto part = [&] { return in.ConsumeIntegralInRange<std::int64_t>(0, INT64_MAX); };
    return {part(), part(), part()};
}

}  // namespace

// Not file-local: each build uses the one for its record.
kit::ShellLaunchRequest make(Bytes& in, kit::ShellLaunchRequest*) {
    kit::ShellLaunchRequest r{any<std::int64_t>(in), any<std::int64_t>(in), optionalText(in),
                              optionalText(in), in.ConsumeBool()};
    for (auto count = in.ConsumeIntegralInRange(0, 8); count > 0; --count) r.environment[text(in)] = text(in);
    r.terminalProgramVersion = optionalText(in);
    return r;
}
kit::ShellLaunchResponse make(Bytes& in, kit::ShellLaunchResponse*) {
    if (in.ConsumeBool()) return kit::ShellLaunchResponse::failed(text(in));
    return {any<std::int32_t>(in), text(in), text(in), text(in), optionalText(in)};
}
kit::HelperInfo make(Bytes& in, kit::HelperInfo*) {
    return {version(in), any<std::int64_t>(in), any<std::int64_t>(in),
            text(in),    any<std::int32_t>(in), text(in),
            text(in)};
}
kit::HelperUninstallError make(Bytes& in, kit::HelperUninstallError*) {
    return in.ConsumeBool() ? kit::HelperUninstallError::busy()
                            : kit::HelperUninstallError::spawnFailed(text(in));
}
HelperUpdateError make(Bytes& in, HelperUpdateError*) {
    using E = HelperUpdateError;
    E(*const withText[])
    (std::string) = {E::downloadFailed, E::expansionFailed, E::signatureRejected, E::replaceFailed};
    auto pick = in.ConsumeIntegralInRange<size_t>(0, 5);
    if (pick < std::size(withText)) return withText[pick](text(in));
    // The cases without a payload all share the form of `busy`.
    return pick == 4 ? E::versionPreflightFailed(version(in), text(in)) : E::busy();
}
kit::HelperReleaseManifest::Download download(Bytes& in) {
    // Unparsable URLs are refused on reading by design, so the encoder is fed parsable ones.
    std::string url = "https://downloads.velmora.example/" + text(in);
    if (!kit::jsoncodec::isParsableURL(url)) url = "https://downloads.velmora.example/a.zip";
    return {url, text(in), text(in), any<std::int64_t>(in)};
}
kit::HelperReleaseManifest make(Bytes& in, kit::HelperReleaseManifest*) {
    kit::HelperReleaseManifest r;
    r.schemaVersion = any<std::int64_t>(in);
    r.version = version(in);
    r.build = any<std::int64_t>(in);
    // Seconds from the start of year 0 to the end of year 9999 lie within +-2^38.
    constexpr std::int64_t years = std::int64_t{1} << 38;
    r.publishedAt = std::chrono::sys_seconds{std::chrono::seconds{
        in.ConsumeBool() ? any<std::int64_t>(in) : in.ConsumeIntegralInRange<std::int64_t>(-years, years)}};
    r.minimumSystemVersion = text(in);
    r.minimumAppVersion = version(in);
    r.protocolVersion = any<std::int64_t>(in);
    r.download = download(in);
    if (in.ConsumeBool()) r.installer = download(in);
    for (auto count = in.ConsumeIntegralInRange(0, 8); count > 0; --count) r.releaseNotes.push_back(text(in));
    return r;
}

namespace {

template <typename Record>
void checkRoundTrip(std::string_view input) {
    auto value = Record::decode(input);
    if (!value) {
        if (value.error().description.empty()) __builtin_trap();  // a refusal must say why
        return;
    }
    auto bytes = value->encoded();
    if (!bytes) __builtin_trap();
    auto again = Record::decode(*bytes);
    if (!again || !(*again == *value) || std::hash<Record>{}(*again) != std::hash<Record>{}(*value))
        __builtin_trap();
    auto bytesAgain = again->encoded();
    if (!bytesAgain || *bytesAgain != *bytes) __builtin_trap();
}

// What a value reads back as: the texts a record writes with bad bytes shown as \xHH (paths a client
// must still see) come back in that form; everything else comes back as it was.
template <typename Record>
Record readBack(Record value) {
    return value;
}
[[maybe_unused]] kit::HelperInfo readBack(kit::HelperInfo value) {
    for (auto* text : {&value.bundlePath, &value.loginShell, &value.userName})
        *text = kit::jsoncodec::escapeInvalidUTF8(*text);
    return value;
}
[[maybe_unused]] kit::ShellLaunchResponse readBack(kit::ShellLaunchResponse value) {
    for (auto* text : {&value.shellPath, &value.workingDirectory})
        *text = kit::jsoncodec::escapeInvalidUTF8(*text);
    if (value.failure) value.failure = kit::jsoncodec::escapeInvalidUTF8(*value.failure);
    return value;
}

template <typename Record>
void checkValueRoundTrip(const Record& value) {
    auto bytes = value.encoded();
    if (!bytes) {
        if (bytes.error().description.empty()) __builtin_trap();
        return;
    }
    auto decoded = Record::decode(*bytes);
    if (!decoded || !(*decoded == readBack(value))) __builtin_trap();
}

}  // namespace
}  // namespace velmora::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Record = velmora::kit::VELMORA_FUZZ_RECORD;
    velmora::fuzz::checkRoundTrip<Record>({reinterpret_cast<const char*>(data), size});
    FuzzedDataProvider provider(data, size);
    velmora::fuzz::checkValueRoundTrip(velmora::fuzz::make(provider, static_cast<Record*>(nullptr)));
    return 0;
}
