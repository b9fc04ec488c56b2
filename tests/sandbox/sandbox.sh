#!/bin/bash
# Host sandbox for system tests.
#
#   tests/sandbox/sandbox.sh [--net] DIR -- COMMAND [ARGS...]
#
# Runs COMMAND in private mount and pid namespaces (and a private network
# namespace with --net) so that it can "reboot", stop daemons and write the
# board's fixed paths without touching the host. Exit status: COMMAND's
# (128+N when it died from signal N); 125 when the sandbox itself could not
# be set up. Standard input, output and error pass straight through.
#
# Inside:
#   /            a fresh tmpfs; /usr, /etc and /sys are the host's, read-only;
#                /bin, /lib, /lib64, /sbin as on the host.
#   /tmp /var /program
#                DIR/tmp, DIR/var, DIR/program (created if missing, with
#                DIR/var/log so /var/log/update.log can be opened).
#   /dev         null zero full random urandom tty ptmx pts shm fd std*.
#   /proc        the namespace's own procfs (self, mounts, /proc/1 to
#                /proc/4096, ...), with every file found
#                below DIR/proc/ laid over it at the same relative path:
#                board_type, uboot_rev, env, mtd, cmdline, rmc/test, and
#                mounts (replaces the real /proc/mounts). Read only apart from
#                those files, which are bound: a write to /proc/rmc/test lands
#                in DIR/proc/rmc/test, and fails when the test provided no such
#                file. /proc/sys and /proc/sysrq-trigger are read-only.
#   tools        DIR/bin/ first, then tests/sandbox/stubs/, then the usual
#                PATH; the same two folders also shadow /usr/bin/<name> and
#                /usr/sbin/<name> (read-only overlays), so a tool called by
#                absolute path is replaced as well. The default stand-ins
#                append their arguments, joined by single blanks, as one line
#                to DIR/journal/<tool> and exit 0; flash_tool and loadtools
#                also copy each regular file argument to
#                DIR/journal/<tool>.files/<n>-<basename>. See stub-record.
#   pid 1        sandbox-init.pl, which also builds all of this: it runs
#                COMMAND, reaps orphans, appends "reboot" to DIR/journal/init
#                on SIGTERM (and carries on), and exits with COMMAND's status
#                as soon as COMMAND ends; whatever COMMAND left running is
#                then killed.
#   --net        a private network with lo up, 127.0.0.1 and 127.0.0.2/8.
#   visible      the source tree, $UPDATE_BINARY_DIR, DIR and the directory of
#                an absolute COMMAND, each at its host path; the working
#                directory is kept when it is visible, / otherwise.
#   environment  PATH as above, HOME=/tmp, SANDBOX_DIR=DIR, and the caller's
#                UPDATE_*, *SAN_OPTIONS, GCOV_* and LLVM_PROFILE_FILE.
#
# Nothing stays mounted on the host: every mount lives in the namespace and
# vanishes with it. A sandbox is stopped with SIGKILL (unshare holds SIGTERM
# while it waits); its pid 1 and everything inside go with it.
set -euo pipefail

die() { echo "sandbox: $*" >&2; exit 125; }

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)

net=
if [[ ${1:-} == --net ]]; then net=--net; shift; fi
[[ $# -ge 3 && $2 == -- ]] || die "usage: sandbox.sh [--net] DIR -- COMMAND [ARGS...]"
dir=$1; shift 2
[[ $(id -u) -eq 0 ]] || die "must run as root"
mkdir -p "$dir" || die "cannot create $dir"
dir=$(cd "$dir" && pwd -P)
[[ $dir != / && $dir != *[:,]* ]] || die "unusable sandbox directory: $dir"
mkdir -p "$dir"/{tmp,var/log,program,journal,bin} || die "cannot prepare $dir"
exec unshare --mount --pid --fork --kill-child --propagation private ${net:+"$net"} \
  /usr/bin/perl "$here/sandbox-init.pl" "$net" "$dir" "$PWD" -- "$@"
