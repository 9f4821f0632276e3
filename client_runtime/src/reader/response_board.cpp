#include "reader/response_board.hpp"

namespace vyre {

void ResponseBoard::post(std::vector<Response>& answers) {
    if (answers.empty()) return;
    {
        std::lock_guard lock(mutex_);
        for (Response& answer : answers) {
            std::deque<Posted>& queue = backlog_[answer.index()];
            if (queue.size() == RESPONSE_BACKLOG_PER_KIND) {
                queue.pop_front();
                ++dropped_;
            }
            queue.push_back(Posted{posted_++, std::move(answer)});
        }
    }
    answers.clear();
    // One caller thread waits at most, but it may wait for a kind other than
    // what came: it looks and sleeps again.
    changed_.notify_all();
    if (on_post_) on_post_();
}

void ResponseBoard::signal_failure() {
    {
        std::lock_guard lock(mutex_);
        link_failed_ = true;
    }
    changed_.notify_all();
}

void ResponseBoard::clear_failure() {
    std::lock_guard lock(mutex_);
    link_failed_ = false;
}

std::optional<Response> ResponseBoard::take_locked(std::optional<ResponseKind> kind, std::uint64_t since) {
    if (!kind) return std::nullopt;
    std::deque<Posted>& queue = backlog_[static_cast<std::size_t>(*kind)];
    while (!queue.empty() && queue.front().sequence < since) queue.pop_front();
    if (queue.empty()) return std::nullopt;
    std::optional<Response> taken(std::move(queue.front().answer));
    queue.pop_front();
    return taken;
}

std::optional<Response> ResponseBoard::take(ResponseKind kind, std::uint64_t since) {
    std::lock_guard lock(mutex_);
    return take_locked(kind, since);
}

ResponseBoard::Wait ResponseBoard::wait(std::optional<ResponseKind> kind, std::chrono::steady_clock::time_point until,
                                        Response& out, std::uint64_t since) {
    std::unique_lock lock(mutex_);
    for (;;) {
        // Answers that came before the failure are still claimed.
        if (std::optional<Response> taken = take_locked(kind, since)) {
            out = std::move(*taken);
            return Wait::Claimed;
        }
        if (link_failed_) return Wait::LinkFailed;
        if (changed_.wait_until(lock, until) == std::cv_status::timeout) {
            if (std::optional<Response> taken = take_locked(kind, since)) {
                out = std::move(*taken);
                return Wait::Claimed;
            }
            return link_failed_ ? Wait::LinkFailed : Wait::Timeout;
        }
    }
}

std::size_t ResponseBoard::waiting(ResponseKind kind) const {
    std::lock_guard lock(mutex_);
    return backlog_[static_cast<std::size_t>(kind)].size();
}

std::size_t ResponseBoard::waiting() const {
    std::lock_guard lock(mutex_);
    std::size_t total = 0;
    for (const auto& queue : backlog_) total += queue.size();
    return total;
}

std::uint64_t ResponseBoard::posted() const {
    std::lock_guard lock(mutex_);
    return posted_;
}

std::uint64_t ResponseBoard::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

}  // namespace vyre
