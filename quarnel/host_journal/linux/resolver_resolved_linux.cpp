#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "engine_log.h"
#include "resolver.h"
#include "system_bus_linux.h"

namespace {

const char SERVICE[] = "org.freedesktop.resolve1";
const char PATH[] = "/org/freedesktop/resolve1";
const char MANAGER[] = "org.freedesktop.resolve1.Manager";
const char NO_SUCH_LINK[] = "org.freedesktop.resolve1.NoSuchLink";

// Fails with the resolver's own reason in the log.
int logged(const char* method, int result, sd_bus_error* error) {
    bus_failure failure;
    const bool failed = bus_failed(result, error, &failure);
    if (failed) {
        QN_ERROR("systemd-resolved {} failed, errNo={}: {} {}", method, failure.error, failure.name,
                 failure.text);
    }
    sd_bus_error_free(error);
    return failed ? failure.error : 0;
}

int append_servers(sd_bus_message* call, const std::vector<std::string>& servers) {
    int result = sd_bus_message_open_container(call, 'a', "(iay)");
    for (const std::string& server : servers) {
        unsigned char bytes[sizeof(in6_addr)];
        const int family = inet_pton(AF_INET, server.c_str(), bytes) == 1 ? AF_INET : AF_INET6;
        if (result >= 0 && inet_pton(family, server.c_str(), bytes) != 1) {
            return -EINVAL;
        }
        const size_t size = family == AF_INET ? sizeof(in_addr) : sizeof(in6_addr);
        if (result >= 0) {
            result = sd_bus_message_open_container(call, 'r', "iay");
        }
        if (result >= 0) {
            result = sd_bus_message_append(call, "i", family);
        }
        if (result >= 0) {
            result = sd_bus_message_append_array(call, 'y', bytes, size);
        }
        if (result >= 0) {
            result = sd_bus_message_close_container(call);
        }
    }
    return result >= 0 ? sd_bus_message_close_container(call) : result;
}

int set_link_dns(system_bus& bus, int if_index, const std::vector<std::string>& servers) {
    sd_bus_message* call = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result =
        sd_bus_message_new_method_call(bus.get(), &call, SERVICE, PATH, MANAGER, "SetLinkDNS");
    if (result >= 0) {
        result = sd_bus_message_append(call, "i", if_index);
    }
    if (result >= 0) {
        result = append_servers(call, servers);
    }
    if (result >= 0) {
        result = sd_bus_call(bus.get(), call, 0, &error, nullptr);
    }
    sd_bus_message_unref(call);
    return logged("SetLinkDNS", result, &error);
}

// The servers a link of the resolver holds, as address texts.
int link_servers(system_bus& bus, const char* path, std::vector<std::string>* servers) {
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result = sd_bus_get_property(bus.get(), SERVICE, path, "org.freedesktop.resolve1.Link",
                                     "DNS", &error, &reply, "a(iay)");
    sd_bus_error_free(&error);
    if (result >= 0) {
        result = sd_bus_message_enter_container(reply, 'a', "(iay)");
    }
    while (result >= 0 && (result = sd_bus_message_enter_container(reply, 'r', "iay")) > 0) {
        int family = 0;
        const void* bytes = nullptr;
        size_t size = 0;
        result = sd_bus_message_read(reply, "i", &family);
        if (result >= 0) {
            result = sd_bus_message_read_array(reply, 'y', &bytes, &size);
        }
        char text[INET6_ADDRSTRLEN] = "";
        const size_t expected = family == AF_INET ? sizeof(in_addr) : sizeof(in6_addr);
        if (result >= 0 && size == expected && inet_ntop(family, bytes, text, sizeof(text))) {
            servers->push_back(text);
        }
        if (result >= 0) {
            result = sd_bus_message_exit_container(reply);
        }
    }
    sd_bus_message_unref(reply);
    return result < 0 ? -result : 0;
}

}  // namespace

int resolved_set_link(int if_index, const std::vector<std::string>& servers) {
    system_bus bus;
    if (bus.open_error() != 0) {
        QN_ERROR("system bus unreachable, errNo={}", bus.open_error());
        return bus.open_error();
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int failed = set_link_dns(bus, if_index, servers);
    // The root domain as a routing domain: every lookup goes to this link's servers.
    if (failed == 0) {
        failed = logged("SetLinkDomains",
                        sd_bus_call_method(bus.get(), SERVICE, PATH, MANAGER, "SetLinkDomains",
                                           &error, nullptr, "ia(sb)", if_index, 1, ".", 1),
                        &error);
    }
    if (failed == 0) {
        failed = logged("SetLinkDefaultRoute",
                        sd_bus_call_method(bus.get(), SERVICE, PATH, MANAGER, "SetLinkDefaultRoute",
                                           &error, nullptr, "ib", if_index, 1),
                        &error);
    }
    // Nothing of the link's lookups may go out by another way than its servers.
    for (const char* method : {"SetLinkLLMNR", "SetLinkMulticastDNS", "SetLinkDNSOverTLS"}) {
        if (failed == 0) {
            failed = logged(method,
                            sd_bus_call_method(bus.get(), SERVICE, PATH, MANAGER, method, &error,
                                               nullptr, "is", if_index, "no"),
                            &error);
        }
    }
    // Answers cached from the other links' servers would still be handed out.
    if (failed == 0) {
        failed = logged("FlushCaches",
                        sd_bus_call_method(bus.get(), SERVICE, PATH, MANAGER, "FlushCaches", &error,
                                           nullptr, ""),
                        &error);
    }
    return failed;
}

int resolved_revert_link(int if_index, const std::string& servers) {
    system_bus bus;
    if (bus.open_error() != 0 || !bus.has_owner(SERVICE)) {
        return 0;  // link settings live in the resolver's memory only
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int result = sd_bus_call_method(bus.get(), SERVICE, PATH, MANAGER, "GetLink", &error, &reply,
                                    "i", if_index);
    if (result < 0 && sd_bus_error_has_name(&error, NO_SUCH_LINK)) {
        sd_bus_error_free(&error);
        return 0;  // gone with its interface
    }
    const char* path = nullptr;
    if (result >= 0) {
        result = sd_bus_message_read(reply, "o", &path);
    }
    std::vector<std::string> held;
    int failed = result >= 0 ? link_servers(bus, path, &held) : logged("GetLink", result, &error);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (failed != 0) {
        return failed;
    }
    if (held != split_servers(servers)) {
        QN_INFO(
            "DNS servers of link {} changed by someone else since the session set them: left "
            "as they are",
            if_index);
        return 0;
    }
    result = sd_bus_call_method(bus.get(), SERVICE, PATH, MANAGER, "RevertLink", &error, nullptr,
                                "i", if_index);
    if (result < 0 && sd_bus_error_has_name(&error, NO_SUCH_LINK)) {
        sd_bus_error_free(&error);
        return 0;
    }
    return logged("RevertLink", result, &error);
}
