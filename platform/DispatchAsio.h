#pragma once

// Asio access to the dispatch layer, for code that runs its own I/O objects (sockets, descriptors)
// on the shared event loop. Everything else uses platform/Dispatch.h alone.

#include <asio.hpp>

#include "platform/Dispatch.h"

namespace velmora::platform {

struct DispatchContext::Impl {
    asio::io_context io;
};

struct DispatchQueue::Impl {
    // A strand for a serial queue; the context's plain executor for the concurrent one.
    asio::any_io_executor executor;
};

inline asio::io_context& sharedIoContext() {
    return DispatchContext::shared().impl().io;
}
inline asio::any_io_executor executorOf(DispatchQueue& queue) {
    return queue.impl().executor;
}

}  // namespace velmora::platform
