// The host's resolver configuration: the resolver manager, or else the resolver file.
#pragma once

#include <string>

#include "host_journal.h"

// Path of the resolver manager program; empty when there is none.
std::string resolver_manager();
// Registers "nameserver" lines under a name (resolvconf -a NAME): 0, the program's exit
// status, or an errno value.
int register_resolver(const std::string& manager, const std::string& name,
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
