// What passes between the data path and the system's ports: packets by reference, callables
// that take them one at a time, and how an operation of a port ended.
#pragma once

#include <cstdint>
#include <type_traits>

// One packet, not owned.
struct packet_ref {
    const uint8_t* data;
    int len;
};

// Non-owning reference to a callable, cheap to pass by value; the callable must outlive the
// call it is passed to.
template <typename Signature>
class callable_ref;

template <typename R, typename... Args>
class callable_ref<R(Args...)> {
  public:
    template <typename F,
              typename = std::enable_if_t<!std::is_same<std::decay_t<F>, callable_ref>::value>>
    callable_ref(F&& f)  // NOLINT: implicit so that a lambda can be passed directly
        : obj_(const_cast<void*>(static_cast<const void*>(&f))),
          call_(&invoke<std::remove_reference_t<F>>) {}
    R operator()(Args... args) const { return call_(obj_, args...); }

  private:
    template <typename F>
    static R invoke(void* obj, Args... args) {
        return (*static_cast<F*>(obj))(args...);
    }
    void* obj_;
    R (*call_)(void*, Args...);
};

// Takes one packet (which it may change) and says whether the producer goes on.
using packet_sink = callable_ref<bool(uint8_t* packet, int len)>;

// How a read, write, send or receive of a port ended; the call's error out-parameter then
// holds the system's code for logs.
enum class port_status {
    done,         // everything asked for went, or what was waiting was taken
    again,        // would block: wait for readiness
    no_buffer,    // the system is short of buffers for now
    refused,      // not acceptable to the device: dropped, the rest goes on
    unreachable,  // no way to the peer for now (no route, no address, a firewall): lost
    failed,
};
