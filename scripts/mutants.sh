#!/usr/bin/env bash
# Applies deliberate one-line faults, one at a time, to a scratch copy of the tree, rebuilds it and runs
# the tests that should notice. A fault is "caught" when a test fails (or the run times out).
#
#   scripts/mutants.sh [--rev REV] [--only NAME[,NAME...]] [--list] [--no-baseline]
#
# The scratch copy lives in $MUTANTS_DIR (default /tmp/velmora-mutants): src/ holds the files of REV
# (default HEAD), build/ is kept between runs so that each fault costs an incremental build only.
# Files are copied only when their contents differ, so unchanged sources are not rebuilt. Where ccache
# is installed it compiles, with the scratch folder as its base so that scratch folders can share objects.
#
# Before the faults, every test runs once on the unchanged tree; tests failing there are left out.
# --no-baseline skips that run (quicker with --only): then a test that fails anyway counts as a catch.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
scratch="${MUTANTS_DIR:-/tmp/velmora-mutants}"
rev=HEAD
only=""
list=0
baseline=1
while [[ $# -gt 0 ]]; do
  case "$1" in
    --rev) rev="$2"; shift 2 ;;
    --only) only=",$2,"; shift 2 ;;
    --list) list=1; shift ;;
    --no-baseline) baseline=0; shift ;;
    *) echo "usage: $0 [--rev REV] [--only NAME,...] [--list] [--no-baseline]" >&2; exit 64 ;;
  esac
done

# Test groups, by gtest suite name.
shell='^(Service|PTYShell|SpawnLoginShell|PseudoTerminal|ShellLaunchEnvironment|ShellEnvironment)'
xpc='^(Xpc|HostilePeer|Service)'
updater='^HelperUpdater'
records='^(ShellLaunch|HelperInfo|HelperError|HelperRelease|HelperVersion|Records|Service)'

