#include <cerrno>
#include <string>
#include <vector>

#include "engine_log.h"
#include "resolver.h"
#include "system_bus_linux.h"

namespace {

const char SERVICE[] = "org.freedesktop.NetworkManager";
const char PATH[] = "/org/freedesktop/NetworkManager";
const char PROPERTY[] = "GlobalDnsConfiguration";
// The domain that stands for every name.
const char ANY_DOMAIN[] = "*";

// A global DNS configuration as far as the engine reads it: how many top-level keys it has,
// and the servers of its catch-all domain.
struct global_dns {
    int keys = 0;
    std::vector<std::string> servers;
};

// Calls back for each entry of an a{sv} the reader stands before, inside the entry's variant
// of the given signature; entries of another key or type are skipped.
template <typename Visit>
int for_each_entry(sd_bus_message* m, Visit visit) {
    int result = sd_bus_message_enter_container(m, 'a', "{sv}");
    while (result >= 0 && (result = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        result = sd_bus_message_read(m, "s", &key);
        if (result >= 0) {
            result = visit(key);
        }
        if (result >= 0) {
            result = sd_bus_message_exit_container(m);
        }
    }
    return result >= 0 ? sd_bus_message_exit_container(m) : result;
}

// Reads a variant of the given contents with the reader, or skips it.
template <typename Read>
int in_variant(sd_bus_message* m, const char* contents, Read read) {
    const char* type = nullptr;
    int result = sd_bus_message_peek_type(m, nullptr, &type);
    if (result < 0 || type == nullptr || std::string(type) != contents) {
        return result < 0 ? result : sd_bus_message_skip(m, "v");
    }
    result = sd_bus_message_enter_container(m, 'v', contents);
    if (result >= 0) {
        result = read();
    }
    return result >= 0 ? sd_bus_message_exit_container(m) : result;
}

int read_servers(sd_bus_message* m, std::vector<std::string>* servers) {
    char** list = nullptr;
    int result = sd_bus_message_read_strv(m, &list);
    for (char** s = list; result >= 0 && s != nullptr && *s != nullptr; ++s) {
        servers->push_back(*s);
    }
    for (char** s = list; s != nullptr && *s != nullptr; ++s) {
        free(*s);
    }
    free(list);
    return result;
}

int read_global_dns(system_bus& bus, global_dns* out) {
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result =
        sd_bus_get_property(bus.get(), SERVICE, PATH, SERVICE, PROPERTY, &error, &reply, "a{sv}");
    if (result < 0) {
        QN_ERROR("NetworkManager {} unreadable, errNo={}: {}", PROPERTY, -result,
                 error.message != nullptr ? error.message : "");
    }
    sd_bus_error_free(&error);
    sd_bus_message* m = reply;
    if (result >= 0) {
        result = for_each_entry(m, [&](const char* key) {
            ++out->keys;
            if (std::string(key) != "domains") {
                return sd_bus_message_skip(m, "v");
            }
            return in_variant(m, "a{sv}", [&] {
                return for_each_entry(m, [&](const char* domain) {
                    if (std::string(domain) != ANY_DOMAIN) {
                        return sd_bus_message_skip(m, "v");
                    }
                    return in_variant(m, "a{sv}", [&] {
                        return for_each_entry(m, [&](const char* field) {
                            if (std::string(field) != "servers") {
                                return sd_bus_message_skip(m, "v");
                            }
                            return in_variant(m, "as",
                                              [&] { return read_servers(m, &out->servers); });
                        });
                    });
                });
            });
        });
    }
    sd_bus_message_unref(reply);
    return result < 0 ? -result : 0;
}

// Opens {key: variant of the contents} inside an a{sv}, for a value to be appended.
int open_entry(sd_bus_message* call, const char* key, const char* contents) {
    int result = sd_bus_message_open_container(call, 'e', "sv");
    if (result >= 0) {
        result = sd_bus_message_append(call, "s", key);
    }
    return result >= 0 ? sd_bus_message_open_container(call, 'v', contents) : result;
}

int close_containers(sd_bus_message* call, int count) {
    int result = 0;
    for (int i = 0; i < count && result >= 0; ++i) {
        result = sd_bus_message_close_container(call);
    }
    return result;
}

// Sets the property to {"domains": {"*": {"servers": [...]}}}, or to {} without servers.
int write_global_dns(system_bus& bus, const std::vector<std::string>& servers) {
    std::vector<char*> texts;
    for (const std::string& server : servers) {
        texts.push_back(const_cast<char*>(server.c_str()));
    }
    texts.push_back(nullptr);
    sd_bus_message* call = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result = sd_bus_message_new_method_call(bus.get(), &call, SERVICE, PATH,
                                                "org.freedesktop.DBus.Properties", "Set");
    if (result >= 0) {
        result = sd_bus_message_append(call, "ss", SERVICE, PROPERTY);
    }
    if (result >= 0) {
        result = sd_bus_message_open_container(call, 'v', "a{sv}");
    }
    if (result >= 0) {
        result = sd_bus_message_open_container(call, 'a', "{sv}");
    }
    if (!servers.empty()) {
        // domains -> "*" -> servers, each an a{sv} in a variant: three levels of three.
        const char* const path[][2] = {
            {"domains", "a{sv}"}, {ANY_DOMAIN, "a{sv}"}, {"servers", "as"}};
        for (const auto& step : path) {
            if (result >= 0) {
                result = open_entry(call, step[0], step[1]);
            }
            if (result >= 0 && step[1][0] == 'a' && step[1][1] == '{') {
                result = sd_bus_message_open_container(call, 'a', "{sv}");
            }
        }
        if (result >= 0) {
            result = sd_bus_message_append_strv(call, texts.data());
        }
        if (result >= 0) {
            result = close_containers(call, 8);
        }
    }
    if (result >= 0) {
        result = close_containers(call, 2);
    }
    if (result >= 0) {
        result = sd_bus_call(bus.get(), call, 0, &error, nullptr);
    }
    sd_bus_message_unref(call);
    bus_failure failure;
    const bool failed = bus_failed(result, &error, &failure);
    if (failed) {
        QN_ERROR("NetworkManager {} not set, errNo={}: {} {}", PROPERTY, failure.error,
                 failure.name, failure.text);
    }
    sd_bus_error_free(&error);
    return failed ? failure.error : 0;
}

}  // namespace

int nm_set_global_dns(const std::vector<std::string>& servers) {
    system_bus bus;
    if (bus.open_error() != 0) {
        QN_ERROR("system bus unreachable, errNo={}", bus.open_error());
        return bus.open_error();
    }
    global_dns found;
    int error = read_global_dns(bus, &found);
    if (error != 0) {
        return error;
    }
    // The administrator's own, which the engine could not put back as it was.
    if (found.keys != 0) {
        QN_ERROR("NetworkManager has a global DNS configuration of its own: left as it is");
        return EBUSY;
    }
    return write_global_dns(bus, servers);
}

int nm_revert_global_dns(const std::string& servers) {
    system_bus bus;
    if (bus.open_error() != 0 || !bus.has_owner(SERVICE)) {
        return bus.open_error() != 0 ? bus.open_error() : ENOTCONN;  // kept until it is back
    }
    global_dns found;
    int error = read_global_dns(bus, &found);
    if (error != 0) {
        return error;
    }
    if (found.servers != split_servers(servers)) {
        QN_INFO(
            "NetworkManager's global DNS changed by someone else since the session set it: "
            "left as it is");
        return 0;
    }
    return write_global_dns(bus, {});
}
