#include "netns.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/rtnetlink.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/route.h>
#include <netlink/route/rtnl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "test_support.h"

extern char** environ;

namespace netns_test {

namespace {

const std::string NAME_PREFIX = "qnt-";
const std::string SCRATCH_PARENT = "/tmp/";
const std::string SCRATCH_PREFIX = "quarnel-net-";
const std::string NETNS_DIR = "/run/netns/";

std::string startup_path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
std::string scratch_root;  // mount point of the process's tmpfs, an empty directory on disk
std::string scratch;
std::string bin_dir;

// Namespace files to remove if the process dies on a signal; fixed storage, so that the
// handler needs no allocation.
constexpr int MAX_NAMESPACES = 64;
constexpr size_t MAX_PATH = 96;
char registered_paths[MAX_NAMESPACES][MAX_PATH];
std::atomic<bool> registered[MAX_NAMESPACES];
std::once_flag handlers_installed;
char scratch_root_path[MAX_PATH];

void remove_registered_on_signal(int sig) {
    for (int i = 0; i < MAX_NAMESPACES; ++i) {
        if (registered[i].load()) {
            umount2(registered_paths[i], MNT_DETACH);
            unlink(registered_paths[i]);
        }
    }
    if (scratch_root_path[0] != '\0') {
        umount2(scratch_root_path, MNT_DETACH);
        rmdir(scratch_root_path);
    }
    raise(sig);  // the handler was reset: now the default action
}

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = remove_registered_on_signal;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTERM, SIGINT, SIGHUP}) {
        sigaction(sig, &action, nullptr);
    }
}

int register_path(const std::string& path) {
    std::call_once(handlers_installed, install_signal_handlers);
    for (int i = 0; i < MAX_NAMESPACES; ++i) {
        bool expected = false;
        if (!registered[i].load() && path.size() < MAX_PATH) {
            std::strncpy(registered_paths[i], path.c_str(), MAX_PATH - 1);
            if (registered[i].compare_exchange_strong(expected, true)) {
                return i;
            }
        }
    }
    throw std::runtime_error("too many test namespaces at once");
}

std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    std::istringstream dirs(startup_path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::string();
}

std::vector<std::string> split(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

void write_text(const std::string& path, const std::string& value) {
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0 || write(fd, value.data(), value.size()) != static_cast<ssize_t>(value.size())) {
        int error = errno;
        if (fd >= 0) {
            close(fd);
        }
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
    }
    close(fd);
}

std::string errno_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void remove_scratch_root() {
    umount2(scratch_root.c_str(), MNT_DETACH);
    rmdir(scratch_root.c_str());
}

}  // namespace

