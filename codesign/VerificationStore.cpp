#include "codesign/VerificationStore.h"

#include <elf.h>
#include <link.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstring>
#include <mutex>

#include "TrustedAnchorsPem.h"
#include "codesign/OpenSSLLifetime.h"
#include "codesign/StaticCode.h"
#include "platform/FdStore.h"
#include "platform/SocketActivation.h"

namespace velmora::codesign::VerificationStore {

namespace {

constexpr std::string_view kMagic = "velmora-verifications 1\n";
// Bounds on what a store can make the reader allocate before it is found wrong.
constexpr std::uint64_t kMaxCount = 1 << 16;

std::string hexOf(const unsigned char* bytes, size_t length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xf];
    }
    return out;
}

// The GNU build id of the main program, from its own program headers (no file is read).
std::string executableBuildId() {
    std::string id;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const auto& segment = info->dlpi_phdr[i];
                if (segment.p_type != PT_NOTE) continue;
                auto* at = reinterpret_cast<const unsigned char*>(info->dlpi_addr + segment.p_vaddr);
                const auto* end = at + segment.p_memsz;
                while (at + sizeof(ElfW(Nhdr)) <= end) {
                    const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(at);
                    const auto* name = at + sizeof(ElfW(Nhdr));
                    const auto* desc = name + ((note->n_namesz + 3) & ~3u);
                    if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 &&
                        std::memcmp(name, "GNU", 4) == 0) {
                        *static_cast<std::string*>(out) = hexOf(desc, note->n_descsz);
                        return 1;
                    }
                    at = desc + ((note->n_descsz + 3) & ~3u);
                }
            }
            return 1;  // the first object is the main program
        },
        &id);
    return id;
}

class Writer {
  public:
    void number(std::uint64_t value) {
        for (int i = 0; i < 8; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xff);
    }
    void text(std::string_view value) {
        number(value.size());
        bytes += value;
    }
    void identity(const FileIdentity& id) {
        for (auto value : {static_cast<std::uint64_t>(id.device), static_cast<std::uint64_t>(id.inode),
                           static_cast<std::uint64_t>(id.size), static_cast<std::uint64_t>(id.modifiedNs),
                           static_cast<std::uint64_t>(id.changedNs), static_cast<std::uint64_t>(id.mode)})
            number(value);
    }
    void resource(const ResourceEntry& entry) {
        text(entry.path);
        number(static_cast<std::uint64_t>(entry.type));
        number(entry.mode);
        text(entry.payload);
    }
    std::string bytes;
};

class Reader {
  public:
    explicit Reader(std::string_view bytes) : rest_(bytes) {}
    bool ok() const { return ok_; }
    bool done() const { return ok_ && rest_.empty(); }
    std::uint64_t number() {
        if (rest_.size() < 8) return fail();
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i)
            value |= std::uint64_t(static_cast<unsigned char>(rest_[size_t(i)])) << (8 * i);
        rest_.remove_prefix(8);
        return value;
    }
    std::uint64_t count() {
        auto value = number();
        return value > kMaxCount ? fail() : value;
    }
    std::string text() {
        auto length = number();
        if (!ok_ || length > rest_.size()) return fail(), std::string();
        std::string value(rest_.substr(0, length));
        rest_.remove_prefix(length);
        return value;
    }
    FileIdentity identity() {
        FileIdentity id;
        id.device = static_cast<dev_t>(number());
        id.inode = static_cast<ino_t>(number());
        id.size = static_cast<off_t>(number());
        id.modifiedNs = static_cast<std::int64_t>(number());
        id.changedNs = static_cast<std::int64_t>(number());
        auto mode = number();
        if (mode > 0xffff) fail();
        id.mode = static_cast<mode_t>(mode);
        return id;
    }
    ResourceEntry resource() {
        ResourceEntry entry;
        entry.path = text();
        auto type = number();
        if (type > static_cast<std::uint64_t>(ResourceEntry::Type::link)) fail();
        entry.type = static_cast<ResourceEntry::Type>(type);
        auto mode = number();
        if (mode > 07777) fail();
        entry.mode = static_cast<std::uint32_t>(mode);
        entry.payload = text();
        return entry;
    }
    std::uint64_t fail() {
        ok_ = false;
        rest_ = {};
        return 0;
    }

  private:
    std::string_view rest_;
    bool ok_ = true;
};

std::string der(X509* certificate) {
    unsigned char* out = nullptr;
    int length = i2d_X509(certificate, &out);
    if (length <= 0) return {};
    std::string bytes(reinterpret_cast<char*>(out), static_cast<size_t>(length));
    OPENSSL_free(out);
    return bytes;
}

Certificate certificateFrom(const std::string& bytes) {
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
    X509* parsed = d2i_X509(nullptr, &at, static_cast<long>(bytes.size()));
    if (parsed != nullptr && at != reinterpret_cast<const unsigned char*>(bytes.data() + bytes.size())) {
        X509_free(parsed);
        return nullptr;
    }
    return Certificate(parsed, X509_free);
}

