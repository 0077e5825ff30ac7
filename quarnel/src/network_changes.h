// What the protect worker and the keepalive wait on: the session's stop, a change of the
// host's network (route_watch.h), or the end of their own wait. A burst of changes, as a link
// going away or a new lease brings, counts once, when it has settled. Where the system tells
// of no changes, only the stop and the time-out end a wait.
#pragma once

#include <chrono>
#include <cstdint>

#include "route_watch.h"

class run_state;

class network_changes {
  public:
    enum result { CHANGED, TIMED_OUT, STOPPED };

    // Watches from the calling thread's network; `worker` names the worker in the log.
    network_changes(run_state& running, int32_t tunnel_if_index, const char* worker);
    ~network_changes();
    network_changes(const network_changes&) = delete;
    network_changes& operator=(const network_changes&) = delete;

    result wait(std::chrono::milliseconds timeout);

  private:
    bool stopped();
    // The rest of a burst of changes, up to a short quiet spell; false when the stop came.
    bool settle();
    void give_up_watch(int error);

    run_state& running_;
    route_watch* watch_ = nullptr;
    const char* const worker_;
};