int spawn_with_output(const std::string& path, const std::vector<std::string>& argv, pid_t* pid) {
    *pid = -1;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return -1;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    pid_t child = -1;
    if (posix_spawn(&child, path.c_str(), &actions, nullptr, args.data(), environ) == 0) {
        *pid = child;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    return out[0];
}

command_result run_command(const std::vector<std::string>& argv) {
    command_result result;
    std::string program = find_program(argv.at(0));
    pid_t pid = -1;
    const int out = program.empty() ? -1 : spawn_with_output(program, argv, &pid);
    if (out < 0) {
        result.output = "cannot run " + argv[0];
        return result;
    }
    char buffer[4096];
    for (ssize_t n; (n = read(out, buffer, sizeof(buffer))) != 0;) {
        if (n > 0) {
            result.output.append(buffer, static_cast<size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(out);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    return result;
}

std::string isolate_process() {
    if (geteuid() != 0) {
        return "the network tests must run as root";
    }
    if (find_program("ip").empty()) {
        return "the network tests need ip (iproute2)";
    }
    bool host_has_resolvconf = !find_program("resolvconf").empty();
    if (unshare(CLONE_NEWNS) != 0) {
        return errno_text("unshare(CLONE_NEWNS)");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return errno_text("making / private");
    }
    std::string root = SCRATCH_PARENT + SCRATCH_PREFIX + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(&root[0]) == nullptr) {
        return errno_text("mkdtemp");
    }
    // A tmpfs of this mount namespace only: it vanishes with the process.
    if (mount("tmpfs", root.c_str(), "tmpfs", 0, "mode=0700") != 0) {
        rmdir(root.c_str());
        return errno_text("mounting a tmpfs");
    }
    for (const char* sub : {"/upper", "/work", "/bin", "/scratch", "/journal"}) {
        if (mkdir((root + sub).c_str(), 0700) != 0) {
            return errno_text("mkdir " + root + sub);
        }
    }
    std::string options = "lowerdir=/etc,upperdir=" + root + "/upper,workdir=" + root + "/work";
    if (mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) {
        return errno_text("overlaying /etc");
    }
    unlink("/etc/resolv.conf");
    try {
        int fd = open("/etc/resolv.conf", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            return errno_text("creating the private /etc/resolv.conf");
        }
        close(fd);
        write_text("/etc/resolv.conf", "# private resolver of the network tests\n");
    } catch (const std::exception& e) {
        return e.what();
    }
    struct stat st {};
    if (host_has_resolvconf && stat("/run/resolvconf", &st) == 0 &&
        mount("tmpfs", "/run/resolvconf", "tmpfs", 0, "mode=0755") != 0) {
        return errno_text("hiding /run/resolvconf");
    }
    // The host's own resolver managers are on its system bus: never theirs to reach from here.
    if (stat("/run/dbus", &st) == 0 && mount("tmpfs", "/run/dbus", "tmpfs", 0, "mode=0755") != 0) {
        return errno_text("hiding /run/dbus");
    }
    unsetenv("QUARNEL_DNS_BACKEND");
    scratch_root = root;
    std::strncpy(scratch_root_path, root.c_str(), MAX_PATH - 1);
    std::call_once(handlers_installed, install_signal_handlers);
    std::atexit(remove_scratch_root);
    scratch = root + "/scratch";
    bin_dir = root + "/bin";
    setenv("PATH", bin_dir.c_str(), 1);
    // The engine's record of host changes, with the programs the tests start.
    setenv("QUARNEL_JOURNAL_DIR", (root + "/journal").c_str(), 1);
    return std::string();
}

const std::string& scratch_dir() {
    return scratch;
}
const std::string& private_bin_dir() {
    return bin_dir;
}

namespace {

// Entries of a directory named PREFIX + the id of a process that no longer runs. A live
// process still owns its entries: its scratch directory, for one, is a mount point only in
// its own mount namespace, and removing the directory would detach the mount there too.
std::vector<std::string> orphans(const std::string& dir_path, const std::string& prefix) {
    std::vector<std::string> found;
    if (DIR* dir = opendir(dir_path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.rfind(prefix, 0) != 0) {
                continue;
            }
            pid_t owner = std::atoi(name.c_str() + prefix.size());
            if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) {
                found.push_back(dir_path + name);
            }
        }
        closedir(dir);
    }
    return found;
}

}  // namespace

void remove_leftover_namespaces() {
    for (const std::string& path : orphans(NETNS_DIR, NAME_PREFIX)) {
        run_command({"ip", "netns", "delete", path.substr(NETNS_DIR.size())});
    }
    for (const std::string& path : orphans(SCRATCH_PARENT, SCRATCH_PREFIX)) {
        rmdir(path.c_str());  // only empty ones go
    }
}

netns::netns() {
    static std::atomic<int> counter{0};
    name_ = NAME_PREFIX + std::to_string(getpid()) + "-" + std::to_string(counter++);
    slot_ = register_path(path());
    command_result added = run_command({"ip", "netns", "add", name_});
    if (added.status != 0) {
        registered[slot_].store(false);
        throw std::runtime_error("ip netns add " + name_ + " failed: " + added.output);
    }
    try {
        netns_scope inside(*this);
        for (const char* conf : {"all", "default"}) {
            std::string path = std::string("/proc/sys/net/ipv6/conf/") + conf + "/accept_dad";
            if (access(path.c_str(), F_OK) == 0) {
                write_text(path, "0");
            }
        }
        ip("link set lo up");
    } catch (...) {
        run_command({"ip", "netns", "delete", name_});
        registered[slot_].store(false);
        throw;
    }
}

netns::~netns() {
    command_result deleted = run_command({"ip", "netns", "delete", name_});
    if (deleted.status != 0) {
        std::fprintf(stderr, "ip netns delete %s failed: %s\n", name_.c_str(),
                     deleted.output.c_str());
    }
    registered[slot_].store(false);
}

std::string netns::path() const {
    return NETNS_DIR + name_;
}

std::string netns::ip(const std::string& args) const {
    std::vector<std::string> argv{"ip", "-n", name_};
    for (std::string& word : split(args)) {
        argv.push_back(std::move(word));
    }
    command_result result = run_command(argv);
    if (result.status != 0) {
        throw std::runtime_error("ip -n " + name_ + " " + args + " failed: " + result.output);
    }
    return result.output;
}

command_result netns::exec(const std::vector<std::string>& argv) const {
    std::vector<std::string> full{"ip", "netns", "exec", name_};
    full.push_back(find_program(argv.at(0)));
    full.insert(full.end(), argv.begin() + 1, argv.end());
    return run_command(full);
}

std::string netns::forwarding() const {
    netns_scope inside(*this);
    std::string value = test_support::read_file("/proc/sys/net/ipv4/ip_forward");
    value.erase(value.find_last_not_of('\n') + 1);
    return value;
}

void netns::set_forwarding(const std::string& value) const {
    netns_scope inside(*this);
    write_text("/proc/sys/net/ipv4/ip_forward", value);
}

void connect(const netns& a, const std::string& a_dev, const netns& b, const std::string& b_dev) {
    a.ip("link add " + a_dev + " type veth peer name " + b_dev + " netns " + b.name());
    a.ip("link set " + a_dev + " up");
    b.ip("link set " + b_dev + " up");
    // The operational state settles a moment later; dumps taken before that would differ.
    auto running = [](const netns& ns, const std::string& dev) {
        return ns.ip("-o link show dev " + dev).find("state UP") != std::string::npos;
    };
    if (!test_support::wait_until([&] { return running(a, a_dev) && running(b, b_dev); })) {
        throw std::runtime_error("veth " + a_dev + "/" + b_dev + " did not come up");
    }
}

netns_scope::netns_scope(const netns& ns) {
    saved_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(ns.path().c_str(), O_RDONLY | O_CLOEXEC);
    bool entered = saved_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    std::string error = entered ? std::string() : errno_text("entering " + ns.name());
    if (target >= 0) {
        close(target);
    }
    if (!entered) {
        if (saved_ >= 0) {
            close(saved_);
        }
        throw std::runtime_error(error);
    }
}

netns_scope::~netns_scope() {
    // A thread left in a test namespace would run later tests against the wrong network.
    if (setns(saved_, CLONE_NEWNET) != 0) {
        std::perror("leaving a test namespace");
        std::abort();
    }
    close(saved_);
}

std::string dump_resolver() {
    std::vector<std::string> names;
    if (DIR* dir = opendir("/etc")) {
        while (dirent* entry = readdir(dir)) {
            if (std::strncmp(entry->d_name, "resolv", 6) == 0) {
                names.push_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::ostringstream out;
    for (const std::string& name : names) {
        std::string path = "/etc/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            char target[4096] = {};
            ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
            out << path << " -> " << std::string(target, n > 0 ? static_cast<size_t>(n) : 0)
                << "\n";
        } else if (S_ISREG(st.st_mode)) {
            out << path << " mode " << std::oct << (st.st_mode & 07777) << std::dec << " ["
                << test_support::read_file(path) << "]\n";
        } else {
            out << path << " type " << std::oct << (st.st_mode & S_IFMT) << std::dec << "\n";
        }
    }
    return out.str();
}

namespace {

std::string text(nl_addr* addr) {
    char buf[INET6_ADDRSTRLEN + 8];
    return addr != nullptr ? nl_addr2str(addr, buf, sizeof(buf)) : "-";
}

// Every field of a link the engine could set; not counters, and not where a veth peer's
// namespace is, which changes as other namespaces of the machine come and go.
void describe_link(rtnl_link* link, std::ostream& out) {
    char flags[256], state[32];
    const char* kind = rtnl_link_get_type(link);
    const char* qdisc = rtnl_link_get_qdisc(link);
    out << rtnl_link_get_ifindex(link) << ": " << rtnl_link_get_name(link) << " kind "
        << (kind != nullptr ? kind : "-") << " <"
        << rtnl_link_flags2str(rtnl_link_get_flags(link), flags, sizeof(flags)) << "> mtu "
        << rtnl_link_get_mtu(link) << " state "
        << rtnl_link_operstate2str(rtnl_link_get_operstate(link), state, sizeof(state))
        << " txqlen " << rtnl_link_get_txqlen(link) << " qdisc " << (qdisc != nullptr ? qdisc : "-")
        << " addr " << text(rtnl_link_get_addr(link)) << " master " << rtnl_link_get_master(link)
        << " link " << rtnl_link_get_link(link) << " group " << rtnl_link_get_group(link)
        << " promiscuity " << rtnl_link_get_promiscuity(link);
}

// Without lifetimes, which count down.
void describe_address(rtnl_addr* addr, std::ostream& out) {
    char family[16], scope[32], flags[256];
    const char* label = rtnl_addr_get_label(addr);
    out << rtnl_addr_get_ifindex(addr) << ": "
        << nl_af2str(rtnl_addr_get_family(addr), family, sizeof(family)) << " "
        << text(rtnl_addr_get_local(addr)) << " peer " << text(rtnl_addr_get_peer(addr)) << " brd "
        << text(rtnl_addr_get_broadcast(addr)) << " scope "
        << rtnl_scope2str(rtnl_addr_get_scope(addr), scope, sizeof(scope)) << " <"
        << rtnl_addr_flags2str(rtnl_addr_get_flags(addr), flags, sizeof(flags)) << "> label "
        << (label != nullptr ? label : "-");
}

void describe_route(rtnl_route* route, std::ostream& out) {
    char family[16], table[32], type[32], protocol[32], scope[32];
    out << nl_af2str(rtnl_route_get_family(route), family, sizeof(family)) << " table "
        << rtnl_route_table2str(rtnl_route_get_table(route), table, sizeof(table)) << " "
        << nl_rtntype2str(rtnl_route_get_type(route), type, sizeof(type)) << " "
        << text(rtnl_route_get_dst(route)) << " src " << text(rtnl_route_get_src(route))
        << " prefsrc " << text(rtnl_route_get_pref_src(route)) << " proto "
        << rtnl_route_proto2str(rtnl_route_get_protocol(route), protocol, sizeof(protocol))
        << " scope " << rtnl_scope2str(rtnl_route_get_scope(route), scope, sizeof(scope))
        << " metric " << rtnl_route_get_priority(route) << " tos " << int{rtnl_route_get_tos(route)}
        << " flags " << rtnl_route_get_flags(route);
    for (int i = 0; i < rtnl_route_get_nnexthops(route); ++i) {
        rtnl_nexthop* hop = rtnl_route_nexthop_n(route, i);
        out << " via " << text(rtnl_route_nh_get_gateway(hop)) << " dev "
            << rtnl_route_nh_get_ifindex(hop) << " weight " << int{rtnl_route_nh_get_weight(hop)}
            << " nhflags " << rtnl_route_nh_get_flags(hop);
    }
    for (int metric = 1; metric <= RTAX_MAX; ++metric) {
        uint32_t value = 0;
        if (rtnl_route_get_metric(route, metric, &value) == 0) {
            out << " rtax" << metric << " " << value;
        }
    }
}

struct dump_lines {
    std::vector<std::string> lines;
    int parse_error = 0;
};

void describe_object(nl_object* object, void* arg) {
    const std::string type = nl_object_get_type(object);
    std::ostringstream out;
    if (type == "route/link") {
        describe_link(reinterpret_cast<rtnl_link*>(object), out);
    } else if (type == "route/addr") {
        describe_address(reinterpret_cast<rtnl_addr*>(object), out);
    } else if (type == "route/route") {
        describe_route(reinterpret_cast<rtnl_route*>(object), out);
    } else {
        out << "unexpected " << type;
    }
    static_cast<dump_lines*>(arg)->lines.push_back(out.str());
}

int on_message(nl_msg* msg, void* arg) {
    int error = nl_msg_parse(msg, describe_object, arg);
    if (error < 0) {
        static_cast<dump_lines*>(arg)->parse_error = error;
        return NL_STOP;
    }
    return NL_OK;
}

// One rtnetlink dump of the calling thread's namespace, a line per object, sorted. Each
// message is parsed on its own: a libnl cache would merge objects it takes for the same.
template <typename Request>
std::string netlink_dump(int type) {
    nl_sock* sock = nl_socket_alloc();
    if (sock == nullptr) {
        throw std::runtime_error("nl_socket_alloc failed");
    }
    std::unique_ptr<nl_sock, void (*)(nl_sock*)> owner(sock, nl_socket_free);
    int error = nl_connect(sock, NETLINK_ROUTE);
    // A dump that the namespace's own changes interrupted is taken again.
    for (int attempt = 0; error == 0 && attempt < 5; ++attempt) {
        dump_lines dump;
        Request request{};
        error = nl_socket_modify_cb(sock, NL_CB_VALID, NL_CB_CUSTOM, on_message, &dump);
        if (error == 0) {
            error = nl_send_simple(sock, type, NLM_F_DUMP, &request, sizeof(request));
        }
        if (error >= 0) {
            error = nl_recvmsgs_default(sock);
        }
        if (error == 0 && dump.parse_error != 0) {
            error = dump.parse_error;
        } else if (error == 0) {
            std::sort(dump.lines.begin(), dump.lines.end());
            std::string joined;
            for (const std::string& line : dump.lines) {
                joined += line + "\n";
            }
            return joined;
        }
        if (error == -NLE_DUMP_INTR) {
            error = 0;
        }
    }
    throw std::runtime_error("netlink dump " + std::to_string(type) +
                             " failed: " + nl_geterror(error != 0 ? error : NLE_DUMP_INTR));
}

}  // namespace

net_state dump_state(const netns& ns) {
    net_state state;
    {
        netns_scope inside(ns);
        state.links = netlink_dump<ifinfomsg>(RTM_GETLINK);
        state.addresses = netlink_dump<ifaddrmsg>(RTM_GETADDR);
        state.routes = netlink_dump<rtmsg>(RTM_GETROUTE);
    }
    state.resolver = dump_resolver();
    state.forwarding = ns.forwarding();
    return state;
}

bool operator==(const net_state& a, const net_state& b) {
    return a.links == b.links && a.addresses == b.addresses && a.routes == b.routes &&
           a.resolver == b.resolver && a.forwarding == b.forwarding;
}

std::ostream& operator<<(std::ostream& out, const net_state& state) {
    return out << "\n--- links\n"
               << state.links << "--- addresses\n"
               << state.addresses << "--- routes\n"
               << state.routes << "--- resolver\n"
               << state.resolver << "--- forwarding " << state.forwarding << "\n";
}

std::vector<std::string> main_routes(const netns& ns) {
    std::vector<std::string> lines;
    std::istringstream in(ns.ip("-4 route show table main"));
    for (std::string line; std::getline(in, line);) {
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace netns_test
