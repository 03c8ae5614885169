#pragma once

#include <cstdint>
#include <string>

namespace velmora::codesign {

// Every status the signature code reports, in one table. The numbers are this project's own; they
// appear in the fixed texts ("… (N).") and in log lines.
enum class Status : std::int32_t {
    ok = 0,
    // The bundle cannot be opened as a bundle: missing, not a directory, no Contents folder.
    bundleUnreadable = -1001,
    // Walking the bundle failed (an I/O error, a file that vanished while it was read).
    bundleWalkFailed = -1002,
    // A requirement text that does not parse.
    requirementInvalid = -1101,
    // Contents/_CodeSignature/CodeResources or CodeSignature is absent.
    unsigned_ = -1201,
    // The CMS signature cannot be decoded (truncated, not DER, more or fewer than one signer).
    signatureDamaged = -1202,
    // The CMS signature does not match CodeResources.
    signatureInvalid = -1203,
    // CodeResources does not parse.
    resourcesDamaged = -1204,
    // The caller gave up on the check while it ran.
    checkCancelled = -1003,
    // The bundle on disk differs from CodeResources.
    fileAdded = -1211,
    fileMissing = -1212,
    fileModified = -1213,
    modeChanged = -1214,
    linkChanged = -1215,
    linkLeavesBundle = -1216,
    unsupportedFileType = -1217,
    // The signer's chain.
    chainUntrusted = -1221,
    certificateExpired = -1222,
    certificateNotYetValid = -1223,
    // The leaf is not meant for signing code (its key usage or extended key usage).
    certificateNotForCodeSigning = -1224,
    // The requirement evaluated to false.
    requirementFailed = -1301,
    // Execution policy.
    executableUnusable = -1401,
    executableNotElf = -1402,
    executableWrongMachine = -1403,
    executableOnNoexecMount = -1404,
    // Signing.
    signingFailed = -1501,
};

[[nodiscard]] constexpr std::int32_t number(Status status) {
    return static_cast<std::int32_t>(status);
}

// A failure with the verifier's own description (a sentence meant for a person).
struct CodeSignError {
    Status status = Status::ok;
    std::string description;

    friend bool operator==(const CodeSignError&, const CodeSignError&) = default;
};

// The fixed texts of the three failures that carry no description of their own.
std::string bundleUnreadableText(Status status);
std::string requirementUnbuildableText(Status status);
std::string requirementUnsatisfiedText(Status status);

}  // namespace velmora::codesign
