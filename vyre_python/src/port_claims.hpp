#pragma once
// The ports that clients of this process hold open. A stopped client keeps its
// port until it is closed or collected, so a new client on the same port fails
// to open it; the claims let that failure say which client holds it.

#include <sys/types.h>

#include <optional>
#include <string>

namespace vyre::py {

class PortClaim {
public:
    PortClaim() noexcept = default;
    // Records `path` (the port as the device and inode it names) as held by
    // the client opened with that name; nothing when the path cannot be looked up.
    explicit PortClaim(const std::string& path);
    ~PortClaim() { release(); }
    PortClaim(PortClaim&& other) noexcept;
    PortClaim& operator=(PortClaim&& other) noexcept;
    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

    void release() noexcept;

private:
    bool held_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// The name a client of this process opened the port at `path` with, if one holds it.
std::optional<std::string> port_holder(const std::string& path);

}  // namespace vyre::py
