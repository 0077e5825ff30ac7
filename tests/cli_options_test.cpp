#include "cli_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool parse(std::vector<const char*> args, cli_options* o, std::string* error) {
    args.insert(args.begin(), "quarnel-cli");
    return parse_cli_options(static_cast<int>(args.size()), const_cast<char**>(args.data()), o,
                             error);
}

TEST(CliOptions, ConnectWithRoutesAndLimits) {
    cli_options o;
    std::string error;
    ASSERT_TRUE(parse({"connect",
                       "--server",
                       "172.30.0.1",
                       "--port",
                       "51820",
                       "--server-key",
                       "ab",
                       "--token",
                       "t",
                       "--mode",
                       "proxy",
                       "--proxy-route",
                       "10.0.0.0/8",
                       "--remote-route",
                       "198.51.100.0/24",
                       "--remote-route",
                       "192.0.2.7/32",
                       "--upload-limit",
                       "100000",
                       "--mtu",
                       "1400"},
                      &o, &error))
        << error;
    EXPECT_EQ(o.start.proxy_mode, 1);
    ASSERT_EQ(o.start.proxy_routes.size(), 1u);
    EXPECT_STREQ(o.start.proxy_routes[0].ip, "10.0.0.0");
    EXPECT_EQ(o.start.proxy_routes[0].bitlen, 8);
    ASSERT_EQ(o.start.remote_routes.size(), 2u);
    EXPECT_STREQ(o.start.remote_routes[1].ip, "192.0.2.7");
    EXPECT_EQ(o.start.remote_routes[1].bitlen, 32);
    EXPECT_EQ(o.start.upload_limit, 100000);
    EXPECT_EQ(o.start.mtu, 1400);
}

TEST(CliOptions, HelpWhereverAnOptionNameMayStand) {
    const std::vector<std::vector<const char*>> asks = {{"--help"},
                                                        {"-h"},
                                                        {"connect", "--help"},
                                                        {"ping", "--server", "1.2.3.4", "-h"},
                                                        {"cleanup", "--help"}};
    for (const auto& args : asks) {
        cli_options o;
        std::string error;
        EXPECT_TRUE(parse(args, &o, &error)) << error;
        EXPECT_TRUE(o.help) << args.size();
    }
    // As the value of an option it is only a value.
    cli_options o;
    std::string error;
    ASSERT_TRUE(parse({"connect", "--server", "1.2.3.4", "--port", "1", "--server-key", "ab",
                       "--token", "--help"},
                      &o, &error))
        << error;
    EXPECT_FALSE(o.help);
    EXPECT_EQ(o.start.token, "--help");
}

TEST(CliOptions, CleanupTakesNoOption) {
    cli_options o;
    std::string error;
    ASSERT_TRUE(parse({"cleanup"}, &o, &error)) << error;
    EXPECT_EQ(o.command, "cleanup");
    EXPECT_FALSE(parse({"cleanup", "--server", "1.2.3.4"}, &o, &error));
    EXPECT_NE(error.find("--server"), std::string::npos) << error;
}

TEST(CliOptions, BadCommandLinesSayWhatIsWrong) {
    struct bad {
        std::vector<const char*> args;
        const char* mentions;
    };
    const bad cases[] = {
        {{}, "missing command"},
        {{"dance"}, "unknown command"},
        {{"ping", "--server", "1.2.3.4"}, "--port"},
        {{"ping", "--server", "1.2.3.4", "--port", "70000"}, "70000"},
        {{"ping", "--server", "1.2.3.4", "--port", "12x"}, "12x"},
        {{"connect", "--server", "1.2.3.4", "--port", "1"}, "--server-key"},
        {{"ping", "--server", "1.2.3.4", "--port", "1", "--mtu"}, "needs a value"},
        {{"ping", "--server", "1.2.3.4", "--port", "1", "--bogus", "1"}, "--bogus"},
        {{"ping", "--server", "1.2.3.4", "--port", "1", "--remote-route", "10.0.0.0/33"},
         "10.0.0.0/33"},
        {{"ping", "--server", "1.2.3.4", "--port", "1", "--remote-route", "10.0.0/8"}, "10.0.0/8"},
        {{"ping", "--server", "1.2.3.4", "--port", "1", "--local-route", "10.0.0.1/24"},
         "10.0.0.1/24"},
        {{"ping", "--server", "1.2.3.4", "--port", "1", "--dns", "resolver"}, "resolver"},
        {{"ping", "--server", "1.2.3.4", "--port", "1", "--static-ip", "10.8.0.09"}, "10.8.0.09"},
        {{"ping", "--server", "1.2.3.4", "--port", "1", "--mode", "full"}, "split or proxy"},
        {{"ping", "--server", "1.2.3.4", "--port", "1", "--mtu", "67"}, "67"},
    };
    for (const bad& c : cases) {
        cli_options o;
        std::string error;
        EXPECT_FALSE(parse(c.args, &o, &error)) << c.mentions;
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    }
}

}  // namespace
