# shellcheck shell=bash
# The scripts run inside the systems take their values as arguments:
# shellcheck disable=SC2016
# Debian 12 systems for the tests that need what only a real host shows: systemd as PID 1
# with its resolver manager, NetworkManager, resolvconf. Source it (bash).
#
# Each variant's root is built once with debootstrap and cached in $BS_CACHE, keyed by its
# recipe (packages and set-up steps, hashed) and the Debian release; a variant is an overlay
# layer over the shared base root. A run never changes a cached root: it works in an overlay
# of its own under its scratch directory, installs the package there (no network), then
# starts the system in private pid, mount, UTS, network and cgroup namespaces: systemd as
# PID 1 ("boot" variants) or a placeholder PID 1 in a chroot ("plain" variants, where the
# test starts the engine service by hand). The system's eth0 is one end of a veth pair whose
# other end is in a namespace the caller names. No mount is made in the host's namespace.
#
#   bs_start WORK VARIANT DEB PEER_NS PEER_IF   start; sets BS_PID
#   in_booted CMD...                            run as root inside the system
#   as_alice CMD...                             run as the ordinary user alice (in BS_GROUP)
#   bs_stop                                     stop it, remove everything it made
#   bash booted_system.sh build VARIANT DEB     only build (or find) the cached root
#
# Variants: resolved, networkmanager (boot); resolvconf, plain (plain).

BS_CACHE=${BS_CACHE:-/var/cache/lumar-build}
BS_RELEASE=bookworm
BS_MIRROR=http://deb.debian.org/debian
BS_VARIANTS="resolved networkmanager resolvconf plain"
# The system's uplink, as its ISP's router would hand it out.
BS_ADDR4=172.30.0.2/24
BS_GW4=172.30.0.1
BS_ADDR6=2001:db8:1::2/64
BS_GW6=2001:db8:1::1
BS_ISP_DNS=172.30.0.1
BS_USER=alice

BS_PID=""
# The group that may drive the engine service, as the package's socket unit names it.
BS_GROUP=""
BS_WORK=""
BS_CGROUP=""
BS_UNSHARE_PID=""

bs_log() { echo "booted: $*" >&2; }

bs_mode() {
    case $1 in
    resolved | networkmanager) echo boot ;;
    resolvconf | plain) echo plain ;;
    *) return 1 ;;
    esac
}

# ---- recipes: what each root holds (hashed into its cache key) ----

bs_base_packages="systemd systemd-sysv dbus iproute2 procps"
# Each variant's packages, on top of the base.
declare -A bs_packages=(
    [resolved]=systemd-resolved
    [networkmanager]=network-manager
    [resolvconf]=resolvconf
    [plain]=""
)

bs_setup_base() {
    rm -f /etc/apt/sources.list
    cat >/etc/apt/sources.list.d/debian.sources <<'EOF'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    echo lumar-test >/etc/hostname
    : >/etc/machine-id
    systemd-machine-id-setup >/dev/null
    # A container has no consoles to log in on.
    systemctl mask console-getty.service getty@.service container-getty@.service >/dev/null 2>&1
}

bs_setup_resolved() {
    cat >/etc/systemd/network/10-uplink.network <<'EOF'
[Match]
Name=eth0

[Network]
Address=172.30.0.2/24
Gateway=172.30.0.1
DNS=172.30.0.1
Address=2001:db8:1::2/64
Gateway=2001:db8:1::1
IPv6AcceptRA=no
EOF
    systemctl enable systemd-networkd.service systemd-resolved.service >/dev/null 2>&1
    ln -sfn ../run/systemd/resolve/stub-resolv.conf /etc/resolv.conf
}

bs_setup_networkmanager() {
    cat >/etc/NetworkManager/conf.d/90-lumar-test.conf <<'EOF'
[main]
dns=default
rc-manager=file

[keyfile]
unmanaged-devices=none
EOF
    cat >/etc/NetworkManager/system-connections/uplink.nmconnection <<'EOF'
[connection]
id=uplink
type=ethernet
interface-name=eth0
autoconnect=true

[ethernet]

[ipv4]
method=manual
address1=172.30.0.2/24,172.30.0.1
dns=172.30.0.1;

[ipv6]
method=manual
address1=2001:db8:1::2/64,2001:db8:1::1
EOF
    chmod 600 /etc/NetworkManager/system-connections/uplink.nmconnection
    systemctl enable NetworkManager.service >/dev/null 2>&1
    # NetworkManager writes it at start; a fresh install has a plain file.
    rm -f /etc/resolv.conf
    echo 'nameserver 172.30.0.1' >/etc/resolv.conf
}

