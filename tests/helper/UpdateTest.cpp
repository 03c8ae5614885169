// Self-update and uninstall requests end to end: the built bundle installed under a real `systemd --user`,
// a real HTTPS server for the product host on loopback, signed update archives, a signed client and the
// built `velmora-shell`. Before the first test the process moves into private mount and network
// namespaces, where a hosts file sends the product host to 127.0.0.1 and a test authority's certificate
// stands in for the system trust store.
// UpdateStall waits out the real 60 s without progress ("slow").

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <regex>

#include "core/update/HelperUpdater.h"
#include "kit/HelperInfo.h"
#include "kit/HelperReleaseManifest.h"
#include "kit/ShellMessages.h"
#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
using kit::HelperUpdateError;
using Clock = std::chrono::steady_clock;
const fs::path kBuilt = VELMORA_BUNDLE_DIR, kTool = VELMORA_SHELL_TOOL;
const std::string kService = "group.com.norwick.Velmora.helper";
const std::string kNewVersion = "9.8.7";
const kit::Blob kShell =
    *kit::ShellLaunchRequest{.columns = 80, .rows = 24, .shellPath = "/bin/sh"}.encoded();

// Zips a folder (with extra hostile entries) and serves a folder over HTTPS; a file's name says how.
const char* const kServer = R"(import http.server, os, ssl, sys, time, zipfile
def entry(name, mode):
    info = zipfile.ZipInfo(name); info.create_system, info.external_attr = 3, mode << 16; return info
if sys.argv[1] == 'zip':
    src, out, extra = sys.argv[2], sys.argv[3], sys.argv[4:]
    with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
        for root, dirs, files in os.walk(src):
            for p in sorted(os.path.join(root, n) for n in dirs + files):
                link = os.path.islink(p); folder = os.path.isdir(p) and not link
                name = os.path.relpath(p, os.path.dirname(src)) + '/' * folder
                z.writestr(entry(name, os.lstat(p).st_mode), os.readlink(p) if link else b'' if folder else open(p, 'rb').read())
        for kind, name, data in zip(extra[::3], extra[1::3], extra[2::3]):
            z.writestr(entry(name, 0o120777 if kind == 'link' else 0o100644), data)
    sys.exit(0)
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def log_message(self, *args): pass
    def do_GET(self):
        name = os.path.basename(self.path); path = os.path.join(sys.argv[2], name)
        if name.startswith('redirect'):
            self.send_response(302); self.send_header('Location', 'http://velmora.norwick.com/downloads/helper/ok.zip')
            self.send_header('Content-Length', '0'); return self.end_headers()
        if not os.path.isfile(path): return self.send_error(404)
        data = open(path, 'rb').read(); step = 8192 if 'slow' in name else 1 << 20
        self.send_response(200); self.send_header('Content-Length', str(len(data) + 9 * ('truncated' in name)))
        self.end_headers()
        for i in range(0, len(data), step):
            if 'stall' in name and i >= len(data) // 2: time.sleep(3600)
            self.wfile.write(data[i:i + step]); self.wfile.flush(); time.sleep(0.05 * ('slow' in name))
        self.close_connection = 'truncated' in name
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER); context.load_cert_chain(sys.argv[3], sys.argv[4])
server = http.server.ThreadingHTTPServer(('127.0.0.1', 443), Handler); server.daemon_threads = True
server.socket = context.wrap_socket(server.socket, server_side=True); server.serve_forever()
)";

TemporaryDirectory* scratch = nullptr;
fs::path served, script;
bool ready = false;

