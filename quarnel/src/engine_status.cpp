#include "session.h"

std::atomic<int32_t> g_engine_status{0};
