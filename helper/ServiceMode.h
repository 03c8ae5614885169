#pragma once

namespace velmora::helper {

// Starts the service and runs the dispatch loop on the calling thread. Returns only when the
// service could not start, with the exit status to end the process with.
int runServiceMode();

}  // namespace velmora::helper
