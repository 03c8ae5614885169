#include "codesign/CodeSignature.h"

#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "codesign/BundleScan.h"
#include "codesign/CodeResources.h"
#include "codesign/OpenSSLLifetime.h"
#include "codesign/TrustedAnchors.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::codesign {

namespace fs = std::filesystem;
using platform::UniqueFd;

namespace {

// A real chain is a leaf and its issuers; more only makes every check dearer.
constexpr int kMaxCertificates = 16;

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* value) const { Free(value); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using StoreContextPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;

void freeStack(STACK_OF(X509) * stack) {
    sk_X509_pop_free(stack, X509_free);
}
using StackPtr = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeStack>>;

Certificate adopt(X509* certificate) {
    return Certificate(certificate, X509_free);
}

std::string openSslReason() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown reason";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

CodeSignError signingFailed(std::string why) {
    return CodeSignError{Status::signingFailed, std::move(why)};
}

std::time_t asTime(const ASN1_TIME* time) {
    std::tm parts{};
    if (ASN1_TIME_to_tm(time, &parts) != 1) return 0;
    return ::timegm(&parts);
}

tl::expected<void, CodeSignError> writeAtomically(int directoryFd, const std::string& name,
                                                  std::string_view bytes) {
    std::string temporary = "." + name + ".tmp";
    UniqueFd file(::openat(directoryFd, temporary.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!file.valid())
        return tl::unexpected(signingFailed("Cannot write " + name + ": " +
                                            platform::SystemError::fromErrno("openat").reason()));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(file.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            return tl::unexpected(signingFailed("Cannot write " + name + ": " +
                                                platform::SystemError::fromErrno("write").reason()));
        done += static_cast<size_t>(n);
    }
    if (::fchmod(file.get(), 0644) != 0 || ::fsync(file.get()) != 0 ||
        ::renameat(directoryFd, temporary.c_str(), directoryFd, name.c_str()) != 0)
        return tl::unexpected(signingFailed("Cannot write " + name + ": " +
                                            platform::SystemError::fromErrno("renameat").reason()));
    return {};
}

}  // namespace

std::pair<std::time_t, std::time_t> validityWindow(const std::vector<Certificate>& chain) {
    std::time_t from = 0, until = std::numeric_limits<std::time_t>::max();
    for (const auto& certificate : chain) {
        from = std::max(from, asTime(X509_get0_notBefore(certificate.get())));
        until = std::min(until, asTime(X509_get0_notAfter(certificate.get())));
    }
    return {from, until};
}

std::string commonName(X509* certificate) {
    X509_NAME* subject = X509_get_subject_name(certificate);
    int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0) return "(no common name)";
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length < 0) return "(unreadable name)";
    std::string name(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return name;
}

