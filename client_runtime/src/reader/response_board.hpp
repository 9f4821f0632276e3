#pragma once
// Answers from the device waiting to be claimed, kept per kind: the reader posts
// them, a transaction takes the oldest of the kind it expects (a late answer is
// claimed by the next call of its kind, unless the call asks only for answers
// posted since a mark it took). Each kind keeps a bounded backlog, so a
// device that sends answers nobody asked for cannot grow memory without end.
// A call that refuses late answers and gives up leaves a debt on its kind: the
// next answer of that kind is its late one and is refused when it comes.
// A link failure wakes every wait at once.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "responses.hpp"

namespace vyre {

// Far more answers of one kind than any caller leaves unclaimed; the oldest go first.
inline constexpr std::size_t RESPONSE_BACKLOG_PER_KIND = 256;
// How long after its call gave up a late answer is still expected: a device
// slower than this is answering nothing, and the debt goes.
inline constexpr std::chrono::seconds LATE_ANSWER_WINDOW{10};

class ResponseBoard {
public:
    enum class Wait : unsigned char { Claimed, Timeout, LinkFailed };

    ResponseBoard() = default;
    // `on_post` runs after every post that added answers, outside the lock.
    explicit ResponseBoard(std::function<void()> on_post) : on_post_(std::move(on_post)) {}

    // Reader side: appends each answer to its kind's backlog and wakes a waiter.
    void post(std::vector<Response>& answers);
    // Reader side: the link failed; waits end with LinkFailed until `clear_failure`.
    // The answers still owed are lost with the link: their debts go.
    void signal_failure();
    // A new reader starts on a working link.
    void clear_failure();

    // The oldest answer of `kind` posted at or after `since` (a `mark()`),
    // without waiting. Older answers of that kind are dropped on the way: a
    // caller that refuses them is the one they were late for.
    std::optional<Response> take(ResponseKind kind, std::uint64_t since = 0);
    // Waits until an answer of `kind` is there (moved to `out`, as `take`), `until`
    // passes, or the link fails. Without a kind only the time-out or a failure ends it.
    Wait wait(std::optional<ResponseKind> kind, std::chrono::steady_clock::time_point until, Response& out,
              std::uint64_t since = 0);
    // Where the answers posted from now on begin, for `take` and `wait`.
    std::uint64_t mark() const { return posted(); }

    // A call of `kind` that took its mark at `since` and `debts_paid(kind)` at
    // `paid` gave up without an answer. Its answer, when it comes, is refused:
    // at once when it came meanwhile, otherwise by a debt on the kind. A call
    // during whose wait a debt was paid owes nothing more: what was refused
    // may have been its own answer (the one owed lost on the line), and a
    // debt for it would refuse the answer of every later call in turn.
    void unanswered(ResponseKind kind, std::uint64_t since, std::uint64_t paid);
    // Debts of `kind` settled by refusing an answer, ever.
    std::uint64_t debts_paid(ResponseKind kind) const;
    // Forgets every debt (late answers are kept again).
    void forgive();

    std::size_t waiting(ResponseKind kind) const;
    std::size_t waiting() const;
    // Answers pushed out of a full backlog, and late answers refused (see
    // `take` and `unanswered`), since construction.
    std::uint64_t dropped() const;
    // Answers ever posted.
    std::uint64_t posted() const;

private:
    static constexpr std::size_t KIND_COUNT = std::variant_size_v<Response>;

    // An answer and its place among all answers ever posted.
    struct Posted {
        std::uint64_t sequence;
        Response answer;
    };

    using Clock = std::chrono::steady_clock;

    std::optional<Response> take_locked(std::optional<ResponseKind> kind, std::uint64_t since);
    // Whether a debt of `kind` refuses an answer arriving now (paying it).
    bool pay_debt_locked(std::size_t kind, Clock::time_point now);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::array<std::deque<Posted>, KIND_COUNT> backlog_;
    // When each debt runs out, oldest first, per kind.
    std::array<std::deque<Clock::time_point>, KIND_COUNT> debts_;
    std::array<std::uint64_t, KIND_COUNT> debts_paid_{};
    bool link_failed_ = false;
    std::uint64_t dropped_ = 0;
    std::uint64_t posted_ = 0;
    const std::function<void()> on_post_;
};

}  // namespace vyre
