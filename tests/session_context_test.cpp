#include <gtest/gtest.h>

#include "session.h"

namespace {

TEST(SessionContext, FreshRecordHoldsTheDefaults) {
    auto ctx = std::make_unique<qn_ctx_t>();
    EXPECT_EQ(ctx->proto, nullptr);
    EXPECT_EQ(ctx->tun, nullptr);
    EXPECT_EQ(ctx->sock, nullptr);
    EXPECT_EQ(ctx->traffic, nullptr);
    EXPECT_EQ(ctx->wan_if_index, -1);
    EXPECT_FALSE(ctx->running.load());
    EXPECT_EQ(ctx->upload_limit.load(), 0);
    EXPECT_EQ(ctx->download_limit.load(), 0);
    EXPECT_EQ(ctx->token_lock.load(), 0);
    EXPECT_EQ(ctx->keepalive_missed.load(), 0);
    EXPECT_FALSE(ctx->proxy_mode);
    EXPECT_FALSE(ctx->router_started);
    for (const std::string* s :
         {&ctx->token, &ctx->uuid, &ctx->server_ip, &ctx->tun_ip, &ctx->tun_netmask,
          &ctx->wan_gateway, &ctx->dns, &ctx->backup_dns}) {
        EXPECT_TRUE(s->empty());
    }
    for (const auto& t : ctx->threads) {
        EXPECT_EQ(t, nullptr);
    }
    EXPECT_EQ(ctx->protect_thread, nullptr);
    EXPECT_EQ(ctx->send_queue.capacity(), 32768u);
    EXPECT_EQ(ctx->recv_queue.capacity(), 32768u);
    EXPECT_TRUE(ctx->send_queue.empty());
    EXPECT_GE(ctx->remote_routes.capacity(), 10000u);
    EXPECT_TRUE(ctx->remote_routes.empty());
    for (uint8_t b : ctx->server_pk) {
        EXPECT_EQ(b, 0);
    }
}

TEST(SessionContext, EngineStatusIsZeroBeforeAnyStart) {
    EXPECT_EQ(g_engine_status.load(), 0);
}

}  // namespace
