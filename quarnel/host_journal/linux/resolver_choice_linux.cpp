#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "quarnel_defaults.h"
#include "resolver.h"
#include "system_bus_linux.h"

namespace {

const char RESOLV_CONF[] = "/etc/resolv.conf";
// The files systemd-resolved offers for /etc/resolv.conf to name or copy.
const char* const RESOLVED_FILES[] = {"/run/systemd/resolve/stub-resolv.conf",
                                      "/run/systemd/resolve/resolv.conf",
                                      "/usr/lib/systemd/resolv.conf", "/lib/systemd/resolv.conf"};
// openresolv's configuration; Debian's resolvconf has none by this name.
const char OPENRESOLV_CONF[] = "/etc/resolvconf.conf";

std::string real_path(const char* path) {
    char resolved[PATH_MAX];
    return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string contents(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return in ? out.str() : std::string();
}

bool resolv_conf_is_resolved() {
    const std::string target = real_path(RESOLV_CONF);
    const std::string text = contents(RESOLV_CONF);
    for (const char* file : RESOLVED_FILES) {
        if (target == real_path(file) && !target.empty()) {
            return true;
        }
        const std::string copy = contents(file);
        if (!copy.empty() && copy == text) {
            return true;
        }
    }
    return false;
}

// Only absolute entries: the engine runs as root, and an empty or relative entry would run
// whatever the working directory holds.
std::string find_on_path(const char* program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/" + program;
        if (!dir.empty() && dir[0] == '/' && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::string();
}

std::string nm_dns_property(system_bus& bus, const char* name) {
    char* value = nullptr;
    int result = sd_bus_get_property_string(
        bus.get(), "org.freedesktop.NetworkManager", "/org/freedesktop/NetworkManager/DnsManager",
        "org.freedesktop.NetworkManager.DnsManager", name, nullptr, &value);
    std::string text = result >= 0 && value != nullptr ? value : "";
    free(value);
    return text;
}

bool nm_manages_file(const resolver_facts& facts) {
    return facts.nm_on_bus && facts.nm_mode != "none" && facts.nm_rc_manager != "unmanaged" &&
           !facts.nm_rc_manager.empty();
}

// In the order of resolver_backend.
const char* const BACKEND_NAMES[] = QUARNEL_DNS_BACKEND_NAMES;
constexpr int BACKEND_COUNT = sizeof(BACKEND_NAMES) / sizeof(BACKEND_NAMES[0]);
static_assert(BACKEND_COUNT == static_cast<int>(resolver_backend::file) + 1,
              "one name for each backend");

}  // namespace

const char* resolver_backend_name(resolver_backend backend) {
    return BACKEND_NAMES[static_cast<int>(backend)];
}

void observe_resolvconf(resolver_facts* facts) {
    facts->resolvconf = find_on_path("resolvconf");
    if (!facts->resolvconf.empty()) {
        const std::string target = real_path(facts->resolvconf.c_str());
        const std::string base = target.substr(target.rfind('/') + 1);
        facts->resolvconf_is_resolved = base == "resolvectl" || base == "systemctl";
        struct stat st {};
        facts->resolvconf_exclusive = stat(OPENRESOLV_CONF, &st) == 0 && S_ISREG(st.st_mode);
    }
}

resolver_facts observe_resolver_facts() {
    resolver_facts facts;
    {
        system_bus bus;
        facts.resolved_on_bus = bus.has_owner("org.freedesktop.resolve1");
        facts.nm_on_bus = bus.has_owner("org.freedesktop.NetworkManager");
        if (facts.nm_on_bus) {
            facts.nm_mode = nm_dns_property(bus, "Mode");
            facts.nm_rc_manager = nm_dns_property(bus, "RcManager");
        }
    }
    facts.resolv_conf_is_resolved = resolv_conf_is_resolved();
    observe_resolvconf(&facts);
    return facts;
}

bool choose_resolver(const resolver_facts& facts, const char* forced, resolver_choice* out,
                     std::string* error) {
    if (forced != nullptr && forced[0] != '\0') {
        for (int i = 0; i < BACKEND_COUNT; ++i) {
            if (std::strcmp(BACKEND_NAMES[i], forced) == 0) {
                out->backend = static_cast<resolver_backend>(i);
                out->reason = std::string("chosen by ") + QUARNEL_DNS_BACKEND_VARIABLE;
                // A forced resolvconf still needs a program to run.
                if (out->backend == resolver_backend::resolvconf && facts.resolvconf.empty()) {
                    *error = "no resolvconf program on the PATH";
                    return false;
                }
                return true;
            }
        }
        *error =
            std::string("unknown DNS backend '") + forced + "' in " + QUARNEL_DNS_BACKEND_VARIABLE;
        return false;
    }
    if (facts.resolved_on_bus && facts.resolv_conf_is_resolved) {
        *out = {resolver_backend::resolved,
                "it answers on the system bus and /etc/resolv.conf is its own"};
    } else if (nm_manages_file(facts)) {
        *out = {resolver_backend::network_manager,
                "it answers on the system bus and writes /etc/resolv.conf (rc-manager " +
                    facts.nm_rc_manager + ")"};
    } else if (!facts.resolvconf.empty() && !facts.resolvconf_is_resolved) {
        *out = {
            resolver_backend::resolvconf,
            facts.resolvconf + (facts.resolvconf_exclusive ? " registers the servers exclusively"
                                                           : " puts the tunnel's interface first")};
    } else {
        *out = {resolver_backend::file,
                facts.resolvconf_is_resolved
                    ? facts.resolvconf + " is systemd-resolved's, which does not serve the file"
                    : "nothing else manages /etc/resolv.conf"};
    }
    return true;
}
