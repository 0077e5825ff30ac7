// The host's resolver configuration on Linux: whichever program manages it (systemd-resolved,
// NetworkManager, resolvconf), or else the resolver file itself.
#pragma once

#include <string>
#include <vector>

#include "host_journal.h"

enum class resolver_backend { resolved, network_manager, resolvconf, file };

// What the host shows about who manages its resolver.
struct resolver_facts {
    bool resolved_on_bus = false;
    bool resolv_conf_is_resolved = false;  // a link to, or a copy of, one of resolved's files
    bool nm_on_bus = false;
    std::string nm_mode;        // NetworkManager's DNS mode ("default", "none", ...)
    std::string nm_rc_manager;  // how it writes the file ("file", "symlink", "unmanaged", ...)
    std::string resolvconf;     // the resolvconf program; empty when there is none
    bool resolvconf_is_resolved = false;  // systemd-resolved's compatibility program
    bool resolvconf_exclusive = false;    // openresolv, which can make a registration exclusive
};

struct resolver_choice {
    resolver_backend backend = resolver_backend::file;
    std::string reason;
};

// The backend for the facts, or the one forced by name (QUARNEL_DNS_BACKEND); false with
// *error for a name that is no backend or a forced backend the host cannot serve.
bool choose_resolver(const resolver_facts& facts, const char* forced, resolver_choice* out,
                     std::string* error);
resolver_facts observe_resolver_facts();
// Only the resolvconf part of the facts, which asks no bus.
void observe_resolvconf(resolver_facts* facts);
const char* resolver_backend_name(resolver_backend backend);

// Server addresses checked and kept as text; EINVAL for a text that is not an address.
int parse_servers(const char* dns, const char* backup_dns, std::vector<std::string>* servers);
std::string join_servers(const std::vector<std::string>& servers);
std::vector<std::string> split_servers(const std::string& joined);

// systemd-resolved: the servers take every lookup (routing domain "~.") on the link.
int resolved_set_link(int if_index, const std::vector<std::string>& servers);
// Reverts the link while it still holds the servers; a link that is gone, or a resolver that
// restarted since (it keeps link settings in memory only), has nothing left to revert.
int resolved_revert_link(int if_index, const std::string& servers);

// NetworkManager: its global DNS configuration, which takes the place of every connection's.
int nm_set_global_dns(const std::vector<std::string>& servers);
// Clears it while it still names the servers.
int nm_revert_global_dns(const std::string& servers);

// resolvconf: registers "nameserver" lines under a name (resolvconf [-x] -a NAME): 0, the
// program's exit status, or an errno value.
int register_resolver(const std::string& program, bool exclusive, const std::string& name,
                      const std::string& lines);
// Takes a registration back (resolvconf -d NAME).
int unregister_resolver(const std::string& name);

// The resolver file as it is now; 0 or an errno value.
int read_resolver_file(resolver_file_state* state);
int write_resolver_file(const std::string& content);
// Gives the file back as it was found.
int put_back_resolver_file(const resolver_file_state& found);
// The same, but only while it still holds what the session wrote:
// a later change by someone else stays.
int restore_resolver_file(const resolver_file_state& found, const std::string& written);
// While the session runs, the file is written again when another program rewrites it.
void keep_resolver_file(const std::string& written);
