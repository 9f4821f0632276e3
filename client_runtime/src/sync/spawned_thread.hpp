#pragma once
// A background thread with a 2 MiB stack whose body's result (or the fact that it
// ended by an exception, a crash) is collected by join. The owner must join: the
// destructor joins a thread nobody collected.

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "result.hpp"
#include "sync/forced_unwind.hpp"

namespace vyre {

inline constexpr std::size_t THREAD_STACK_SIZE = 2 * 1024 * 1024;
inline constexpr const char* SPAWN_FAILED_TEXT = "failed to spawn thread";

namespace detail {
// 0 or the error number of pthread_create.
int start_native_thread(pthread_t& handle, void* (*entry)(void*), void* arg);
// Internal fault "failed to join thread: ..." on failure.
Status join_native_thread(pthread_t handle);
}  // namespace detail

template <class R>
class SpawnedThread {
public:
    // Internal fault "failed to spawn thread" when the system refuses; `body` is
    // then destroyed without having run.
    static Result<SpawnedThread> spawn(std::function<R()> body) {
        auto shared = std::make_shared<Shared>();
        shared->body = std::move(body);
        auto* arg = new std::shared_ptr<Shared>(shared);
        SpawnedThread thread;
        if (detail::start_native_thread(thread.handle_, &entry, arg) != 0) {
            delete arg;
            return Error::internal(SPAWN_FAILED_TEXT);
        }
        thread.shared_ = std::move(shared);
        return thread;
    }

    SpawnedThread(SpawnedThread&& other) noexcept
        : handle_(other.handle_), shared_(std::move(other.shared_)) {}
    SpawnedThread& operator=(SpawnedThread&& other) noexcept {
        if (this != &other) {
            if (shared_) (void)join();
            handle_ = other.handle_;
            shared_ = std::move(other.shared_);
        }
        return *this;
    }
    SpawnedThread(const SpawnedThread&) = delete;
    SpawnedThread& operator=(const SpawnedThread&) = delete;
    ~SpawnedThread() {
        if (shared_) (void)join();
    }

    bool is_finished() const { return shared_->finished.load(std::memory_order_acquire); }

    // Waits for the end: the body's result, or nothing if it ended by an exception.
    Result<std::optional<R>> join() {
        auto shared = std::move(shared_);
        if (Status joined = detail::join_native_thread(handle_); !joined) return joined.take_error();
        return std::move(shared->result);
    }

private:
    struct Shared {
        std::function<R()> body;
        std::optional<R> result;
        std::atomic<bool> finished{false};
    };

    SpawnedThread() = default;

    static void* entry(void* raw) {
        std::unique_ptr<std::shared_ptr<Shared>> holder(static_cast<std::shared_ptr<Shared>*>(raw));
        Shared& shared = **holder;
        try {
            shared.result.emplace(shared.body());
        } catch (vyre::ForcedUnwind&) {
            // pthread_exit or a cancellation: the thread must end by unwinding
            shared.finished.store(true, std::memory_order_release);
            throw;
        } catch (...) {
            // A crash: the result stays empty and whatever the body owned is gone.
        }
        shared.body = nullptr;  // release what the body captured on this thread
        shared.finished.store(true, std::memory_order_release);
        return nullptr;
    }

    pthread_t handle_{};
    std::shared_ptr<Shared> shared_;
};

}  // namespace vyre
