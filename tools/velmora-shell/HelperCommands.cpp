#include <iostream>

#include "kit/HelperErrors.h"
#include "kit/HelperInfo.h"
#include "tools/velmora-shell/Commands.h"

namespace velmora::shell {

namespace {

using kit::Blob;
using kit::Reply;
using kit::VelmoraHelperXPCProtocol;

// A call the helper answered with a JSON-RPC error (for instance one this build does not offer): its
// own text is the message.
Outcome callFailure(const kit::xpc::ConnectionError& error) {
    if (error.kind == kit::xpc::ConnectionError::Kind::remoteError) return failure(error.description);
    return failure(describe(error));
}

}  // namespace

Outcome runInfo(const HelperAddress& address, InfoFormat format) {
    auto connection = connectToHelper(address, {});
    if (!connection) return connection.error();
    auto result = callAndWait<Blob>(**connection, [](VelmoraHelperXPCProtocol& helper, Reply<Blob> reply) {
        helper.fetchHelperInfo(std::move(reply));
    });
    (*connection)->invalidate();
    if (!result) return failure(describe(result.error()));
    auto& blob = std::get<0>(*result);
    if (!blob) return failure("the helper sent no info");
    if (format == InfoFormat::json) {
        std::cout << *blob << "\n";
    } else {
        auto info = kit::HelperInfo::decode(*blob);
        if (!info) return failure("the helper's info was malformed: " + info.error().description);
        std::cout << "Velmora Helper " << info->version.description() << " (" << info->build << "), protocol "
                  << info->protocolVersion << "\n"
                  << "Bundle:      " << info->bundlePath << "\n"
                  << "Process:     " << info->processIdentifier << "\n"
                  << "User:        " << info->userName << "\n"
                  << "Login shell: " << info->loginShell << "\n"
                  << "Socket:      " << address.socketPath << "\n";
    }
    return std::cout.flush() ? Outcome{} : failure("cannot write to standard output");
}

Outcome runCancelUpdate(const HelperAddress& address) {
    auto connection = connectToHelper(address, {});
    if (!connection) return connection.error();
    auto result = callAndWait<>(**connection, [](VelmoraHelperXPCProtocol& helper, Reply<> reply) {
        helper.cancelSelfUpdate(std::move(reply));
    });
    (*connection)->invalidate();
    if (!result) return callFailure(result.error());
    std::cout << "The cancel request was passed to the helper.\n";
    return {};
}

Outcome runUninstall(const HelperAddress& address) {
    auto connection = connectToHelper(address, {});
    if (!connection) return connection.error();
    auto result = callAndWait<Blob>(**connection, [](VelmoraHelperXPCProtocol& helper, Reply<Blob> reply) {
        helper.beginUninstall(std::move(reply));
    });
    (*connection)->invalidate();
    if (!result) return callFailure(result.error());
    auto& blob = std::get<0>(*result);
    if (blob) {
        auto error = kit::HelperUninstallError::decode(*blob);
        if (!error)
            return failure("the helper refused, with an unreadable reason: " + error.error().description);
        return failure(error->summary(), error->kind() == kit::HelperUninstallError::Case::busy
                                             ? exitStatus::tryAgain
                                             : exitStatus::failed);
    }
    std::cout << "The helper is uninstalling itself.\n";
    return {};
}

}  // namespace velmora::shell
