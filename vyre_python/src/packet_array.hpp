#pragma once
// get_data_array's result: telemetry records as one numpy structured array whose
// rows are byte copies of the records (the packet's 23 values, then the host
// receive time). numpy is imported at the first use, so the module neither needs
// it to import nor is built against its headers.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "py_ref.hpp"
#include "vyre_packets.hpp"

namespace vyre::py {

// drain_into's target: told the total by reserve(), it allocates the array and
// copies each record into its row as the record leaves the queue. A record
// pushed before that (the one a blocking wait took) waits for the array. After
// a failure the rest is dropped, as a failed list of packets would drop it.
// Test it after construction: false when numpy cannot be imported (ImportError
// set, saying how to install it), so nothing must be taken from the queue.
class PacketArrayBuilder {
public:
    PacketArrayBuilder();
    ~PacketArrayBuilder();
    PacketArrayBuilder(const PacketArrayBuilder&) = delete;
    PacketArrayBuilder& operator=(const PacketArrayBuilder&) = delete;

    explicit operator bool() const noexcept { return numpy_parts_ != nullptr; }

    std::size_t size() const noexcept { return count_; }
    // Allocates the array for `total` records in all (once).
    void reserve(std::size_t total);
    void push_back(const vyre::DataPacket& record) {
        ++count_;
        if (next_ != end_) {
            std::memcpy(next_, &record, sizeof record);
            next_ += sizeof record;
        } else if (!array_ && !failed_) {
            waiting_ = record;
        }
    }

    // The array (a new reference, empty when nothing came), or null with an
    // exception set.
    PyObject* release();

private:
    void allocate(std::size_t rows);
    void release_view() noexcept;

    PyObject* numpy_parts_ = nullptr;  // (numpy.empty, the dtype), borrowed
    Ref array_;
    Py_buffer view_{};
    bool has_view_ = false;
    bool failed_ = false;
    std::uint8_t* next_ = nullptr;  // the next row to fill
    std::uint8_t* end_ = nullptr;
    std::size_t count_ = 0;  // records pushed
    vyre::DataPacket waiting_{};
};

}  // namespace vyre::py