# name # file # exact text (\n for a line break) # replacement # tests (ctest -R) # "slow" to include slow tests
mutants=$(cat <<'EOF'
login-prefix-dropped#kit/ShellLaunchEnvironment.cpp#return "-" + executableName(shellPath);#return executableName(shellPath);#$shell#
envp-dangles#core/PTYShellSpawn.cpp#for (auto& text : environmentTexts_) environmentVector_#for (auto text : environmentTexts_) environmentVector_#$shell#
argv-dangles#core/PTYShellSpawn.cpp#argumentVector_ = {argumentZero_.data(), nullptr};#argumentVector_ = {argumentZero.data(), nullptr};#$shell#
exit-reported-twice#helper/HelperConnectionSession.cpp#    notifyClientOfExit(processIdentifier, result);#    notifyClientOfExit(processIdentifier, result); notifyClientOfExit(processIdentifier, result);#$shell#
no-hang-up#core/PTYShellProcess.cpp#    (void)sendToProcessGroup(SIGHUP);#    (void)0;#$shell#
no-delayed-kill#core/PTYShellProcess.cpp#if (!exited) (void)self->sendToProcessGroup(SIGKILL);#if (false && !exited) (void)self->sendToProcessGroup(SIGKILL);#$shell#
window-clamp-too-wide#core/PTYShellProcess.cpp#PTYShellProcess::kMinimumWindowSide, PTYShellProcess::kMaximumWindowSide#PTYShellProcess::kMinimumWindowSide, std::int64_t{65535}#$shell#
inherited-variable-let-through#kit/ShellLaunchEnvironment.cpp#return name == "__CF_USER_TEXT_ENCODING" || name == "SSH_AUTH_SOCK";#return !name.empty();#$shell#
reply-sent-twice#kit/xpc/Reply.h#auto state = std::move(state_);\n        if (state->handler)#auto& state = state_;\n        if (state->handler)#$xpc#
descriptors-leak-to-shell#pty/SpawnLoginShell.cpp#if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_UNSHARE) == 0) return true;#if (::syscall(SYS_unshare, CLONE_FILES) == 0) return true;#$shell#
signal-mask-kept#pty/SpawnLoginShell.cpp#::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &empty, nullptr, kKernelSignalSetSize);#(void)empty;#$shell#
exit-status-decoded-wrong#core/PTYShellReaping.cpp#if (info.si_code == CLD_EXITED)#if (info.si_code == CLD_KILLED)#$shell#
open-queue-not-round-robin#helper/HelperOpenQueue.h#            turns_.push_back(owner);#            turns_.push_front(owner);#^ServiceRobustness\.#
opens-refused-in-bursts#helper/HelperOpenQueue.h#            if (waiting.empty()) turns_.push_back(owner);#            if (waiting.size() >= 64) return task(false);\n            if (waiting.empty()) turns_.push_back(owner);#^ServiceRobustness\.#
closed-shell-kept-in-table#helper/HelperConnectionSession.cpp#if (auto process = takeShell(processIdentifier)) process->close(core::PTYShellProcess::HangUp::yes);#if (auto process = shell(processIdentifier)) process->close(core::PTYShellProcess::HangUp::yes);#$shell#
released-shell-never-killed#core/PTYShellReaping.cpp#if (!reaped_) (void)::kill(-pid_, SIGKILL);#if (false && !reaped_) (void)::kill(-pid_, SIGKILL);#$shell#
requested-variable-not-dropped#kit/ShellLaunchEnvironment.cpp#if (!dropped.contains(name) && usableVariable(name, value))#if (usableVariable(name, value))#$shell#
signal-dispositions-kept#pty/SpawnLoginShell.cpp#for (int number = 1; number < NSIG; ++number)#for (int number = 1; number < 1; ++number)#$shell#
working-directory-ignored#pty/SpawnLoginShell.cpp#if (plan.workingDirectory != nullptr && ::syscall(SYS_chdir#if (false && plan.workingDirectory != nullptr && ::syscall(SYS_chdir#$shell#
version-mismatch-accepted#core/update/HelperUpdater.cpp#if (!version || *version != expected)#if (!version)#$updater#
idle-timer-not-rearmed#helper/HelperService.cpp#        session->closeAllShells();\n        self->scheduleIdleExitIfNeeded();#        session->closeAllShells();#^IdleExit#slow
peer-of-another-user-served#kit/xpc/ConnectionPeer.cpp#if (peer_.uid != ::geteuid())#if (false && peer_.uid != ::geteuid())#$xpc#
oversized-packet-accepted#kit/xpc/ConnectionReading.cpp#    if (truncated) {#    if (false && truncated) {#$xpc#
stale-socket-not-replaced#kit/xpc/Listener.cpp#if (::unlink(path.c_str()) != 0 && errno != ENOENT) return#if (false) return#$xpc#
bind-without-the-lock#kit/xpc/Listener.cpp#if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {#if (false && ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {#$xpc#
socket-open-to-others#kit/xpc/Listener.cpp#if (::chmod(path.c_str(), 0600) != 0)#if (::chmod(path.c_str(), 0666) != 0)#$xpc#
wrong-json-key#kit/ShellMessages.cpp#object["ttyPath"] = ttyPath;#object["ttypath"] = ttyPath;#$records#
swap-not-atomic#core/update/HelperUpdaterIO.cpp#error = renameItem(staged, installed, RENAME_EXCHANGE);#error = (removeItem(installed), renameItem(staged, installed, 0));#$updater#
digest-not-compared#core/update/HelperUpdater.cpp#if (!digest || !equalsIgnoringASCIICase(*digest, run.manifest.download.sha256))#if (!digest || (false && !equalsIgnoringASCIICase(*digest, run.manifest.download.sha256)))#$updater#
busy-swap-allowed#core/update/HelperUpdater.cpp#    if (!noShellOpen(dependencies_)) return tl::unexpected(#    if (false) return tl::unexpected(#$updater#
minimum-version-compare-wrong#kit/HelperReleaseManifest.cpp#if (appVersion < minimumAppVersion)#if (appVersion <= minimumAppVersion)#$records#
client-signature-not-checked#helper/HelperClientCheck.cpp#            refusal = checked.error();#            (void)checked;#^ClientCheck\.#
call-before-admission-read#kit/xpc/ConnectionPeer.cpp#early = inputWaiting(impl_->fd);#early = EarlyInput::none;#^ClientCheckAttack\.#
client-sends-before-admission#kit/xpc/ConnectionSending.cpp#if (impl_->queue.empty() && impl_->accepted) {#if (impl_->queue.empty()) {#^(ClientCheck|Service\.)#
writable-folder-passes#codesign/ProcessMappings.cpp#if (unsafe(status) && !protectedEntry) return#if (false && unsafe(status) && !protectedEntry) return#^ClientCheckAttack\.#
tracer-ignored#codesign/ProcessMappings.cpp#if (identity->tracer != 0) return#if (false) return#^ClientCheckAttack\.#
anonymous-code-passes#codesign/ProcessMappings.cpp#return "anonymous executable memory " + describe(mapping);#return std::nullopt;#^HostilePeer\.#
other-sender-served#kit/xpc/ConnectionReading.cpp#Handshake::announce && received->sender != peer_.pid) {#Handshake::announce && false) {#^ClientCheckAttack\.#
update-signature-not-checked#core/update/HelperUpdaterIO.cpp#if (!checked) return tl::unexpected(kit::HelperUpdateError::signatureRejected(checked.error()));#if (false) return {};#^(Signatures|Update)#
error-text-not-made-utf8#kit/HelperErrors.cpp#    : kind_(kind), text_(jsoncodec::escapeInvalidUTF8(text)), expected_(expected) {}#    : kind_(kind), text_(std::move(text)), expected_(expected) {}#^(Records|HelperUpdater)#
dot-entry-refused#core/update/Expand.cpp#if (components && components->empty() && type == AE_IFDIR && !hardlink) continue;#if (false) continue;#$updater#
failed-write-ignored#core/update/Expand.cpp#if (lib.archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK)#if (lib.archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN)#$updater#
expansion-unbounded#core/update/Expand.cpp#bool fits(std::int64_t bytes) const { return bytes <= bytesLeft; }#bool fits(std::int64_t) const { return true; }#$updater#
download-unbounded#core/update/Download.cpp#if (static_cast<std::int64_t>(length) > transfer.maximumBytes - transfer.received) {#if (false) {#^Update\.#
error-status-counted-as-size#core/update/Download.cpp#    if (status < 200 || status > 299) {\n        transfer.refusedStatus = status;#    if (false) {\n        transfer.refusedStatus = status;#^Update\.#
folder-mode-as-archived#core/update/Expand.cpp#lib.archive_entry_set_perm(entry, type == AE_IFDIR ? mode | 0700 : mode);#lib.archive_entry_set_perm(entry, mode);#$updater#
read-only-folder-kept#core/update/HelperUpdaterIO.cpp#        if ((status.st_mode & 0700) != 0700)#        if (false)#$updater#
unremoved-leftover-counted#core/update/Staging.cpp#        else\n            handled.push_back(std::move(item));#        handled.push_back(item);#$updater#
cache-trusts-recent-change-times#codesign/VerificationCache.cpp#item.identity.changedNs > hashingBeganNs - kTimestampAllowanceNs#item.identity.changedNs > hashingBeganNs + kTimestampAllowanceNs#^Signatures\.#
cache-on-a-users-image#codesign/VerificationCache.cpp#image.st_uid == 0 &&#true &&#^Signatures\.#
leaf-key-usage-ignored#codesign/CodeSignature.cpp#(X509_get_key_usage(leaf) & KU_DIGITAL_SIGNATURE) == 0#false#^Signatures\.#
leaf-extended-key-usage-ignored#codesign/CodeSignature.cpp#(X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN) == 0#false#^Signatures\.#
certificates-uncounted#codesign/CodeSignature.cpp#sk_X509_num(untrusted.get()) > kMaxCertificates#sk_X509_num(untrusted.get()) > 100000#^Signatures\.#
signature-size-uncapped#codesign/StaticCode.cpp#constexpr off_t kMaxSignatureFileSize = 256 << 10;#constexpr off_t kMaxSignatureFileSize = 64 << 20;#^Signatures\.#
hashed-before-the-listing-is-compared#codesign/StaticCode.cpp#compareResources(sealed->entries, listed->resources(), Comparing::listingOnly)#std::optional<CodeSignError>()#^Signatures\.#
seal-form-changed#codesign/CodeResources.cpp#kHeader = "VelmoraCodeResources 1"#kHeader = "VelmoraCodeResources 2"#^Signatures\.#
plain-reader-numbers-signed#kit/xpc/PlainJson.cpp#        return json(value);\n#        return json(static_cast<std::int64_t>(value));\n#$xpc#
plain-reader-takes-escapes#kit/xpc/PlainJson.h#return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';#return c >= 0x20 && c < 0x7f && c != '"';#$xpc#
scope-without-pid#platform/UserScopes.cpp#"PIDs", "au", 1, static_cast<std::uint32_t>(request.pid)#"PIDs", "au", 0#^ShellScopes#
shells-never-moved#helper/ServiceMode.cpp#    moveShellsIntoScopes();#    if (false) moveShellsIntoScopes();#^ShellScopes#
agent-runs-the-installed-copy#helper/AgentUnits.cpp#(serviceUnitName() + ".d")#(serviceUnitName() + ".disabled")#^Installer\.#
drop-in-failure-ignored#helper/AgentUnits.cpp#if (auto written = replaceFile(executableDropIn(), *text); !written) return written;#if (auto written = replaceFile(executableDropIn(), *text); false) return written;#^Installer\.#
install-write-unchecked#helper/HelperInstaller.cpp#if (written < 0) return copyFailed(from, to, "write");#if (written < 0) return {};#^Installer\.#
install-folder-modes-lost#helper/HelperInstaller.cpp#if (::chmod(to.c_str(), status.st_mode & 07777) != 0)#if (false)#^Installer\.#
start-lock-followed#tools/velmora-shell/HelperLink.cpp#UniqueFd lock(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW#UniqueFd lock(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC#^VelmoraShellWithoutARunningHelper\.#
start-lock-waited-for-ever#tools/velmora-shell/HelperLink.cpp#while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {#while (::flock(lock.get(), LOCK_EX) != 0) {#^VelmoraShellWithoutARunningHelper\.#
client-runtime-open-accepted#tools/velmora-shell/HelperLink.cpp#if (auto checked = platform::checkPrivateDirectory(*runtime); !checked)#if (tl::expected<void, std::string> checked; false)#^VelmoraShellWithoutARunningHelper\.#
helper-runtime-open-accepted#kit/xpc/Listener.cpp#if (auto checked = platform::checkPrivateDirectory(directory); !checked)#if (tl::expected<void, std::string> checked; false)#^XpcListener\.#
untrusted-helper-started#tools/velmora-shell/HelperLink.cpp#auto trusted = trustedHelper(executable);#auto trusted = true ? tl::expected<fs::path, std::string>(executable) : trustedHelper(executable);#^VelmoraShellWithoutARunningHelper\.#
bundle-read-in-helper-namespace#codesign/ProcessCode.cpp#platform::UniqueFd directory = root.openInView(path, O_RDONLY | O_DIRECTORY);#platform::UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));#^SandboxClient\.#
client-path-resolved-outside-its-root#codesign/ProcessRoot.cpp#RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS | resolve#RESOLVE_NO_MAGICLINKS | resolve#^SandboxClient\.#
mountinfo-escapes-kept#codesign/ProcessRoot.cpp#mount.mountPoint = unescape(mountPoint);#mount.mountPoint = mountPoint;#^SandboxClient\.#
sandbox-plumbing-forwarded#tools/velmora-shell/ShellSession.cpp#for (const char* name : kSandboxPlumbing) variables.erase(name);#for (const char* name : kSandboxPlumbing) (void)name;#^SandboxClient\.#
sandboxed-library-judged-in-its-own-view#codesign/ProcessMappings.cpp#: root.hostPath(mapping.path, mapping.device, mapping.inode);#: std::optional<std::filesystem::path>(mapping.path);#^SandboxClient#
store-identity-not-compared#codesign/VerificationStore.cpp#if (in.text() != identity) return std::nullopt;#if (in.text() != identity && false) return std::nullopt;#^VerificationStore#
store-unsealed-accepted#platform/FdStore.cpp#if (::fcntl(fd, F_GET_SEALS) != kSeals ||#if (::fcntl(fd, F_GET_SEALS) < 0 ||#^VerificationStore#
store-trailing-bytes-accepted#codesign/VerificationStore.cpp#if (!in.done()) return std::nullopt;#if (!in.ok()) return std::nullopt;#^VerificationStore#
store-not-allowed#helper/systemd/com.norwick.VelmoraHelper.service#FileDescriptorStoreMax=1#FileDescriptorStoreMax=0#^InstalledAgent.Remembers#
store-taken-for-a-socket#platform/SocketActivation.cpp#(socket ? passed : setAside()).push_back#(socket || true ? passed : setAside()).push_back#^InstalledAgent.Remembers#
spawn-signals-kept#platform/Process.cpp#flags |= POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;#flags |= 0;#^Process\.#
captured-output-uncapped#platform/Process.cpp#kept.append(buffer, std::min(static_cast<std::size_t>(n), limit - kept.size()));#(void)limit, kept.append(buffer, static_cast<std::size_t>(n));#^Process\.#
killed-child-reported-as-exit#platform/Process.cpp#if (info.si_code == CLD_EXITED) return#if (true) return#^(Process|HelperUpdater)\.#
EOF
)