void run(const std::vector<std::string>& command) {
    ProcessOptions options;
    options.environment = {{"PATH", "/usr/sbin:/usr/bin:/bin"}};
    auto result = runProcess(command[0], {command.begin() + 1, command.end()}, options);
    ASSERT_EQ(result.exitStatus, 0) << command[0] << ": " << result.standardError;
}
void bindOver(const fs::path& source, const char* target) {
    ASSERT_EQ(::mount(source.c_str(), target, nullptr, MS_BIND, nullptr), 0) << target;
}
void zipBundle(const fs::path& bundle, const std::string& name, std::vector<std::string> extra = {}) {
    std::vector<std::string> command{"/usr/bin/python3", script, "zip", bundle, served / name};
    command.insert(command.end(), extra.begin(), extra.end());
    run(command);
}
// A copy of the built bundle that reports `kNewVersion`, signed as `identifier` (unsigned when empty).
fs::path makeBundle(const std::string& folder, const std::string& identifier) {
    auto bundle = scratch->path() / folder / "Velmora Helper.app";
    fs::create_directories(bundle.parent_path());
    fs::copy(kBuilt, bundle, fs::copy_options::recursive);
    auto plist = readFile(bundle / "Contents/Info.plist");
    plist.replace(plist.find(VELMORA_PROJECT_VERSION), std::string(VELMORA_PROJECT_VERSION).size(),
                  kNewVersion);
    writeFile(bundle / "Contents/Info.plist", plist);
    fs::remove_all(bundle / "Contents/_CodeSignature");
    if (!identifier.empty()) run({VELMORA_CODESIGN, "sign", "--identifier", identifier, bundle});
    return bundle;
}

struct Network : ::testing::Environment {
    void SetUp() override {
        if (!enterSystemdNamespace(CLONE_NEWNET)) return;
        scratch = new TemporaryDirectory();
        served = scratch->path() / "served", script = scratch->path() / "server.py";
        fs::create_directories(served);
        writeFile(script, kServer);
        writeFile(scratch->path() / "hosts", "127.0.0.1 localhost velmora.norwick.com\n");
        auto key = scratch->path() / "key.pem", certificate = scratch->path() / "certificate.pem";
        run({"/usr/sbin/ip", "link", "set", "lo", "up"});
        run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
             certificate, "-days", "2", "-subj", "/CN=velmora.norwick.com", "-addext",
             "subjectAltName=DNS:velmora.norwick.com"});
        bindOver(scratch->path() / "hosts", "/etc/hosts");
        bindOver(certificate, "/etc/ssl/certs/ca-certificates.crt");

        auto good = makeBundle("good", "com.norwick.VelmoraHelper");
        for (auto name : {"ok.zip", "slow.zip", "stall.zip", "truncated.zip"}) zipBundle(good, name);
        zipBundle(good, "slip.zip", {"file", "../escaped", "x"});
        // A name in a legacy code page, without the UTF-8 flag: Python writes only UTF-8 names.
        zipBundle(good, "legacy.zip", {"file", "../J_rg", "x"});
        auto legacy = readFile(served / "legacy.zip");
        for (size_t at; (at = legacy.find("../J_rg")) != std::string::npos;) legacy[at + 4] = '\x94';
        writeFile(served / "legacy.zip", legacy);
        zipBundle(good, "link.zip", {"link", "Velmora Helper.app/Contents/out", "../../../.."});
        // Each harmless on its own: "d" is Contents itself, so "out" climbs one level more than it reads.
        zipBundle(good, "chain.zip",
                  {"link", "Velmora Helper.app/Contents/d", ".", "link", "Velmora Helper.app/Contents/out",
                   "d/../../.."});
        zipBundle(makeBundle("unsigned", ""), "unsigned.zip");
        zipBundle(makeBundle("other", "com.norwick.Other"), "other.zip");

        if (::fork() == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::freopen("/dev/null", "w", stderr);  // clients that hang up mid-body
            ::execl("/usr/bin/python3", "python3", script.c_str(), "serve", served.c_str(),
                    certificate.c_str(), key.c_str(), nullptr);
            ::_exit(127);
        }
        sockaddr_in address{AF_INET, htons(443), {htonl(INADDR_LOOPBACK)}, {}};
        for (int i = 0; i < 200 && !ready; ++i) {
            platform::UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            ready = ::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            if (!ready) ::usleep(25000);
        }
    }
    void TearDown() override { delete scratch; }
};
[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new Network);

