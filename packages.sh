#!/bin/sh
# The Debian packages that `make run` and `make test` need, and their
# installation:
#   ./packages.sh run|test
# installs those of the list that are missing when run as root, without
# letting the servers among them start (the tests start their own), or else
# prints the one apt-get line to run as root and fails. Says nothing when
# nothing is missing, and checks nothing on a system without dpkg.
set -eu

# make run: the program (libsodium: the daemon's keyed hashes) and the file
# and SQLite modules of the example.
run="cmake make g++ libsodium-dev libsqlite3-dev libcrypt-dev"
# make test: GoogleTest; the PostgreSQL, LDAP and PAM modules' libraries;
# the clients and servers the tests run (Dovecot, pamtester,
# PostgreSQL, slapd and its tools, Squid, Apache with mod_authnz_external and
# mod_authnz_pam, curl); clang and libFuzzer for the fuzz targets;
# systemd-analyze, which verifies the installed units.
test="$run libgtest-dev libgmock-dev libpq-dev libldap-dev libpam0g-dev
    dovecot-core pamtester postgresql slapd ldap-utils squid apache2
    libapache2-mod-authnz-external libapache2-mod-authnz-pam curl clang libclang-rt-14-dev systemd"
# The servers among them, as package:service.
servers="dovecot-core:dovecot postgresql:postgresql slapd:slapd squid:squid apache2:apache2"

case ${1:-} in
run) want=$run ;;
test) want=$test ;;
*) echo "usage: $0 run|test" >&2 && exit 2 ;;
esac
command -v dpkg-query >/dev/null || exit 0
installed=" $(dpkg-query -W -f='${Package} ${Status}\n' $want 2>/dev/null |
    awk '$NF == "installed" { printf "%s ", $1 }')"
missing=
for p in $want; do
    case $installed in *" $p "*) ;; *) missing="$missing $p" ;; esac
done
[ -n "$missing" ] || exit 0
# The services of the servers among them.
services=
for s in $servers; do
    case " $missing " in *" ${s%%:*} "*) services="$services ${s#*:}" ;; esac
done

if [ "$(id -u)" != 0 ]; then
    echo "make $1: Debian packages are missing; install them as root with:" >&2
    echo "    apt-get install --no-install-recommends$missing" >&2
    [ -z "$services" ] ||
        echo "(or run make $1 as root: it installs them without starting their servers)" >&2
    exit 1
fi

# No service starts while the packages install: a policy-rc.d that refuses
# every start, for the time of the install, unless the machine has its own.
policy=/usr/sbin/policy-rc.d
if [ ! -e $policy ]; then
    trap 'rm -f $policy' EXIT
    trap 'exit 1' HUP INT TERM
    printf '#!/bin/sh\n# make %s: no service starts while its packages install.\nexit 101\n' \
        "$1" >$policy
    chmod 755 $policy
fi
echo "make $1: installing$missing" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >&2 </dev/null
apt-get install -y -q --no-install-recommends $missing >&2 </dev/null

# Nor at the next boot: a server installed here for the tests stays off.
[ -n "$services" ] || exit 0
for s in $services; do
    if command -v systemctl >/dev/null; then
        systemctl disable --quiet "$s" >&2 || true
    elif command -v update-rc.d >/dev/null; then
        update-rc.d "$s" disable >/dev/null 2>&1 || true
    fi
done
echo "make $1: the servers$services are installed but not started, now or at boot" \
    "(the tests start their own)" >&2