if [[ $list == 1 ]]; then
  echo "$mutants" | cut -d'#' -f1,2 | tr '#' ' '
  exit 0
fi

# ---- scratch copy of REV, copied file by file where contents differ
mkdir -p "$scratch/src" "$scratch/build"
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
git -C "$root" archive "$rev" | tar -x -C "$staging"
python3 - "$staging" "$scratch/src" <<'PY'
import filecmp, os, shutil, sys
src, dst = sys.argv[1], sys.argv[2]
wanted = set()
for base, dirs, files in os.walk(src):
    for f in files:
        rel = os.path.relpath(os.path.join(base, f), src)
        wanted.add(rel)
        target = os.path.join(dst, rel)
        if not os.path.exists(target) or not filecmp.cmp(os.path.join(src, rel), target, shallow=False):
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(os.path.join(src, rel), target)
            os.utime(target)  # newer than any object built from the old contents
for base, dirs, files in os.walk(dst):
    for f in files:
        rel = os.path.relpath(os.path.join(base, f), dst)
        if rel not in wanted:
            os.remove(os.path.join(base, f))
PY

src="$scratch/src"
build="$scratch/build"
log="$scratch/log"
mkdir -p "$log"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Paths under the scratch folder are hashed relative to it.
  export CCACHE_BASEDIR="$scratch"
