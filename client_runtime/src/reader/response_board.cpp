#include "reader/response_board.hpp"

#include <algorithm>

namespace vyre {

void ResponseBoard::post(std::vector<Response>& answers) {
    if (answers.empty()) return;
    bool added = false;
    {
        std::lock_guard lock(mutex_);
        const Clock::time_point now = Clock::now();
        for (Response& answer : answers) {
            if (pay_debt_locked(answer.index(), now)) continue;
            added = true;
            std::deque<Posted>& queue = backlog_[answer.index()];
            if (queue.size() == RESPONSE_BACKLOG_PER_KIND) {
                queue.pop_front();
                ++dropped_;
            }
            queue.push_back(Posted{posted_++, std::move(answer)});
        }
    }
    answers.clear();
    if (!added) return;
    // One caller thread waits at most, but it may wait for a kind other than
    // what came: it looks and sleeps again.
    changed_.notify_all();
    if (on_post_) on_post_();
}

void ResponseBoard::signal_failure() {
    {
        std::lock_guard lock(mutex_);
        link_failed_ = true;
        for (auto& debts : debts_) debts.clear();
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
    while (!queue.empty() && queue.front().sequence < since) {
        queue.pop_front();
        ++dropped_;  // refused: it came before the call that asks
    }
    if (queue.empty()) return std::nullopt;
    std::optional<Response> taken(std::move(queue.front().answer));
    queue.pop_front();
    return taken;
}

bool ResponseBoard::pay_debt_locked(std::size_t kind, Clock::time_point now) {
    std::deque<Clock::time_point>& debts = debts_[kind];
    while (!debts.empty() && debts.front() <= now) debts.pop_front();
    if (debts.empty()) return false;
    debts.pop_front();
    ++debts_paid_[kind];
    ++dropped_;
    return true;
}

void ResponseBoard::unanswered(ResponseKind kind, std::uint64_t since, std::uint64_t paid) {
    const auto index = static_cast<std::size_t>(kind);
    std::lock_guard lock(mutex_);
    std::deque<Posted>& queue = backlog_[index];
    const auto own = std::find_if(queue.begin(), queue.end(), [&](const Posted& item) { return item.sequence >= since; });
    if (own != queue.end()) {
        queue.erase(own);
        ++dropped_;
        return;
    }
    if (debts_paid_[index] != paid) return;
    debts_[index].push_back(Clock::now() + LATE_ANSWER_WINDOW);
}

std::uint64_t ResponseBoard::debts_paid(ResponseKind kind) const {
    std::lock_guard lock(mutex_);
    return debts_paid_[static_cast<std::size_t>(kind)];
}

void ResponseBoard::forgive() {
    std::lock_guard lock(mutex_);
    for (auto& debts : debts_) debts.clear();
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
