#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <tl/expected.hpp>

#include "core/update/HelperUpdater.h"
#include "kit/HelperErrors.h"

// File-system pieces of a self-update. No state: every member is a plain function, safe to call from
// any thread. Failures come back as a text meant for a person (it names the call, the paths involved
// and the system's reason), because the update pipeline carries them as such.
namespace velmora::core::HelperUpdaterIO {

// A fresh version 4 UUID from getrandom(2), canonical upper-case text (8-4-4-4-12).
std::string makeRunIdentifier();

// Creates `directory` with every missing parent, default mode.
[[nodiscard]] tl::expected<void, std::string> createDirectories(const std::filesystem::path& directory);

// The size in bytes of the item at `path` (symbolic links followed), or -1 when it cannot be read or
// the item is not a regular file.
std::int64_t fileSize(const std::filesystem::path& path);

// Removes `path` with everything below it, giving each folder owner access first (an archive's
// read-only folder must not keep its contents). A missing item is no failure; the error names the
// first item that stayed and why.
[[nodiscard]] tl::expected<void, std::string> removeTree(const std::filesystem::path& path);

// removeTree with every failure ignored.
void removeItem(const std::filesystem::path& path) noexcept;

// True when something, even a dangling symbolic link, is at `path`.
bool itemExists(const std::filesystem::path& path) noexcept;

// Moves `source` to `destination` within one file system. Never replaces an existing destination
// (RENAME_NOREPLACE; where the file system refuses that flag, a check that the destination is free
// followed by a plain rename, which is safe for the fresh names the updater moves to).
[[nodiscard]] tl::expected<void, std::string> moveItem(const std::filesystem::path& source,
                                                       const std::filesystem::path& destination);

// Puts the item at `staged` in place of the item at `installed` and removes what was there before.
// First every file and directory of `staged` is written to disk. Then the kernel exchanges the two
// names atomically (renameat2 RENAME_EXCHANGE), or, when nothing is installed yet, renames without
// replacing (RENAME_NOREPLACE); at every instant `installed` holds the previous item or the new one,
// whole, however the process ends. File systems that refuse these flags with EINVAL get the same
// result in two renames (the previous item aside under a staged name, then the new one in place):
// there, a crash between the two leaves nothing installed. On success `staged` no longer exists.
// No backup is kept.
[[nodiscard]] tl::expected<void, std::string> replaceItem(const std::filesystem::path& installed,
                                                          const std::filesystem::path& staged);

// The rename primitive of moveItem and replaceItem, renameat2(2) on the working directory unless a
// test puts in one that refuses the flags as some file systems do; nullptr puts renameat2 back.
using RenameFunction = int (*)(const char* from, const char* to, unsigned flags);
void setRenameForTesting(RenameFunction rename);
// The new bundle's code signature against the helper requirement, then the execution policy
// (assessWithGatekeeper). Fails with `signatureRejected`: "The bundle could not be read for verification
// (N).", "The signing requirement could not be built (N).", the verifier's own description, "The
// signature does not satisfy the Velmora Helper requirement (N).", or the policy's description.
[[nodiscard]] tl::expected<void, kit::HelperUpdateError> verifySignature(const std::filesystem::path& bundle);

// The execution policy for the bundle's executable (Contents/MacOS/Velmora Helper): a regular,
// executable ELF file for this machine, not on a noexec mount. Fails with `signatureRejected`.
[[nodiscard]] tl::expected<void, kit::HelperUpdateError> assessWithGatekeeper(
    const std::filesystem::path& bundle);

// ---- The live steps of a self-update

// The steps that talk to the outside world, for the one updater of the service. `openShellCount` is
// passed on unchanged.
HelperUpdater::Dependencies liveDependencies(HelperUpdater::Dependencies::OpenShellCount openShellCount);

// Fetches `source` over HTTPS (redirects too, never another protocol) with the system's trust store
// into a temporary file beside `destination`, then moves it to `destination`, never replacing what is
// there. `progress` gets the running total of body bytes received. The transfer runs on a thread of
// its own, so neither the caller nor the updater's queue waits for it; `completion` runs once, on that
// thread, after the last `progress`. It ends:
// - with a cancellation once `isCancelled` says so (polled at least once a second);
// - with the transport's error text when 60 seconds pass without a byte received (or no connection);
// - with `downloadFailed` carrying the reason phrase of a status outside 200-299 (its body not taken
//   in, however long), or the move's error;
// - with `sizeMismatch` as soon as the body of a success passes `maximumBytes`.
// The temporary file is removed whenever it ends without the move.
void download(const std::string& source, const std::filesystem::path& destination, std::int64_t maximumBytes,
              HelperUpdater::ProgressHandler progress, HelperUpdater::CancellationProbe isCancelled,
              HelperUpdater::DownloadCompletion completion);

// The lower-case reason phrase for an HTTP status, from a fixed table (HTTP/2 carries none); unknown
// codes get the phrase of their class ("client error", ...).
std::string reasonPhrase(long status);

// Unpacks the ZIP archive into the existing directory `destination` in this process: the tree and the
// permission bits (set-id bits dropped, folders always open to their owner) as stored, owners not
// restored; "." components are dropped. Refuses, with `expansionFailed`, absolute names, ".."
// components, entries that are neither files, directories nor links, links whose target leaves
// `destination`, writing through a link, more than 64 times the archive's size in bytes or more than
// 100000 entries, and any write or flush that fails (the text names the system's reason); what was
// unpacked before a refusal stays for the caller's clean-up.
[[nodiscard]] tl::expected<void, kit::HelperUpdateError> expand(const std::filesystem::path& archive,
                                                                const std::filesystem::path& destination);

// Runs the bundle's executable with "--version" (standard error to /dev/null, standard input and
// environment inherited), reads its standard output to the end, then waits for it. Exit 0: the output
// as it is (empty when not UTF-8). Another exit status s: "exit s"; a death by signal n: "signal n".
// Either makes the pipeline fail with versionPreflightFailed, naming it. The error is the spawn's.
[[nodiscard]] tl::expected<std::string, std::string> reportedVersion(const std::filesystem::path& bundle);

// Logs the restart line and ends the process with status 0 after 1.5 seconds, from a thread of the
// dispatch pool (in service mode the main thread is one of them). Returns at once. The service manager
// starts the installed bundle, now the new one, on the next connection.
void scheduleRestart();

}  // namespace velmora::core::HelperUpdaterIO
