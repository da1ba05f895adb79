#!/bin/bash
# Installs and configures INN2 as a loopback-only test news server.
# Idempotent: safe to run before every test run. Needs root (or sudo).
#   inn2-setup.sh              install when missing, then configure
#   inn2-setup.sh --configure  configure an installed INN2 only
# innd (the feeding side) listens on 127.0.0.1:11120; the tests start their
# own nnrpd reader daemons on free loopback ports.
set -euo pipefail

INNCONF=/etc/news/inn.conf
INND_PORT=11120

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

installed() {
    [ -x /usr/lib/news/bin/innd ] && [ -x /usr/lib/news/bin/nnrpd ] &&
        dpkg-query -W -f='${Status}' inn2 2>/dev/null | grep -q 'install ok installed'
}

# The package's post-install step refuses a host name without a domain.
fix_domain() {
    [ -f "$INNCONF" ] || return 0
    as_root sed -i 's/^#*domain:.*/domain: localdomain/' "$INNCONF"
    grep -q '^domain:' "$INNCONF" || echo 'domain: localdomain' | as_root tee -a "$INNCONF" >/dev/null
}

install_inn2() {
    export DEBIAN_FRONTEND=noninteractive
    if ! apt-cache policy inn2 2>/dev/null | grep -q 'Candidate: [0-9]'; then
        as_root apt-get update -qq
    fi
    # The first attempt may stop in the post-install step (see fix_domain).
    local log
    log=$(mktemp)
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq inn2 >"$log" 2>&1 || true
    fix_domain
    as_root env DEBIAN_FRONTEND=noninteractive dpkg --configure -a >>"$log" 2>&1 || true
    if ! installed; then
        cat "$log" >&2
        echo "inn2-setup: INN2 could not be installed" >&2
        exit 1
    fi
    rm -f "$log"
}

configure() {
    fix_domain
    if grep -q '^port:' "$INNCONF"; then
        as_root sed -i "s/^port:.*/port: $INND_PORT/" "$INNCONF"
    else
        echo "port: $INND_PORT" | as_root tee -a "$INNCONF" >/dev/null
    fi
    if grep -q '^bindaddress:' "$INNCONF"; then
        as_root sed -i 's/^bindaddress:.*/bindaddress: 127.0.0.1/' "$INNCONF"
    else
        echo 'bindaddress: 127.0.0.1' | as_root tee -a "$INNCONF" >/dev/null
    fi
    # Room for the tests' picture articles (the default stops at 1 MB).
    for key in maxartsize localmaxartsize; do
        if grep -q "^$key:" "$INNCONF"; then
            as_root sed -i "s/^$key:.*/$key: 20000000/" "$INNCONF"
        else
            echo "$key: 20000000" | as_root tee -a "$INNCONF" >/dev/null
        fi
    done
    as_root mkdir -p /run/news
    as_root chown news:news /run/news
}

case "${1:-}" in
    --configure) installed || { echo "inn2-setup: INN2 is not installed" >&2; exit 1; } ;;
    "") installed || install_inn2 ;;
    *) echo "usage: $0 [--configure]" >&2; exit 2 ;;
esac
configure
echo "inn2-setup: INN2 ready (innd on 127.0.0.1:$INND_PORT)"