// A throw-away home whose user manager runs the installed built bundle.
struct InstalledHelper : UserManager {
    InstalledHelper() {
        started = ready && run(kBuilt / "Contents/MacOS/Velmora Helper", {"--install"}).exitStatus == 0;
    }
    ClientEnd connect() const {
        auto client = ClientEnd::connect(runtime / kService);
        EXPECT_TRUE(client);
        return client ? std::move(*client) : ClientEnd{};
    }
    // Starts an update from `manifest`; the outcome holds its reply.
    static void update(ClientEnd& client, CallOutcome<kit::Blob>& outcome,
                       const kit::HelperReleaseManifest& manifest) {
        client.proxy(outcome)->beginSelfUpdate(*manifest.encoded(), outcome.reply());
    }
    // `velmora-shell update` with standard error a pipe, or a terminal that script(1) provides and whose
    // screen it hands back as standard output.
    ProcessResult updateWithTool(const kit::HelperReleaseManifest& manifest, bool terminal = false) const {
        auto file = scratch.path() / "manifest.json";
        writeFile(file, *manifest.encoded());
        if (!terminal) return run(kTool, {"update", file});
        return run("/usr/bin/script",
                   {"-qec", "'" + kTool.string() + "' update " + file.string(), "/dev/null"});
    }
    bool started = false;
};

kit::HelperReleaseManifest manifestFor(const std::string& name, std::int64_t sizeChange = 0,
                                       bool digest = true, const std::string& version = kNewVersion) {
    auto archive = served / (name.starts_with("redirect") || name == "missing.zip" ? "ok.zip" : name);
    kit::HelperReleaseManifest manifest;
    manifest.schemaVersion = 2;
    manifest.version = *kit::HelperVersion::parse(version);
    manifest.build = 58;
    manifest.minimumSystemVersion = "12";
    manifest.protocolVersion = 2;
    manifest.download = {"https://velmora.norwick.com/downloads/helper/" + name, "update.zip",
                         digest ? *core::HelperUpdater::sha256(archive) : std::string(64, '0'),
                         static_cast<std::int64_t>(fs::file_size(archive)) + sizeChange};
    return manifest;
}

TEST(Update, VelmoraShellShowsTheProgressAndTheHelperRestartsIntoTheNewVersion) {
    const std::string size = std::to_string(manifestFor("ok.zip").download.size),
                      bytes = "\\d+(\\.\\d)? \\w+";
    const std::regex plain("Downloading " + size + " bytes\n(Downloaded \\d+ of " + size +
                           " bytes \\(\\d+%(, " + bytes +
                           "/s)?\\)\n)+Verified\nStaged\nRestarting the helper\n");
    const std::regex bar("(\r\x1b\\[K\\[[#.]+\\]  " + bytes + " / " + bytes + "  \\d+%(  " + bytes +
                         "/s)?)+\r\nVerified\r\nStaged\r\nRestarting the helper\r\n");
    for (bool terminal : {false, true}) {
        SCOPED_TRACE(terminal ? "terminal" : "pipe");
        InstalledHelper helper;
        if (!ready || !helper.started) GTEST_SKIP() << "needs root for private namespaces and a user manager";
        auto watcher = helper.connect();
        auto before = fetchInfo(watcher);
        ASSERT_EQ(before.version.description(), VELMORA_PROJECT_VERSION);
        auto updated = helper.updateWithTool(manifestFor("ok.zip"), terminal);
        auto replied = Clock::now();
        // Until it leaves, the old helper names the bundle it was started from (now the new one's place),
        // not the moved-aside copy its executable now lies in.
        auto meanwhile = fetchInfo(watcher);
        EXPECT_EQ(meanwhile.processIdentifier, before.processIdentifier);
        EXPECT_EQ(meanwhile.bundlePath, helper.installed.string());
        EXPECT_EQ(updated.exitStatus, 0) << updated.standardError;
        const auto& shown = terminal ? updated.standardOutput : updated.standardError;
        EXPECT_TRUE(std::regex_match(shown, terminal ? bar : plain)) << shown;
        EXPECT_NE(shown.find("100%"), std::string::npos) << shown;
        EXPECT_NE(shown.find("/s"), std::string::npos) << shown;
        EXPECT_EQ(tree(helper.installed), tree(scratch->path() / "good/Velmora Helper.app"));

        // The old helper leaves by itself, with status 0, about 1.5 s after the restart was announced; the
        // user manager starts the new one for the next client.
        EXPECT_TRUE(waitForProcessGone(before.processIdentifier, std::chrono::seconds(5)));
        auto lived = Clock::now() - replied;
        EXPECT_GT(lived, std::chrono::milliseconds(1200));
        EXPECT_LT(lived, std::chrono::milliseconds(3000));
        EXPECT_EQ(helper.show("ExecMainStatus"), "0");
        auto after = kit::HelperInfo::decode(helper.run(kTool, {"info", "--json"}).standardOutput);
        ASSERT_TRUE(after);
        EXPECT_EQ(after->version.description(), kNewVersion);
        EXPECT_NE(after->processIdentifier, before.processIdentifier);
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(after->processIdentifier) + "/exe"),
                  helper.installed / "Contents/MacOS/Velmora Helper");
    }
}

