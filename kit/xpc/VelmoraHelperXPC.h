#pragma once

// The two call interfaces between the application and the helper, declared once. Everything that
// crosses the wire (selectors, argument order and widths, reply shapes) is generated from the method
// tables in ProtocolTraits below.
//
// Blobs hold one UTF-8 JSON document each and are opaque here; nullopt is a null blob. The terminal
// handle is an owned descriptor; an invalid one is null.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kit/xpc/Connection.h"
#include "kit/xpc/Interface.h"
#include "kit/xpc/Reply.h"
#include "platform/UniqueFd.h"

namespace velmora::kit {

using xpc::Blob;
using xpc::Reply;

// Exported by the helper. Every method replies exactly once on every path.
class VelmoraHelperXPCProtocol {
  public:
    virtual ~VelmoraHelperXPCProtocol() = default;

    virtual void fetchHelperInfo(Reply<Blob> reply) = 0;
    virtual void openShell(Blob request, Reply<platform::UniqueFd, Blob> reply) = 0;
    virtual void resizeShell(std::int32_t processIdentifier, std::int64_t columns, std::int64_t rows,
                             Reply<bool> reply) = 0;
    virtual void signalShell(std::int32_t processIdentifier, std::int32_t signal, Reply<bool> reply) = 0;
    virtual void closeShell(std::int32_t processIdentifier, Reply<> reply) = 0;
    virtual void beginSelfUpdate(Blob manifestJSON, Reply<Blob> reply) = 0;
    virtual void cancelSelfUpdate(Reply<> reply) = 0;
    virtual void beginUninstall(Reply<Blob> reply) = 0;
};

// Exported by the client; every method is a one-way notification from the helper.
class VelmoraHelperClientXPCProtocol {
  public:
    virtual ~VelmoraHelperClientXPCProtocol() = default;

    virtual void shellDidExit(std::int32_t processIdentifier, std::int32_t exitStatus,
                              std::int32_t terminationSignal) = 0;
    virtual void didStartDownloading(std::int64_t totalBytes) = 0;
    virtual void didDownload(std::int64_t bytes) = 0;
    virtual void didVerify() = 0;
    virtual void didStage() = 0;
    virtual void willRestart() = 0;
    virtual void didFail(Blob error) = 0;
};

namespace VelmoraHelperXPCInterface {
// A new description of VelmoraHelperXPCProtocol on every call.
[[nodiscard]] xpc::InterfaceDescription helperInterface();
// A new description of VelmoraHelperClientXPCProtocol on every call.
[[nodiscard]] xpc::InterfaceDescription clientInterface();
}  // namespace VelmoraHelperXPCInterface

namespace xpc {

// Proxies: each method forwards to the generated encoder; the selector comes from the table.
class VelmoraHelperProxy final : public VelmoraHelperXPCProtocol {
  public:
    explicit VelmoraHelperProxy(detail::ProxyCore core) : core_(std::move(core)) {}
    void fetchHelperInfo(Reply<Blob> reply) override;
    void openShell(Blob request, Reply<platform::UniqueFd, Blob> reply) override;
    void resizeShell(std::int32_t processIdentifier, std::int64_t columns, std::int64_t rows,
                     Reply<bool> reply) override;
    void signalShell(std::int32_t processIdentifier, std::int32_t signal, Reply<bool> reply) override;
    void closeShell(std::int32_t processIdentifier, Reply<> reply) override;
    void beginSelfUpdate(Blob manifestJSON, Reply<Blob> reply) override;
    void cancelSelfUpdate(Reply<> reply) override;
    void beginUninstall(Reply<Blob> reply) override;

  private:
    detail::ProxyCore core_;
};

class VelmoraHelperClientProxy final : public VelmoraHelperClientXPCProtocol {
  public:
    explicit VelmoraHelperClientProxy(detail::ProxyCore core) : core_(std::move(core)) {}
    void shellDidExit(std::int32_t processIdentifier, std::int32_t exitStatus,
                      std::int32_t terminationSignal) override;
    void didStartDownloading(std::int64_t totalBytes) override;
    void didDownload(std::int64_t bytes) override;
    void didVerify() override;
    void didStage() override;
    void willRestart() override;
    void didFail(Blob error) override;

  private:
    detail::ProxyCore core_;
};

template <>
struct ProtocolTraits<VelmoraHelperXPCProtocol> {
    using P = VelmoraHelperXPCProtocol;
    using Proxy = VelmoraHelperProxy;
    static constexpr std::string_view name = "VelmoraHelperXPCProtocol";
    static constexpr auto methods = std::tuple{
        Method<&P::fetchHelperInfo>{"fetchHelperInfoWithReply:"},
        Method<&P::openShell>{"openShell:reply:"},
        Method<&P::resizeShell>{"resizeShellWithProcessIdentifier:columns:rows:reply:"},
        Method<&P::signalShell>{"signalShellWithProcessIdentifier:signal:reply:"},
        Method<&P::closeShell>{"closeShellWithProcessIdentifier:reply:"},
        Method<&P::beginSelfUpdate>{"beginSelfUpdateWithManifestJSON:reply:"},
        Method<&P::cancelSelfUpdate>{"cancelSelfUpdateWithReply:"},
        Method<&P::beginUninstall>{"beginUninstallWithReply:"},
    };
};

template <>
struct ProtocolTraits<VelmoraHelperClientXPCProtocol> {
    using P = VelmoraHelperClientXPCProtocol;
    using Proxy = VelmoraHelperClientProxy;
    static constexpr std::string_view name = "VelmoraHelperClientXPCProtocol";
    static constexpr auto methods = std::tuple{
        Method<&P::shellDidExit>{"shellDidExitWithProcessIdentifier:exitStatus:terminationSignal:"},
        Method<&P::didStartDownloading>{"didStartDownloadingWithTotalBytes:"},
        Method<&P::didDownload>{"didDownloadWithBytes:"},
        Method<&P::didVerify>{"didVerify"},
        Method<&P::didStage>{"didStage"},
        Method<&P::willRestart>{"willRestart"},
        Method<&P::didFail>{"didFailWithError:"},
    };
};

}  // namespace xpc
}  // namespace velmora::kit