fi
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BENCH=OFF "${launcher[@]}" >/dev/null
# Everything is built first (incrementally: also whatever a previous fault left behind), which gives the
# test lists; afterwards each fault rebuilds only the executables of the tests it runs.
echo "== building $rev in $build"
nice cmake --build "$build" -j2 >"$log/build-base.txt" 2>&1 || { tail -30 "$log/build-base.txt"; exit 1; }

# The build targets behind the tests that match a ctest regex.
targetsFor() {
  ctest --test-dir "$build" -N -R "$1" --show-only=json-v1 |
    python3 -c 'import json, os, sys
print(" ".join(sorted({os.path.basename(t["command"][0]) for t in json.load(sys.stdin)["tests"] if t.get("command")})))'
}

# Replaces the single occurrence of TEXT in FILE; fails loudly on none or several.
apply() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path).read()
count = text.count(old)
if count != 1:
    sys.exit(f"{path}: expected the text exactly once, found it {count} times: {old!r}")
open(path, "w").write(text.replace(old, new))
PY
}

# Tests that fail twice on the unchanged tree catch nothing; they are left out of every run below.
broken='^$'
if [[ $baseline == 1 ]] &&
   ! ctest --test-dir "$build" -LE slow -j2 --timeout 180 >"$log/baseline.txt" 2>&1 &&
   ! ctest --test-dir "$build" --rerun-failed --timeout 180 >"$log/baseline-rerun.txt" 2>&1; then
  names=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p' "$log/baseline-rerun.txt" | paste -sd'|')
  broken="^(${names//./\\.})\$"
  echo "== failing on the unchanged tree, left out: ${names//|/ }"