tl::expected<void, CodeSignError> signBundle(const fs::path& bundle, const std::string& identifier,
                                             const fs::path& keyPem, const fs::path& chainPem) {
    if (identifier.empty()) return tl::unexpected(signingFailed("The signing identifier is empty."));
    BioPtr keyFile(BIO_new_file(keyPem.c_str(), "r"));
    KeyPtr key(keyFile ? PEM_read_bio_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key)
        return tl::unexpected(
            signingFailed("Cannot read the private key " + keyPem.string() + ": " + openSslReason()));
    BioPtr chainFile(BIO_new_file(chainPem.c_str(), "r"));
    std::vector<Certificate> chain;
    while (chainFile) {
        X509* certificate = PEM_read_bio_X509(chainFile.get(), nullptr, nullptr, nullptr);
        if (!certificate) break;
        chain.push_back(adopt(certificate));
    }
    ERR_clear_error();
    if (chain.empty()) return tl::unexpected(signingFailed("No certificate in " + chainPem.string() + "."));
    if (X509_check_private_key(chain.front().get(), key.get()) != 1)
        return tl::unexpected(
            signingFailed("The key does not belong to the first certificate of " + chainPem.string() + "."));

    UniqueFd top(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    UniqueFd contents(
        top.valid() ? ::openat(top.get(), "Contents", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1);
    if (!contents.valid())
        return tl::unexpected(signingFailed(bundle.string() + " is not a bundle (no Contents folder)."));
    if (::mkdirat(contents.get(), "_CodeSignature", 0755) != 0 && errno != EEXIST)
        return tl::unexpected(signingFailed("Cannot create " + std::string(kSignatureDirectory) + ": " +
                                            platform::SystemError::fromErrno("mkdirat").reason()));
    UniqueFd signatureDirectory(
        ::openat(contents.get(), "_CodeSignature", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!signatureDirectory.valid())
        return tl::unexpected(signingFailed("Cannot open " + std::string(kSignatureDirectory) + "."));

    auto scan = scanBundle(top.get(), Hashing::contents);
    if (!scan) return tl::unexpected(scan.error());
    CodeResources resources{identifier, scan->resources()};
    if (auto contained = findEscapingLink(resources.entries); !contained)
        return tl::unexpected(contained.error());
    std::string text = serialize(resources);

    StackPtr extra(sk_X509_new_null());
    for (size_t i = 1; i < chain.size(); ++i) {
        X509_up_ref(chain[i].get());
        sk_X509_push(extra.get(), chain[i].get());
    }
    BioPtr data(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    CmsPtr cms(CMS_sign(chain.front().get(), key.get(), extra.get(), data.get(),
                        CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
    if (!cms) return tl::unexpected(signingFailed("Signing failed: " + openSslReason()));
    BioPtr out(BIO_new(BIO_s_mem()));
    if (i2d_CMS_bio(out.get(), cms.get()) != 1)
        return tl::unexpected(signingFailed("Signing failed: " + openSslReason()));
    char* bytes = nullptr;
    long length = BIO_get_mem_data(out.get(), &bytes);

    if (auto written = writeAtomically(signatureDirectory.get(), "CodeResources", text); !written)
        return written;
    return writeAtomically(signatureDirectory.get(), "CodeSignature",
                           std::string_view(bytes, static_cast<size_t>(length)));
}

tl::expected<std::vector<Certificate>, CodeSignError> verifySignatureOver(std::string_view resources,
                                                                          std::string_view cmsDer) {
    auto damaged = [] {
        ERR_clear_error();
        return tl::unexpected(
            CodeSignError{Status::signatureDamaged, "The code signature is damaged or truncated."});
    };
    BioPtr der(BIO_new_mem_buf(cmsDer.data(), static_cast<int>(cmsDer.size())));
    CmsPtr cms(d2i_CMS_bio(der.get(), nullptr));
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) return damaged();
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (signers == nullptr || sk_CMS_SignerInfo_num(signers) != 1) return damaged();
    StackPtr untrusted(CMS_get1_certs(cms.get()));
    if (!untrusted || sk_X509_num(untrusted.get()) > kMaxCertificates) return damaged();

    BioPtr content(BIO_new_mem_buf(resources.data(), static_cast<int>(resources.size())));
    // The signer's certificate is checked below, against the anchors, not here.
    if (CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr,
                   CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
        ERR_clear_error();
        return tl::unexpected(CodeSignError{Status::signatureInvalid,
                                            "The code signature does not match the sealed resource list."});
    }
    STACK_OF(X509)* signerCertificates = CMS_get0_signers(cms.get());
    if (signerCertificates == nullptr || sk_X509_num(signerCertificates) != 1) return damaged();
    X509* leaf = sk_X509_value(signerCertificates, 0);
    sk_X509_free(signerCertificates);

    StoreContextPtr context(X509_STORE_CTX_new());
    if (!context || X509_STORE_CTX_init(context.get(), trustedAnchors(), leaf, untrusted.get()) != 1)
        return damaged();
    if (X509_verify_cert(context.get()) != 1) {
        int error = X509_STORE_CTX_get_error(context.get());
        X509* culprit = X509_STORE_CTX_get_current_cert(context.get());
        std::string name = culprit ? commonName(culprit) : commonName(leaf);
        ERR_clear_error();
        if (error == X509_V_ERR_CERT_HAS_EXPIRED)
            return tl::unexpected(CodeSignError{Status::certificateExpired,
                                                "The signing certificate \"" + name + "\" has expired."});
        if (error == X509_V_ERR_CERT_NOT_YET_VALID)
            return tl::unexpected(
                CodeSignError{Status::certificateNotYetValid,
                              "The signing certificate \"" + name + "\" is not yet valid."});
        return tl::unexpected(
            CodeSignError{Status::chainUntrusted, "The signing certificate \"" + commonName(leaf) +
                                                      "\" does not lead to a trusted authority (" +
                                                      X509_verify_cert_error_string(error) + ")."});
    }
    // The chain was verified for no purpose: the leaf itself must be meant for signing code. Without
    // the extensions, OpenSSL reports every use as allowed.
    if ((X509_get_key_usage(leaf) & KU_DIGITAL_SIGNATURE) == 0 ||
        (X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN) == 0)
        return tl::unexpected(CodeSignError{
            Status::certificateNotForCodeSigning,
            "The signing certificate \"" + commonName(leaf) + "\" is not meant for signing code."});
    StackPtr verified(X509_STORE_CTX_get1_chain(context.get()));
    std::vector<Certificate> chain;
    for (int i = 0; i < sk_X509_num(verified.get()); ++i) {
        X509* certificate = sk_X509_value(verified.get(), i);
        X509_up_ref(certificate);
        chain.push_back(adopt(certificate));
    }
    return chain;
}

}  // namespace velmora::codesign
