#include "kit/xpc/VelmoraHelperXPC.h"

namespace velmora::kit {

xpc::InterfaceDescription VelmoraHelperXPCInterface::helperInterface() {
    return xpc::detail::describe<VelmoraHelperXPCProtocol>();
}

xpc::InterfaceDescription VelmoraHelperXPCInterface::clientInterface() {
    return xpc::detail::describe<VelmoraHelperClientXPCProtocol>();
}

namespace xpc {

using H = VelmoraHelperXPCProtocol;
using C = VelmoraHelperClientXPCProtocol;

void VelmoraHelperProxy::fetchHelperInfo(Reply<Blob> reply) {
    core_.call<&H::fetchHelperInfo>(std::move(reply));
}
void VelmoraHelperProxy::openShell(Blob request, Reply<platform::UniqueFd, Blob> reply) {
    core_.call<&H::openShell>(std::move(reply), std::move(request));
}
void VelmoraHelperProxy::resizeShell(std::int32_t processIdentifier, std::int64_t columns, std::int64_t rows,
                                     Reply<bool> reply) {
    core_.call<&H::resizeShell>(std::move(reply), processIdentifier, columns, rows);
}
void VelmoraHelperProxy::signalShell(std::int32_t processIdentifier, std::int32_t signal, Reply<bool> reply) {
    core_.call<&H::signalShell>(std::move(reply), processIdentifier, signal);
}
void VelmoraHelperProxy::closeShell(std::int32_t processIdentifier, Reply<> reply) {
    core_.call<&H::closeShell>(std::move(reply), processIdentifier);
}
void VelmoraHelperProxy::beginSelfUpdate(Blob manifestJSON, Reply<Blob> reply) {
    core_.call<&H::beginSelfUpdate>(std::move(reply), std::move(manifestJSON));
}
void VelmoraHelperProxy::cancelSelfUpdate(Reply<> reply) {
    core_.call<&H::cancelSelfUpdate>(std::move(reply));
}
void VelmoraHelperProxy::beginUninstall(Reply<Blob> reply) {
    core_.call<&H::beginUninstall>(std::move(reply));
}

void VelmoraHelperClientProxy::shellDidExit(std::int32_t processIdentifier, std::int32_t exitStatus,
                                            std::int32_t terminationSignal) {
    core_.notify<&C::shellDidExit>(processIdentifier, exitStatus, terminationSignal);
}
void VelmoraHelperClientProxy::didStartDownloading(std::int64_t totalBytes) {
    core_.notify<&C::didStartDownloading>(totalBytes);
}
void VelmoraHelperClientProxy::didDownload(std::int64_t bytes) {
    core_.notify<&C::didDownload>(bytes);
}
void VelmoraHelperClientProxy::didVerify() {
    core_.notify<&C::didVerify>();
}
void VelmoraHelperClientProxy::didStage() {
    core_.notify<&C::didStage>();
}
void VelmoraHelperClientProxy::willRestart() {
    core_.notify<&C::willRestart>();
}
void VelmoraHelperClientProxy::didFail(Blob error) {
    core_.notify<&C::didFail>(std::move(error));
}

}  // namespace xpc
}  // namespace velmora::kit
