// Routes of a session: which ones, in which order, what is recorded and undone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "route_prefix.h"

struct qn_ctx_t;

struct route_request {
    uint32_t dest;  // network order
    uint8_t prefix_len;
    uint32_t next_hop;  // network order
    uint32_t if_index;
    bool is_server_route;
};

constexpr int SPLIT_DEFAULT_ROUTE_COUNT = 30;
extern const char* const split_default_routes[SPLIT_DEFAULT_ROUTE_COUNT];

int set_route_table(qn_ctx_t* ctx, const route_prefix* remote_routes, int remote_route_count,
                    const route_prefix* proxy_routes, int proxy_route_count, bool proxy_mode);
void reset_route_table(qn_ctx_t* ctx);
int perform_add_routes(qn_ctx_t* ctx, const std::vector<route_request>& requests);
int protect_wan_routes(qn_ctx_t* ctx);
void qn_protect_threadfunc(qn_ctx_t* ctx);
void add_server_route(qn_ctx_t* ctx, std::vector<route_request>& requests);

// Routing between interfaces for split mode; stop gives back the state start found.
int start_router();
int stop_router();
// Puts forwarding back to `before` while it still shows `after`; 0 or an errno value.
int restore_forwarding(const std::string& before, const std::string& after);
// Whether a recorded forwarding state is one this system's forwarding can take.
bool forwarding_state_valid(const std::string& state);
