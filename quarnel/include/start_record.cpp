#include "start_record.h"

#include "result_codes.h"
#include "route_entry_check.h"

int32_t start_refusal(const start_record& record, std::string* why) {
    for (const auto* list : {&record.local_routes, &record.remote_routes, &record.proxy_routes}) {
        for (const route_entry_str_t& route : *list) {
            uint8_t address[4] = {};
            const route_fault fault = check_route_entry(route, address);
            if (fault != route_fault::none) {
                *why = "route " + route_entry_address(route) + "/" + std::to_string(route.bitlen) +
                       ": " + route_fault_text(fault);
                return QN_ROUTES_FAILED;
            }
        }
    }
    return QN_OK;
}
