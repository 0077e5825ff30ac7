// Routes of a session: which ones, in which order, what is recorded and undone.
#pragma once

#include <cstdint>
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

// Gives back the forwarding state start_router (forwarding.h) found.
int stop_router();
