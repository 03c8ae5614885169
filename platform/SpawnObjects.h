#pragma once

#include <spawn.h>

namespace velmora::platform {

// A posix_spawn file-actions or attributes object for the length of one start, destroyed on every
// path out. error() is the initialiser's error number; get() is usable only when it is 0.
template <typename Object, int (*Initialise)(Object*), int (*Destroy)(Object*)>
class SpawnObject {
  public:
    SpawnObject() : error_(Initialise(&object_)) {}
    ~SpawnObject() {
        if (error_ == 0) Destroy(&object_);
    }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;

    [[nodiscard]] int error() const { return error_; }
    Object* get() { return &object_; }

  private:
    Object object_{};
    int error_;
};

using SpawnFileActions = SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
                                     ::posix_spawn_file_actions_destroy>;
using SpawnAttributes = SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

}  // namespace velmora::platform
