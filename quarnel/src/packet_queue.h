// Fixed-capacity ring of packets between two workers; the caller does the locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class packet_queue {
public:
    static constexpr size_t default_capacity = 32768;

    explicit packet_queue(size_t capacity = default_capacity);

    // When full, the oldest entry is overwritten and the count stays at capacity.
    void push(std::vector<uint8_t>&& packet);
    std::vector<uint8_t>& front() { return storage_[first_]; }
    void pop();

    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    size_t capacity() const { return storage_.size(); }

private:
    std::vector<std::vector<uint8_t>> storage_;
    size_t first_ = 0;
    size_t last_ = 0;
    size_t count_ = 0;
};
