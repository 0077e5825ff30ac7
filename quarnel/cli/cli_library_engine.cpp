#include "cli_engine.h"
#include "quarnel_api.h"
#include "start_call.h"

namespace {

class library_engine final : public cli_engine {
  public:
    int start(const engine_service::start_values& values) override {
        return engine_service::start_vpn_with(values);
    }
    void stop(int send_disconn) override { stop_vpn(send_disconn); }
    int status() override { return get_vpn_status(); }
};

}  // namespace

std::unique_ptr<cli_engine> make_library_engine() {
    return std::make_unique<library_engine>();
}
