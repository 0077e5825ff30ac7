#include "outbox.h"

void outbox::push(server_clock::time_point due, const peer_address& to, const uint8_t* msg,
                  int len) {
    queue_.push_back(message{due, to, std::vector<uint8_t>(msg, msg + len)});
}

int outbox::wait_ms(server_clock::time_point now) const {
    if (queue_.empty())
        return -1;
    const auto left = queue_.front().due - now;
    if (left <= server_clock::duration::zero())
        return 0;
    // Rounded up, so a wake-up never comes before the message is due.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void outbox::flush(server_clock::time_point now, udp_endpoint& endpoint) {
    while (!queue_.empty() && queue_.front().due <= now) {
        const message& next = queue_.front();
        endpoint.send(next.to, next.bytes.data(), static_cast<int>(next.bytes.size()));
        queue_.pop_front();
    }
}
