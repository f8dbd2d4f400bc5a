#!/bin/sh
# netns-run.sh COMMAND [ARGS...]
#
# Runs COMMAND in a private network namespace with its own mount namespace:
#   - only the loopback interface exists (up), so nothing can leave and
#     port 443 is free to bind;
#   - /etc/hosts is replaced, for this command only, by one that maps
#     localhost, collector.test and other.test to 127.0.0.1 (localhost also
#     to ::1); any other name fails to resolve.
# The machine's own network and /etc/hosts are not touched.
#
# As root it uses `unshare --net --mount`; otherwise it tries an unprivileged
# user namespace (`unshare --user --map-root-user --net --mount`). When neither
# is possible it says why and exits 2. Otherwise the exit status is COMMAND's.
#
# Wine: wineserver owns the sockets of every Wine process, so it must be
# started inside the namespace (by COMMAND). A wineserver for the same
# WINEPREFIX that already runs outside would make the connections happen
# outside, where nothing listens. Stop it first (`wineserver -k`), or use a
# prefix that only namespaced runs use; `wineserver -p` exits 2 when one is
# already running.
set -eu

NAMES="collector.test other.test"

if [ "${MIRTO_NETNS_STAGE:-}" = inside ]; then
    unset MIRTO_NETNS_STAGE
    ip link set lo up
    hosts=$(mktemp)
    {
        echo "127.0.0.1 localhost $NAMES"
        echo "::1 localhost"
    } >"$hosts"
    chmod 644 "$hosts"
    mount --bind "$hosts" /etc/hosts
    # the bind mount keeps the file alive; the name is no longer needed
    rm -f "$hosts"
    exec "$@"
fi

if [ $# -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGS...]" >&2
    exit 64
fi

for tool in unshare ip mount; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "netns-run: '$tool' not found (packages util-linux, iproute2, mount)" >&2
        exit 2
    fi
done

self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

# Try one way of unsharing with a harmless probe first, so that a failure
# of the method is not mistaken for a failure of COMMAND.
probe() {
    unshare "$@" sh -c 'ip link set lo up && mount --bind /etc/hosts /etc/hosts' >/dev/null 2>&1
}

explain_unprivileged() {
    why=""
    f=/proc/sys/kernel/unprivileged_userns_clone
    if [ -r "$f" ] && [ "$(cat "$f")" = 0 ]; then
        why="$why
  kernel.unprivileged_userns_clone = 0 forbids user namespaces to normal users"
    fi
    f=/proc/sys/user/max_user_namespaces
    if [ -r "$f" ] && [ "$(cat "$f")" = 0 ]; then
        why="$why
  user.max_user_namespaces = 0 allows no user namespaces at all"
    fi
    f=/proc/sys/kernel/apparmor_restrict_unprivileged_userns
    if [ -r "$f" ] && [ "$(cat "$f")" = 1 ]; then
        why="$why
  kernel.apparmor_restrict_unprivileged_userns = 1: AppArmor denies user namespaces to unconfined programs"
    fi
    if [ -z "$why" ]; then
        why="
  no sysctl forbids it; a container or seccomp policy probably blocks unshare/mount.
  What unshare said: $(unshare --user --map-root-user --net --mount sh -c 'ip link set lo up && mount --bind /etc/hosts /etc/hosts' 2>&1 | head -n 3)"
    fi
    printf '%s' "$why"
}

if [ "$(id -u)" = 0 ] && probe --net --mount; then
    MIRTO_NETNS_STAGE=inside exec unshare --net --mount -- sh "$self" "$@"
fi
if probe --user --map-root-user --net --mount; then
    MIRTO_NETNS_STAGE=inside exec unshare --user --map-root-user --net --mount -- sh "$self" "$@"
fi

if [ "$(id -u)" = 0 ]; then
    echo "netns-run: cannot create a network and mount namespace even as root" \
         "(missing CAP_SYS_ADMIN? running in a restricted container?)." >&2
    echo "  unshare said: $(unshare --net --mount true 2>&1 | head -n 3)" >&2
fi
echo "netns-run: unprivileged user namespaces are not available:$(explain_unprivileged)" >&2
exit 2
