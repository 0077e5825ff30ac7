#include "packet_queue.h"

packet_queue::packet_queue(size_t capacity) : storage_(capacity) {}

void packet_queue::push(std::vector<uint8_t>&& packet) {
    storage_[last_] = std::move(packet);
    last_ = (last_ + 1) % storage_.size();
    if (count_ == storage_.size()) {
        first_ = last_;
    } else {
        ++count_;
    }
}

void packet_queue::pop() {
    if (count_ == 0) {
        return;
    }
    std::vector<uint8_t>().swap(storage_[first_]);
    first_ = (first_ + 1) % storage_.size();
    --count_;
}