enum class Meanwhile { nothing, shellElsewhere, cancelElsewhere, secondUpdate };
struct FailureCase {
    const char* name;
    kit::HelperReleaseManifest manifest;
    HelperUpdateError error;  // an empty text: any text of that case
    Meanwhile meanwhile = Meanwhile::nothing;
    int toolStatus = 0;  // through `velmora-shell update`, which exits with this status
};

// The update through the kit's client, with what happens meanwhile on another connection.
void kitClientFails(const FailureCase& c, ClientEnd& client, ClientEnd& other) {
    CallOutcome<kit::Blob> outcome, second;
    InstalledHelper::update(client, outcome, c.manifest);
    if (c.meanwhile == Meanwhile::cancelElsewhere || c.meanwhile == Meanwhile::secondUpdate) {
        client.recorder->waitFor(2);  // downloading
        if (c.meanwhile == Meanwhile::secondUpdate) {
            InstalledHelper::update(other, second, c.manifest);
            ASSERT_TRUE(second.wait() && second.values());
            EXPECT_EQ(std::get<0>(*second.values()),
                      HelperUpdateError::alreadyInProgress().encoded().value());
            EXPECT_EQ(other.recorder->events(), std::vector<std::string>{});
        }
        CallOutcome<> cancelled;
        other.proxy(cancelled)->cancelSelfUpdate(cancelled.reply());
        EXPECT_TRUE(cancelled.wait() && cancelled.values());
    }
    for (int i = 0; i < 9 && !outcome.wait(); ++i) {  // the stall takes its 60 s
    }
    ASSERT_TRUE(outcome.values());
    auto replied = std::get<0>(*outcome.values()).value_or("null");
    auto error = HelperUpdateError::decode(replied);
    ASSERT_TRUE(error) << replied;
    EXPECT_EQ(error->kind(), c.error.kind()) << replied;
    if (!c.error.text().empty()) {
        EXPECT_EQ(*error, c.error);
    }
    EXPECT_FALSE(error->summary().empty());
    EXPECT_EQ(client.recorder->events().back(), "fail " + replied);
    for (const auto& event : client.recorder->events())
        EXPECT_FALSE(event.starts_with("download ") && std::stoll(event.substr(9)) > c.manifest.download.size)
            << "a byte beyond the published size was taken in: " << event;
}

void expectUpdateFails(const FailureCase& c) {
    SCOPED_TRACE(c.name);
    InstalledHelper helper;
    if (!ready || !helper.started) GTEST_SKIP() << "needs root for private namespaces and a user manager";
    auto client = helper.connect(), other = helper.connect();
    auto before = tree(helper.installed);
    platform::UniqueFd shell;
    if (c.meanwhile == Meanwhile::shellElsewhere) shell = openShell(other, kShell).terminal;
    if (c.toolStatus != 0) {
        auto result = helper.updateWithTool(c.manifest);
        EXPECT_EQ(result.exitStatus, c.toolStatus);
        EXPECT_TRUE(result.standardError.ends_with("velmora-shell: " + c.error.summary() + "\n"))
            << result.standardError;
    } else {
        kitClientFails(c, client, other);
    }
    EXPECT_EQ(tree(helper.installed), before);
    EXPECT_EQ(helper.info(kService).version.description(), VELMORA_PROJECT_VERSION) << "the helper restarted";
}