bs_setup_resolvconf() {
    ln -sfn ../run/resolvconf/resolv.conf /etc/resolv.conf
}

bs_setup_plain() {
    rm -f /etc/resolv.conf
    echo 'nameserver 172.30.0.1' >/etc/resolv.conf
}

# What a plain variant's boot scripts and DHCP client would do, run inside once it started.
bs_plain_network() {
    local variant=$1
    in_booted sh -euc '
        ip link set lo up
        ip addr add "$1" dev eth0
        ip -6 addr add "$2" dev eth0 nodad
        ip link set eth0 up
        ip route add default via "$3"
        ip -6 route add default via "$4"' sh "$BS_ADDR4" "$BS_ADDR6" "$BS_GW4" "$BS_GW6"
    if [ "$variant" = resolvconf ]; then
        in_booted sh -euc 'mkdir -p /run/resolvconf/interface
            resolvconf --enable-updates
            echo "nameserver $1" | resolvconf -a host0.dhcp' sh "$BS_ISP_DNS"
    fi
}

# ---- the cache ----

bs_key() { sha256sum | cut -c1-16; }

bs_base_key() {
    local depends=$1
    {
        echo "$BS_RELEASE $BS_MIRROR $bs_base_packages"
        echo "$depends"
        declare -f bs_setup_base bs_build_base
    } | bs_key
}

bs_variant_key() {
    local variant=$1 base_key=$2
    { echo "$base_key ${bs_packages[$variant]}"; declare -f "bs_setup_$variant" bs_build; } | bs_key
}

# bs_chroot NET ROOT LOWERS UPPER SCRIPT [ARGS...]: runs the sh SCRIPT chrooted in ROOT, in a
# private mount namespace (and without network unless NET is "net"). With LOWERS
# (colon-separated), ROOT is first mounted as an overlay of LOWERS under the directory UPPER.
# The shared download cache is the root's apt archive; with network, the host's resolver
# file is lent for the time of the call. The file BS_CHROOT_COPY, if set, is put in /run.
bs_chroot() {
    local net=$1 root=$2 lowers=$3 upper=$4
    shift 4
    local unshare_net=(--net)
    [ "$net" = net ] && unshare_net=()
    mkdir -p "$BS_CACHE/apt-archives/partial"
    unshare --mount --propagation private "${unshare_net[@]}" bash -euc "$(declare -f bs_make_dev)"'
        root=$1 lowers=$2 upper=$3 net=$4 archives=$5 copy=$6
        shift 6
        if [ -n "$lowers" ]; then
            mkdir -p "$upper.work"
            mount -t overlay overlay -o "lowerdir=$lowers,upperdir=$upper,workdir=$upper.work" "$root"
        fi
        mount -t proc proc "$root/proc"
        bs_make_dev "$root/dev"
        mount -t tmpfs -o mode=755 tmpfs "$root/run"
        mount --bind "$archives" "$root/var/cache/apt/archives"
        [ -z "$copy" ] || cp "$copy" "$root/run/"
        if [ "$net" = net ]; then
            cp -L /etc/resolv.conf "$root/run/host-resolv.conf"
            if [ -L "$root/etc/resolv.conf" ] || [ ! -e "$root/etc/resolv.conf" ]; then
                echo "booted: no regular resolv.conf in the root to lend the host resolver" >&2
                exit 1
            fi
            mount --bind "$root/run/host-resolv.conf" "$root/etc/resolv.conf"
        fi
        exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
            DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 /bin/sh -euc "$1" sh "${@:2}"
    ' bs_chroot "$root" "$lowers" "$upper" "$net" "$BS_CACHE/apt-archives" "${BS_CHROOT_COPY:-}" "$@"
}

