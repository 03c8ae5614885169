#include "helper/ChildProcess.h"

#include "platform/Process.h"

namespace velmora::helper {

tl::expected<int, platform::SystemError> runChild(const std::filesystem::path& executable,
                                                  const std::vector<std::string>& arguments,
                                                  ChildOutput output) {
    platform::ProcessPlan plan;
    plan.arguments = {executable.string()};
    plan.arguments.insert(plan.arguments.end(), arguments.begin(), arguments.end());
    if (output == ChildOutput::discarded) {
        plan.standardInput = plan.standardOutput = plan.standardError =
            platform::StandardStream::nullDevice();
    }
    auto finished = platform::runProcess(plan);
    if (!finished) return tl::unexpected(finished.error());
    const auto& status = finished->status;
    return status.kind == platform::ExitStatus::Kind::exited ? status.number : 128 + status.number;
}

}  // namespace velmora::helper