fi

# Puts the file of the fault being tried back, also when the run is interrupted.
applied=""
restore() {
  if [[ -n "$applied" ]]; then
    cp "$log/original" "$applied"
    touch "$applied"
    applied=""
  fi
}
trap 'restore; rm -rf "$staging"' EXIT
trap 'exit 130' INT TERM

caught=0
missed=0
total=0
failedNames=()
while IFS='#' read -r -u 3 name file search replace tests slow; do
  [[ -z "$name" ]] && continue
  [[ -n "$only" && "$only" != *",$name,"* ]] && continue
  tests=$(eval "echo \"$tests\"")
  total=$((total + 1))
  cp -p "$src/$file" "$log/original"
  applied="$src/$file"
  apply "$src/$file" "$search" "$replace" || { echo "MUTANT TABLE ERROR: $name"; exit 2; }
  started=$SECONDS
  targets=$(targetsFor "$tests")
  if [[ -z "$targets" ]]; then
    verdict="NO TESTS match $tests"
    missed=$((missed + 1))
    failedNames+=("$name")
  elif ! nice cmake --build "$build" -j2 --target $targets >"$log/$name.build.txt" 2>&1; then
    verdict="NOT BUILT (see $log/$name.build.txt)"
    missed=$((missed + 1))
    failedNames+=("$name")
  else
    labels=(-LE slow)
    [[ "$slow" == slow ]] && labels=()
    # A test that fails counts only when it fails again on a second run: a timing-sensitive test that
    # failed once by chance does not make a fault caught.
    failing=""
    rm -f "$log/$name.rerun.txt"
    if ! ctest --test-dir "$build" "${labels[@]}" -R "$tests" -E "$broken" -j2 --timeout 180 --output-on-failure \
         >"$log/$name.test.txt" 2>&1 &&
       ! ctest --test-dir "$build" --rerun-failed --timeout 180 --output-on-failure \
         >"$log/$name.rerun.txt" 2>&1; then
      failing=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p' "$log/$name.rerun.txt" | head -3 | tr '\n' ' ')
      failing="${failing:-a test that failed twice}"
    fi
    if [[ -z "$failing" ]]; then
      verdict="MISSED"
      missed=$((missed + 1))
      failedNames+=("$name")
    else
      verdict="caught by $failing"
      caught=$((caught + 1))
    fi
  fi
  # Back to the original contents, with a fresh time so the next build takes them.
  restore
  printf '%-36s %-40s %4ss  %s\n' "$name" "$file" "$((SECONDS - started))" "$verdict"
done 3<<<"$mutants"

echo "caught $caught of $total faults${failedNames:+; not caught: ${failedNames[*]}}"
[[ $missed == 0 ]]