# bs_build_base DEPENDS: path of the base root (debootstrap, the package's dependencies).
bs_build_base() {
    local depends=$1 key dir tmp start
    key=$(bs_base_key "$depends")
    dir=$BS_CACHE/roots/base-$key
    if [ -d "$dir" ]; then
        echo "$dir"
        return 0
    fi
    start=$(date +%s)
    mkdir -p "$BS_CACHE/roots" "$BS_CACHE/debootstrap"
    tmp=$(mktemp -d "$BS_CACHE/roots/.tmp-base-XXXXXX")
    bs_log "building the base root $dir (debootstrap $BS_RELEASE)"
    if ! debootstrap --variant=minbase --include="${bs_base_packages// /,}" \
        --cache-dir="$BS_CACHE/debootstrap" "$BS_RELEASE" "$tmp/root" "$BS_MIRROR" \
        >"$tmp/debootstrap.log" 2>&1; then
        tail -n 20 "$tmp/debootstrap.log" >&2
        rm -rf "$tmp"
        return 1
    fi
    # Sources first (with network), then the lumar package's dependencies, downloaded and
    # installed; the set-up steps run without network.
    if ! bs_chroot net "$tmp/root" "" "" "$(declare -f bs_setup_base)
        bs_setup_base
        apt-get update
        apt-get upgrade -y -d
        apt-get satisfy -y -d --no-install-recommends \"\$1\"" "$depends" >"$tmp/build.log" 2>&1 ||
        ! bs_chroot nonet "$tmp/root" "" "" "
        apt-get upgrade -y --no-download
        apt-get satisfy -y --no-install-recommends --no-download \"\$1\"" "$depends" \
            >>"$tmp/build.log" 2>&1; then
        bs_build_failed "$tmp"
        return 1
    fi
    bs_put_in_place "$tmp" "$tmp/root" "$dir" base || return 1
    bs_log "base root built in $(($(date +%s) - start)) s"
    echo "$dir"
}

# bs_build_failed TMP: the end of the failed build's log, and its folder gone.
bs_build_failed() {
    tail -n 30 "$1/build.log" >&2
    rm -rf "$1"
}

# bs_put_in_place TMP FROM DIR NAME: the finished build FROM becomes DIR; the earlier builds of
# that name are of no use any more. Another run may have put the same build in place
# meanwhile: it is as good.
bs_put_in_place() {
    local tmp=$1 from=$2 dir=$3 name=$4
    find "$BS_CACHE/roots" -maxdepth 1 -name "$name-*" ! -name "${dir##*/}" -exec rm -rf {} +
    mv -T "$from" "$dir" 2>/dev/null || [ -d "$dir" ] || return 1
    rm -rf "$tmp"
}

