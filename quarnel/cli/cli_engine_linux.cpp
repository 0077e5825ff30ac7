#include <unistd.h>

#include <cstdio>

#include "cli_engine.h"
#include "engine_client.h"

namespace {

class service_engine final : public cli_engine {
  public:
    service_engine()
        : client_(engine_service::socket_path(), [](const std::string& why) {
              std::fprintf(stderr, "quarnel-cli: %s\n", why.c_str());
          }) {}
    int start(const engine_service::start_values& values) override { return client_.start(values); }
    void stop(int send_disconn) override { client_.stop(send_disconn); }
    int status() override { return client_.status(); }

  private:
    engine_service::engine_client client_;
};

}  // namespace

std::unique_ptr<cli_engine> make_cli_engine() {
    if (geteuid() == 0) {
        return make_library_engine();
    }
    return std::make_unique<service_engine>();
}
