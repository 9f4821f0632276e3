#include "runtime/client_runtime.hpp"

namespace vyre {

LinkStatistics ClientRuntime::link_statistics() const {
    LinkStatistics statistics;
    // The packet queue first: the reader publishes its counts before it queues
    // the packets they count, so the snapshot after it covers every queued one.
    statistics.packets_delivered = packet_rx_.received_count();
    statistics.packets_waiting = packet_rx_.queued();
    statistics.link = link_counters_->snapshot();
    statistics.answers_dropped = responses_->dropped();
    return statistics;
}

}  // namespace vyre
