# The paths of an installation, each defined here once for every program,
# example and unit (the examples are written with these values by
# examples() in the top CMakeLists.txt), included by the top tree and the
# fuzz tree:
# - the configuration directory, which the daemon and the adapters use
#   unless told otherwise: /etc/corvane for a system install (prefix /usr),
#   PREFIX/etc/corvane for any other prefix, never the caller's current
#   directory (corvane on standard input keeps the current directory);
# - the daemon's socket when none is named, for the daemon, corvane
#   -connect, the adapters and the PAM module;
# - the service's state directory (where its modules run and keep their
#   stores) and log directory; these and the socket belong to the machine,
#   not to the prefix.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(CORVANE_CONFDIR "/etc/corvane")
else()
    set(CORVANE_CONFDIR "${CMAKE_INSTALL_PREFIX}/etc/corvane")
endif()
set(CORVANE_SOCKET "/run/corvane/corvane.sock" CACHE STRING "The Corvane daemon's default socket")
set(CORVANE_STATEDIR "/var/lib/corvane" CACHE PATH "The Corvane service's state directory")
set(CORVANE_LOGDIR "/var/log/corvane" CACHE PATH "The Corvane service's log directory")
add_compile_definitions(CORVANE_CONFDIR="${CORVANE_CONFDIR}" CORVANE_SOCKET="${CORVANE_SOCKET}")
