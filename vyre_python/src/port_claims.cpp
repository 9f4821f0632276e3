#include "port_claims.hpp"

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <utility>

namespace vyre::py {
namespace {

using Key = std::pair<dev_t, ino_t>;

struct Claims {
    std::mutex mutex;
    std::map<Key, std::string> holders;
};

// Never destroyed: a client may release its claim while the process exits.
Claims& claims() {
    static Claims* const all = new Claims;
    return *all;
}

std::optional<Key> key_of(const std::string& path) {
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return Key(info.st_dev, info.st_ino);
}

}  // namespace

PortClaim::PortClaim(const std::string& path) {
    const auto key = key_of(path);
    if (!key) return;
    Claims& all = claims();
    std::lock_guard guard(all.mutex);
    all.holders.insert_or_assign(*key, path);
    held_ = true;
    device_ = key->first;
    inode_ = key->second;
}

PortClaim::PortClaim(PortClaim&& other) noexcept
    : held_(std::exchange(other.held_, false)), device_(other.device_), inode_(other.inode_) {}

PortClaim& PortClaim::operator=(PortClaim&& other) noexcept {
    if (this != &other) {
        release();
        held_ = std::exchange(other.held_, false);
        device_ = other.device_;
        inode_ = other.inode_;
    }
    return *this;
}

void PortClaim::release() noexcept {
    if (!std::exchange(held_, false)) return;
    Claims& all = claims();
    std::lock_guard guard(all.mutex);
    all.holders.erase(Key(device_, inode_));
}

std::optional<std::string> port_holder(const std::string& path) {
    const auto key = key_of(path);
    if (!key) return std::nullopt;
    Claims& all = claims();
    std::lock_guard guard(all.mutex);
    const auto found = all.holders.find(*key);
    if (found == all.holders.end()) return std::nullopt;
    return found->second;
}

}  // namespace vyre::py
