#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace velmora::helper {

// Holds the callback that counts the open shells of every connection. Made empty before the service
// is complete, so that what the service builds can already hold it; filled in once the service is.
class HelperOpenShellCounter {
  public:
    using Source = std::function<std::int64_t()>;

    static std::shared_ptr<HelperOpenShellCounter> create() {
        return std::make_shared<HelperOpenShellCounter>();
    }

    void setSource(Source source) {
        std::lock_guard guard(mutex_);
        source_ = std::move(source);
    }

    // The count, or 0 while no source is set. Must not be called from the service queue.
    [[nodiscard]] std::int64_t count() const {
        Source source;
        {
            std::lock_guard guard(mutex_);
            source = source_;
        }
        return source ? source() : 0;
    }

  private:
    mutable std::mutex mutex_;
    Source source_;
};

}  // namespace velmora::helper