# bs_build VARIANT DEB: the lower directories (for an overlay) of the variant's root.
bs_build() {
    local variant=$1 deb=$2 depends base base_key key dir tmp start
    bs_mode "$variant" >/dev/null || {
        bs_log "unknown variant $variant (one of: $BS_VARIANTS)"
        return 1
    }
    depends=$(dpkg-deb --field "$deb" Depends) || return 1
    base=$(bs_build_base "$depends") || return 1
    base_key=${base##*/base-}
    key=$(bs_variant_key "$variant" "$base_key")
    dir=$BS_CACHE/roots/$variant-$key
    if [ ! -d "$dir" ]; then
        start=$(date +%s)
        tmp=$(mktemp -d "$BS_CACHE/roots/.tmp-$variant-XXXXXX")
        mkdir "$tmp/layer" "$tmp/root"
        bs_log "building the $variant layer $dir"
        if ! bs_chroot net "$tmp/root" "$base" "$tmp/layer" "
            [ -z \"\$1\" ] || apt-get install -y -d --no-install-recommends \$1" \
            "${bs_packages[$variant]}" >"$tmp/build.log" 2>&1 ||
            ! bs_chroot nonet "$tmp/root" "$base" "$tmp/layer" "$(declare -f "bs_setup_$variant")
            [ -z \"\$1\" ] || apt-get install -y --no-install-recommends --no-download \$1
            bs_setup_$variant" "${bs_packages[$variant]}" >>"$tmp/build.log" 2>&1; then
            bs_build_failed "$tmp"
            return 1
        fi
        bs_put_in_place "$tmp" "$tmp/layer" "$dir" "$variant" || return 1
        bs_log "$variant layer built in $(($(date +%s) - start)) s"
    fi
    echo "$dir:$base"
}

# ---- a running system ----

bs_since() { awk -v s="$1" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.1f", e - s }'; }

in_booted() { nsenter -t "$BS_PID" -a "$@"; }

as_alice() {
    nsenter -t "$BS_PID" -a setpriv --reuid="$BS_USER" --regid="$BS_USER" --init-groups \
        --reset-env "$@"
}

# bs_make_dev DIR: a /dev of its own, the nodes a container gets (the host's may have
# other modes).
bs_make_dev() {
    local d=$1
    mount -t tmpfs -o mode=755,nosuid tmpfs "$d"
    mknod -m 666 "$d/null" c 1 3
    mknod -m 666 "$d/zero" c 1 5
    mknod -m 666 "$d/full" c 1 7
    mknod -m 666 "$d/random" c 1 8
    mknod -m 666 "$d/urandom" c 1 9
    mknod -m 666 "$d/tty" c 5 0
    mkdir "$d/net" "$d/pts" "$d/shm"
    mknod -m 666 "$d/net/tun" c 10 200
    mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$d/pts"
    mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$d/shm"
    ln -s pts/ptmx "$d/ptmx"
    ln -s /proc/self/fd "$d/fd"
    ln -s /proc/self/fd/0 "$d/stdin"
    ln -s /proc/self/fd/1 "$d/stdout"
    ln -s /proc/self/fd/2 "$d/stderr"
}

# The part of the start that runs in the new namespaces, as their PID 1 until it becomes
# systemd: the run's overlay as root, the kernel file systems a container gets (sysfs
# read-only, so that udev stays off as in any container), a minimal /dev.
bs_pid1() {
    local r=$1 lowers=$2 upper=$3 fifo=$4 mode=$5 name=$6 host_pid
    # The host's /proc is still there: its "self" is this process as the host numbers it.
    read -r host_pid _ </proc/self/stat
    echo "$host_pid" >"$fifo.pid"
    mkdir -p "$upper.work"
    mount -t overlay overlay -o "lowerdir=$lowers,upperdir=$upper,workdir=$upper.work" "$r"
    mount -t proc proc "$r/proc"
    mount -t sysfs -o ro sysfs "$r/sys"
    mount -t cgroup2 cgroup2 "$r/sys/fs/cgroup"
    mount -t tmpfs -o mode=755,nosuid,nodev tmpfs "$r/run"
    bs_make_dev "$r/dev"
    # No terminal: systemd's console output is dropped, its journal keeps everything.
    touch "$r/dev/console"
    mount --bind "$r/dev/null" "$r/dev/console"
    # The host moves eth0 in before the system starts, as a machine has its card at boot.
    read -r _ <"$fifo"
    hostname "$name"
    cd "$r"
    pivot_root . .
    umount -l .
    if [ "$mode" = boot ]; then
        exec env -i container=lumar-test /lib/systemd/systemd
    fi
    # A placeholder init that reaps what ends in the namespace.
    exec env -i /bin/bash -c 'while :; do sleep 1; done'
}

# bs_start WORK VARIANT DEB PEER_NS PEER_IF: installs the package into a fresh overlay of the
# variant's root, starts the system with eth0 linked to PEER_IF (up, no address) in PEER_NS,
# waits until it runs and its uplink is configured.
bs_start() {
    local work=$1 variant=$2 deb=$3 peer_ns=$4 peer_if=$5 lowers mode t state pid1_script
    mode=$(bs_mode "$variant") || return 1
    lowers=$(bs_build "$variant" "$deb") || return 1
    BS_GROUP=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./lib/systemd/system/quarneld.socket |
        sed -n 's/^SocketGroup=//p')
    [ -n "$BS_GROUP" ] || {
        bs_log "the package's socket unit names no group"
        return 1
    }
    BS_WORK=$work
    BS_MODE=$mode
    mkdir -p "$work/upper" "$work/root"

    t=$EPOCHREALTIME
    # Installed the way a user would, before the first boot, without network: everything it
    # needs is in the root already.
    BS_CHROOT_COPY=$deb bs_chroot nonet "$work/root" "$lowers" "$work/upper" '
        apt-get install -qq -y --no-install-recommends "/run/$1" >/dev/null
        useradd -m -s /bin/bash -G "$4" "$2"
        if [ "$3" = boot ]; then
            echo "socket unit: $(systemctl is-enabled quarneld.socket 2>&1)"
        fi' "$(basename "$deb")" "$BS_USER" "$mode" "$BS_GROUP" >"$work/install.log" 2>&1 || {
        sed 's/^/  /' "$work/install.log" >&2
        return 1
    }
    bs_log "$variant: package installed in $(bs_since "$t") s"

    t=$EPOCHREALTIME
    # systemd wants a cgroup2 tree of its own: a child of the host's (unified or hybrid).
    for BS_CGROUP in /sys/fs/cgroup /sys/fs/cgroup/unified ""; do
        [ "$(stat -f -c %T "$BS_CGROUP" 2>/dev/null)" = cgroup2fs ] && break
    done
    if [ -z "$BS_CGROUP" ]; then
        bs_log "no cgroup2 hierarchy on this host"
        return 1
    fi
    BS_CGROUP=$BS_CGROUP/lumar-booted-$$
    mkdir "$BS_CGROUP"
    mkfifo "$work/go"
    pid1_script="$(declare -f bs_make_dev bs_pid1); bs_pid1 \"\$@\""
    # Killing unshare takes its child, the namespace's PID 1, and so everything inside.
    (
        echo "$BASHPID" >"$BS_CGROUP/cgroup.procs"
        exec unshare --pid --fork --kill-child --mount --uts --net --cgroup --propagation private \
            bash -euc "$pid1_script" bs_pid1 "$work/root" "$lowers" "$work/upper" "$work/go" \
            "$mode" "lumar-$variant"
    ) >"$work/pid1.log" 2>&1 &
    BS_UNSHARE_PID=$!
    BS_PID=""
    for _ in $(seq 100); do
        [ -s "$work/go.pid" ] && BS_PID=$(cat "$work/go.pid") && break
        kill -0 "$BS_UNSHARE_PID" 2>/dev/null || break
        sleep 0.05
    done
    if [ -z "$BS_PID" ]; then
        bs_log "$variant: the namespaces did not start"
        cat "$work/pid1.log" >&2
        return 1
    fi
    ip -n "$peer_ns" link add "$peer_if" type veth peer name eth0 netns "$BS_PID"
    ip -n "$peer_ns" link set "$peer_if" up
    echo go >"$work/go"

    if [ "$mode" = boot ]; then
        state=""
        for _ in $(seq 240); do
            state=$(timeout 5 nsenter -t "$BS_PID" -a systemctl is-system-running 2>/dev/null) || true
            case $state in running | degraded) break ;; esac
            sleep 0.25
        done
        bs_log "$variant: systemd says \"$state\" after $(bs_since "$t") s"
        if [ "$state" = degraded ]; then
            in_booted systemctl --failed --no-legend --no-pager | sed 's/^/  failed: /' >&2
        elif [ "$state" != running ]; then
            cat "$work/pid1.log" >&2
            return 1
        fi
    else
        bs_plain_network "$variant"
        bs_log "$variant: started in $(bs_since "$t") s"
    fi
    # The uplink as its configuration has it: addresses past duplicate detection, both
    # default routes.
    for _ in $(seq 100); do
        if in_booted ip -4 route show default 2>/dev/null | grep -q "via $BS_GW4" &&
            in_booted ip -6 route show default 2>/dev/null | grep -q "via $BS_GW6" &&
            in_booted ip -6 addr show dev eth0 scope global 2>/dev/null | grep -q "${BS_ADDR6%/*}" &&
            [ -z "$(in_booted ip -6 addr show dev eth0 tentative 2>/dev/null)" ]; then
            return 0
        fi
        sleep 0.2
    done
    bs_log "$variant: the uplink was not configured in 20 s:"
    in_booted ip addr >&2
    in_booted ip -4 route >&2
    in_booted ip -6 route >&2
    return 1
}

# bs_stop: the system shut down (killed after 30 s), its cgroup and scratch files removed.
bs_stop() {
    if [ -n "$BS_UNSHARE_PID" ] && kill -0 "$BS_UNSHARE_PID" 2>/dev/null; then
        if [ "$BS_MODE" = boot ] && [ -n "$BS_PID" ]; then
            kill -s SIGRTMIN+3 "$BS_PID" 2>/dev/null || true
            for _ in $(seq 150); do
                kill -0 "$BS_UNSHARE_PID" 2>/dev/null || break
                sleep 0.2
            done
        fi
        # The namespace's PID 1 takes every process inside with it.
        [ -z "$BS_PID" ] || kill -KILL "$BS_PID" 2>/dev/null || true
        kill -KILL "$BS_UNSHARE_PID" 2>/dev/null || true
        wait "$BS_UNSHARE_PID" 2>/dev/null || true
    fi
    if [ -n "$BS_CGROUP" ]; then
        # The killed processes leave their cgroups a moment later.
        for _ in $(seq 50); do
            [ -d "$BS_CGROUP" ] || break
            find "$BS_CGROUP" -depth -type d -exec rmdir {} + 2>/dev/null || sleep 0.1
        done
        [ ! -d "$BS_CGROUP" ] || bs_log "cgroup $BS_CGROUP not removed"
    fi
    [ -n "$BS_WORK" ] && rm -rf "$BS_WORK"
    BS_PID="" BS_UNSHARE_PID="" BS_CGROUP="" BS_WORK=""
    return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    case "${1:-}" in
    build)
        [ $# -eq 3 ] || { echo "usage: $0 build VARIANT DEB" >&2; exit 64; }
        bs_build "$2" "$(realpath "$3")"
        ;;
    *)
        echo "usage: $0 build VARIANT DEB   (or source it; see the top of the file)" >&2
        exit 64
        ;;
    esac
fi
