// Private network namespaces for tests that change links, addresses, routes and the resolver.
#pragma once

#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

namespace netns_test {

struct command_result {
    int status = -1;     // exit status; -1 when the program did not run to an exit
    std::string output;  // standard output and standard error
};

// Runs a program (an absolute path, or a name looked up on the PATH the process started with).
command_result run_command(const std::vector<std::string>& argv);

// Starts the program at path with argv, its standard output and error on a pipe: the pipe's
// read end (the caller closes it), or -1 when there is no pipe. *pid is -1 when the program
// did not start.
int spawn_with_output(const std::string& path, const std::vector<std::string>& argv, pid_t* pid);

// Gives the process a private mount namespace: / private, a copy-on-write /etc (so the resolver
// file and anything written beside it are the process's own), a fresh resolvconf state
// directory where the host has one, and a PATH of one empty private directory, so that no
// resolver manager of the host can be reached, and a private directory for the engine's record
// of host changes (QUARNEL_JOURNAL_DIR). Must run before any thread exists.
// Returns an error text, empty on success.
std::string isolate_process();

// A private directory (tmpfs) for the tests' files, and the directory on PATH.
const std::string& scratch_dir();
const std::string& private_bin_dir();

// Deletes the namespaces and scratch directories that earlier runs left behind when their
// process died.
void remove_leftover_namespaces();

// A named network namespace with a unique name, loopback up and IPv6 address checks off (so
// that state dumps do not change while addresses settle); deleted by the destructor, and by a
// signal handler if the process dies on a fatal signal.
class netns {
  public:
    netns();
    ~netns();
    netns(const netns&) = delete;
    netns& operator=(const netns&) = delete;

    const std::string& name() const { return name_; }
    std::string path() const;

    // `ip -n NAME ARGS` (ARGS split at spaces); throws with the output when ip fails.
    std::string ip(const std::string& args) const;
    // Runs a program inside the namespace (`ip netns exec`).
    command_result exec(const std::vector<std::string>& argv) const;

    // The namespace's IPv4 forwarding value ("0" or "1").
    std::string forwarding() const;
    void set_forwarding(const std::string& value) const;

  private:
    std::string name_;
    int slot_ = -1;
};

// A veth pair between two namespaces, both ends up and running.
void connect(const netns& a, const std::string& a_dev, const netns& b, const std::string& b_dev);

// The calling thread works inside the namespace while this lives; threads it starts meanwhile
// stay there.
class netns_scope {
  public:
    explicit netns_scope(const netns& ns);
    ~netns_scope();
    netns_scope(const netns_scope&) = delete;
    netns_scope& operator=(const netns_scope&) = delete;

  private:
    int saved_ = -1;
};

// Everything a session may change, as text for before/after comparisons. Links, addresses and
// routes are read through rtnetlink, so that nothing about other namespaces of the machine
// (a veth peer's, which may be coming or going) enters the comparison.
struct net_state {
    std::string links;
    std::string addresses;
    std::string routes;
    std::string resolver;
    std::string forwarding;
};
net_state dump_state(const netns& ns);
bool operator==(const net_state& a, const net_state& b);
std::ostream& operator<<(std::ostream& out, const net_state& state);

// The resolver files of the process's /etc: every entry starting with "resolv", with its
// kind, mode and content or link target.
std::string dump_resolver();

// Lines of `ip -4 route show table main`, sorted.
std::vector<std::string> main_routes(const netns& ns);

}  // namespace netns_test
