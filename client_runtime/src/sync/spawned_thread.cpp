#include "sync/spawned_thread.hpp"

#include "sync/errno_text.hpp"

namespace vyre::detail {

int start_native_thread(pthread_t& handle, void* (*entry)(void*), void* arg) {
    pthread_attr_t attr;
    if (int err = pthread_attr_init(&attr)) return err;
    int err = pthread_attr_setstacksize(&attr, THREAD_STACK_SIZE);
    if (err == 0) err = pthread_create(&handle, &attr, entry, arg);
    pthread_attr_destroy(&attr);
    return err;
}

Status join_native_thread(pthread_t handle) {
    if (int err = pthread_join(handle, nullptr)) return Error::internal("failed to join thread: " + errno_text(err));
    return ok_status();
}

}  // namespace vyre::detail