TEST(Update, EachFailureReachesTheClientAndLeavesTheInstalledBundleAlone) {
    auto preflight =
        "Velmora Helper " + kNewVersion + " (" + std::to_string(VELMORA_BUILD_NUMBER) + "), protocol 2\n";
    std::vector<FailureCase> cases{
        // The error page is longer than the published size.
        {"404", manifestFor("missing.zip", 1 - std::int64_t(fs::file_size(served / "ok.zip"))),
         HelperUpdateError::downloadFailed("not found")},
        {"redirect to http", manifestFor("redirect.zip"), HelperUpdateError::downloadFailed("")},
        {"truncated body", manifestFor("truncated.zip"), HelperUpdateError::downloadFailed("")},
        {"wrong size", manifestFor("ok.zip", 1), HelperUpdateError::sizeMismatch()},
        {"body past the size", manifestFor("ok.zip", -1), HelperUpdateError::sizeMismatch()},
        {"wrong digest", manifestFor("ok.zip", 0, false), HelperUpdateError::checksumMismatch(),
         Meanwhile::nothing, 1},
        {"unsigned", manifestFor("unsigned.zip"), HelperUpdateError::signatureRejected("")},
        {"another identifier", manifestFor("other.zip"), HelperUpdateError::signatureRejected("")},
        {"version mismatch", manifestFor("ok.zip", 0, true, "9.8.8"),
         HelperUpdateError::versionPreflightFailed(*kit::HelperVersion::parse("9.8.8"), preflight)},
        {"zip slip", manifestFor("slip.zip"),
         HelperUpdateError::expansionFailed("The archive entry \"../escaped\" leaves the destination.")},
        {"name not UTF-8", manifestFor("legacy.zip"),
         HelperUpdateError::expansionFailed("The archive entry \"../J\x94rg\" leaves the destination."),
         Meanwhile::nothing, 1},
        {"link leaving", manifestFor("link.zip"),
         HelperUpdateError::expansionFailed(
             "The archive entry \"Velmora Helper.app/Contents/out\" links outside the destination.")},
        {"link leaving through another", manifestFor("chain.zip"),
         HelperUpdateError::expansionFailed(
             "The archive entry \"Velmora Helper.app/Contents/out\" links outside the destination.")},
        {"cancel while downloading", manifestFor("slow.zip"), HelperUpdateError::cancelled(),
         Meanwhile::cancelElsewhere},
        {"second update meanwhile", manifestFor("slow.zip"), HelperUpdateError::cancelled(),
         Meanwhile::secondUpdate},
        {"shell open on another connection", manifestFor("ok.zip"), HelperUpdateError::busy(),
         Meanwhile::shellElsewhere, 75},
    };
    for (const auto& c : cases) expectUpdateFails(c);
}

TEST(UpdateStall, SixtySecondsWithoutAByteEndTheDownload) {
    expectUpdateFails({"stall", manifestFor("stall.zip"), HelperUpdateError::downloadFailed("")});
}

TEST(Uninstall, RefusedWhileAShellIsOpenOtherwiseTheHelperRemovesItself) {
    InstalledHelper helper;
    if (!ready || !helper.started) GTEST_SKIP() << "needs root for private namespaces and a user manager";
    auto client = helper.connect(), other = helper.connect();
    auto shell = openShell(other, kShell).terminal;
    CallOutcome<kit::Blob> refused;
    client.proxy(refused)->beginUninstall(refused.reply());
    ASSERT_TRUE(refused.wait() && refused.values());
    EXPECT_EQ(std::get<0>(*refused.values()), kit::HelperUninstallError::busy().encoded().value());
    // The other client leaves; its shell is hung up once its session is gone.
    other.connection->invalidate();
    char buffer[256];
    for (pollfd readable{shell.get(), POLLIN, 0}; ::poll(&readable, 1, 10000) > 0;)
        if (::read(shell.get(), buffer, sizeof buffer) <= 0) break;
    EXPECT_TRUE(fs::exists(helper.installed));
    CallOutcome<kit::Blob> accepted;
    client.proxy(accepted)->beginUninstall(accepted.reply());
    ASSERT_TRUE(accepted.wait() && accepted.values());
    EXPECT_EQ(std::get<0>(*accepted.values()), std::nullopt);
    EXPECT_EQ(client.ends->waitForAtLeast(1), 1);
    for (int i = 0; i < 200 && fs::exists(helper.installed.parent_path()); ++i) ::usleep(50000);
    EXPECT_FALSE(fs::exists(helper.installed.parent_path()));
}

}  // namespace
}  // namespace velmora::testing
