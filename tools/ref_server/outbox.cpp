#include "outbox.h"

namespace {

constexpr size_t INITIAL_ROOM = 64 * 2048;

}  // namespace

outbox::outbox(std::chrono::milliseconds delay) : delay_(delay) {
    bytes_.reserve(INITIAL_ROOM);
}

size_t outbox::used() const {
    return ready_.empty() ? 0 : ready_.back().offset + ready_.back().len;
}

uint8_t* outbox::slot() {
    if (bytes_.size() < used() + MAX_DATAGRAM)
        bytes_.resize(used() + MAX_DATAGRAM);
    return bytes_.data() + used();
}

void outbox::commit(const peer_address& to, int len) {
    const size_t offset = used();
    if (delay_.count() == 0) {
        ready_.push_back(queued_datagram{to, offset, static_cast<size_t>(len)});
        return;
    }
    const uint8_t* msg = bytes_.data() + offset;
    held_.push_back(held{server_clock::now() + delay_, to, std::vector<uint8_t>(msg, msg + len)});
}

int outbox::wait_ms(server_clock::time_point now) const {
    if (!ready_.empty())
        return 0;
    if (held_.empty())
        return -1;
    const auto left = held_.front().due - now;
    if (left <= server_clock::duration::zero())
        return 0;
    // Rounded up, so a wake-up never comes before the message is due.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void outbox::flush(server_clock::time_point now, udp_endpoint& endpoint) {
    if (!ready_.empty()) {
        endpoint.send_batch(bytes_.data(), ready_.data(), ready_.size());
        ready_.clear();
    }
    while (!held_.empty() && held_.front().due <= now) {
        const held& next = held_.front();
        const queued_datagram one{next.to, 0, next.bytes.size()};
        endpoint.send_batch(next.bytes.data(), &one, 1);
        held_.pop_front();
    }
}
