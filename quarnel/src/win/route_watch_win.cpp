// Windows tells of route and address changes (NotifyRouteChange2,
// NotifyUnicastIpAddressChange), but the engine does not listen there yet: the workers keep to
// their rounds.
#include "route_watch.h"

route_watch* route_watch_open(int32_t /*tunnel_if_index*/, int* error) {
    *error = 0;
    return nullptr;
}

void route_watch_close(route_watch* /*watch*/) {}

watch_result route_watch_wait(route_watch* /*watch*/, worker_wakeup* /*wakeup*/, int /*timeout_ms*/,
                              int* error) {
    *error = 0;
    return watch_result::failed;
}