std::optional<VerificationCache::Entry> readEntry(Reader& in) {
    VerificationCache::Entry entry;
    auto bundle = std::make_shared<ValidatedBundle>();
    bundle->path = in.text();
    bundle->signing.identifier = in.text();
    bundle->signing.validFrom = static_cast<std::time_t>(in.number());
    bundle->signing.validUntil = static_cast<std::time_t>(in.number());
    for (auto n = in.count(); in.ok() && n > 0; --n) {
        auto certificate = certificateFrom(in.text());
        if (!certificate) return std::nullopt;
        bundle->signing.chain.push_back(std::move(certificate));
    }
    for (auto n = in.count(); in.ok() && n > 0; --n) {
        auto resource = in.resource();
        bundle->items.push_back({std::move(resource), in.identity()});
    }
    for (auto n = in.count(); in.ok() && n > 0; --n) entry.fingerprint.push_back(in.identity());
    for (auto n = in.count(); in.ok() && n > 0; --n) entry.listing.push_back(in.resource());
    for (auto n = in.count(); in.ok() && n > 0; --n) {
        auto path = in.text();
        entry.rehashed.emplace(std::move(path), in.identity());
    }
    if (!in.ok() || !bundle->path.is_absolute() || bundle->signing.chain.empty() || entry.fingerprint.empty())
        return std::nullopt;
    entry.bundle = std::move(bundle);
    return entry;
}

}  // namespace

std::string buildIdentity(std::string_view version) {
    // FNV-1a: only this program's own builds are told apart, no adversary chooses the anchors.
    std::uint64_t anchors = 0xcbf29ce484222325ULL;
    for (char c : std::string_view(generated::trustedAnchorsPem)) {
        anchors ^= static_cast<unsigned char>(c);
        anchors *= 0x100000001b3ULL;
    }
    return std::string(version) + " build-id " + executableBuildId() + " anchors " + std::to_string(anchors);
}

std::string encode(const std::vector<VerificationCache::Entry>& entries, std::string_view identity) {
    Writer out;
    out.bytes = kMagic;
    out.text(identity);
    out.number(entries.size());
    for (const auto& entry : entries) {
        const auto& bundle = *entry.bundle;
        out.text(bundle.path.string());
        out.text(bundle.signing.identifier);
        out.number(static_cast<std::uint64_t>(bundle.signing.validFrom));
        out.number(static_cast<std::uint64_t>(bundle.signing.validUntil));
        out.number(bundle.signing.chain.size());
        for (const auto& certificate : bundle.signing.chain) out.text(der(certificate.get()));
        out.number(bundle.items.size());
        for (const auto& item : bundle.items) {
            out.resource(item.resource);
            out.identity(item.identity);
        }
        out.number(entry.fingerprint.size());
        for (const auto& id : entry.fingerprint) out.identity(id);
        out.number(entry.listing.size());
        for (const auto& resource : entry.listing) out.resource(resource);
        out.number(entry.rehashed.size());
        for (const auto& [path, id] : entry.rehashed) {
            out.text(path);
            out.identity(id);
        }
    }
    return std::move(out.bytes);
}

std::optional<std::vector<VerificationCache::Entry>> decode(std::string_view bytes,
                                                            std::string_view identity) {
    if (!bytes.starts_with(kMagic)) return std::nullopt;
    Reader in(bytes.substr(kMagic.size()));
    if (in.text() != identity) return std::nullopt;
    std::vector<VerificationCache::Entry> entries;
    for (auto n = in.count(); in.ok() && n > 0; --n) {
        auto entry = readEntry(in);
        if (!entry) return std::nullopt;
        entries.push_back(std::move(*entry));
    }
    if (!in.done()) return std::nullopt;
    return entries;
}

void attach(VerificationCache& cache, std::string identity, platform::UniqueFd stored, Log log) {
    if (!platform::FdStore::available()) return;
    if (stored.valid()) {
        auto bytes = platform::FdStore::readSealed(stored.get(), kMaxBytes);
        auto entries = bytes ? decode(*bytes, identity) : std::nullopt;
        if (entries)
            cache.restore(std::move(*entries));
        else
            log(true, "The remembered client verifications are ignored: not a sealed store of this build");
    }
    VerificationCache::Observer observer;
    observer.restoredFound = [log](const std::filesystem::path& bundle) {
        log(false, "Client bundle " + bundle.string() + " accepted from the remembered verification");
    };
    observer.remembered = [&cache, identity = std::move(identity), log] {
        // One writer at a time, so that the last store handed over holds the latest entries.
        static std::mutex writing;
        std::lock_guard lock(writing);
        // The least recently used go first when all would not be read back.
        auto entries = cache.entries();
        auto bytes = encode(entries, identity);
        while (bytes.size() > kMaxBytes && !entries.empty()) {
            entries.pop_back();
            bytes = encode(entries, identity);
        }
        auto kept = platform::FdStore::keep(kDescriptorName, bytes);
        static std::once_flag failedOnce;
        if (!kept)
            std::call_once(failedOnce, [&] {
                log(true,
                    "Cannot keep the client verifications for the next start: " + kept.error().description());
            });
    };
    cache.setObserver(std::move(observer));
}

}  // namespace velmora::codesign::VerificationStore
