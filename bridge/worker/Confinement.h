// What a worker may do once it serves a page. Workers run as the user and parse what pages and
// certificates send, so a worker taken over must not reach the bridge's own state, the user's
// files, the network (the bridge's port included) or other processes.
//
// Landlock (as much of it as the running kernel offers): read and list the system's libraries
// and settings (/usr, /lib*, /etc), fonts, locale data, the registry store, the X authority
// file, the worker's own folder, /proc/self and /dev/null|urandom; write only the token stores
// (from MERIDIA_TOKEN_CONF / SKYRA_TOKEN_CONF, as the software token reads them), the folders
// bridge.conf grants a real token's module ("token-path"; its configured library file is
// readable wherever it lies) and a runtime folder of the worker's own (XDG_RUNTIME_DIR and
// TMPDIR point there; it is removed when the worker ends); execute only the pinentry (KORVAN_PINENTRY, else `pinentry` on PATH), its
// interpreter and loader, and the programs listed in KORVAN_PINENTRY_EXEC (colon-separated,
// for a pinentry that is a wrapper around another). No TCP at all; no signals to processes
// outside the worker.
//
// seccomp: socket() for AF_INET, AF_INET6, AF_NETLINK and AF_PACKET, io_uring, ptrace and
// process_vm_readv/writev fail with EPERM. No new privileges.
//
// A display connection made before confinement stays usable, so a worker can still send input
// to the X desktop.
#pragma once

#include <string>

namespace bridge::worker {

// Confines this process and everything it starts, for good. False with `error` set when the
// kernel offers Landlock and it could not be applied, or seccomp could not: the worker must not
// serve then. A kernel without Landlock is reported on stderr once and seccomp alone applies.
bool confine(std::string& error);

} // namespace bridge::worker
