// The sandbox: PR_SET_NO_NEW_PRIVS, Landlock (raw system calls: glibc has no wrappers) and a
// seccomp filter built with libseccomp. The filter answers a call outside it with EPERM rather
// than killing the process: the run then ends at that step with its message and its normal
// close-down, every file the relay did not take stays, and the log tells what happened; a kill
// would leave a run cut off in the middle with no word of why.
#include "base/sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/console.h"
#include "base/fdio.h"

#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif

namespace sendal {
namespace {

using Rights = std::uint64_t;

constexpr Rights ReadRights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
// The spool: read, remove, and move a file out (into the held folder). No file can be made in
// it, nor linked or renamed into it: a confined run can never queue mail.
constexpr Rights SpoolRights = ReadRights | LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_REFER;
// The held folder takes the files moved out of the spool (a file there gains no right to be
// written, so the move is allowed).
constexpr Rights HoldingRights = SpoolRights | LANDLOCK_ACCESS_FS_MAKE_REG;
// The state records: written, replaced within their folder, never moved elsewhere.
constexpr Rights WriteRights = ReadRights | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG |
                               LANDLOCK_ACCESS_FS_TRUNCATE | LANDLOCK_ACCESS_FS_REMOVE_FILE;

// Every file system right the kernel's ABI knows: what is handled is denied unless a rule
// grants it.
Rights HandledRights(int abi) {
    Rights rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // ABI 1
    if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5) rights |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    return rights;
}

int AddPathRule(int ruleset, const std::string& path, Rights rights) {
    UniqueFd fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
    // A folder that is not there, or that the run may not reach anyway, needs no right.
    if (!fd.Valid()) return errno == ENOENT || errno == EACCES ? 0 : -1;
    landlock_path_beneath_attr rule{};
    rule.allowed_access = rights;
    rule.parent_fd = fd.Get();
    return ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0 ? 0 : -1;
}

// 1 when the kernel has no Landlock.
int RestrictFiles(const SandboxRules& rules) {
    int abi = LandlockAbi();
    if (abi <= 0) return 1;
    Rights handled = HandledRights(abi);
    landlock_ruleset_attr attributes{};
    attributes.handled_access_fs = handled;
    UniqueFd ruleset(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0)));
    if (!ruleset.Valid()) return -1;
    for (const std::string& folder : rules.folders)
        if (AddPathRule(ruleset.Get(), folder, SpoolRights & handled) != 0) return -1;
    for (const std::string& folder : rules.holding)
        if (AddPathRule(ruleset.Get(), folder, HoldingRights & handled) != 0) return -1;
    for (const std::string& folder : rules.writable)
        if (AddPathRule(ruleset.Get(), folder, WriteRights & handled) != 0) return -1;
#ifdef SENDAL_LEAK_CHECKER
    if (AddPathRule(ruleset.Get(), "/proc", LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR) != 0)
        return -1;
#endif
    return ::syscall(SYS_landlock_restrict_self, ruleset.Get(), 0) == 0 ? 0 : -1;
}

// The calls a run makes once it is confined: its I/O on the files and the socket it has or
// may open (a reconnect), threads for the receiver, time, memory, and signals for a stop.
constexpr int AllowedCalls[] = {
    SCMP_SYS(read), SCMP_SYS(write), SCMP_SYS(readv), SCMP_SYS(writev), SCMP_SYS(pread64),
    SCMP_SYS(pwrite64), SCMP_SYS(close), SCMP_SYS(openat), SCMP_SYS(open), SCMP_SYS(fstat),
    SCMP_SYS(newfstatat), SCMP_SYS(statx), SCMP_SYS(lstat), SCMP_SYS(stat), SCMP_SYS(lseek),
    SCMP_SYS(getdents64), SCMP_SYS(fcntl), SCMP_SYS(flock), SCMP_SYS(ioctl), SCMP_SYS(unlink),
    SCMP_SYS(unlinkat), SCMP_SYS(rename), SCMP_SYS(renameat), SCMP_SYS(renameat2),
    SCMP_SYS(link), SCMP_SYS(linkat), SCMP_SYS(mkdir), SCMP_SYS(mkdirat), SCMP_SYS(fsync),
    SCMP_SYS(fdatasync), SCMP_SYS(getcwd), SCMP_SYS(readlink), SCMP_SYS(readlinkat),
    SCMP_SYS(access), SCMP_SYS(faccessat), SCMP_SYS(faccessat2), SCMP_SYS(dup), SCMP_SYS(dup2),
    SCMP_SYS(dup3), SCMP_SYS(pipe2), SCMP_SYS(ftruncate), SCMP_SYS(fchmod),
    SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mprotect), SCMP_SYS(brk), SCMP_SYS(mremap),
    SCMP_SYS(madvise), SCMP_SYS(futex),
    SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(membarrier), SCMP_SYS(sched_yield),
    SCMP_SYS(sched_getaffinity), SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack), SCMP_SYS(restart_syscall), SCMP_SYS(tgkill),
    SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(getpid), SCMP_SYS(gettid),
    SCMP_SYS(getuid), SCMP_SYS(geteuid), SCMP_SYS(getgid), SCMP_SYS(getegid), SCMP_SYS(uname),
    SCMP_SYS(prlimit64), SCMP_SYS(getrusage), SCMP_SYS(sysinfo), SCMP_SYS(getrandom),
    SCMP_SYS(socket), SCMP_SYS(connect), SCMP_SYS(sendto), SCMP_SYS(recvfrom),
    SCMP_SYS(sendmsg), SCMP_SYS(recvmsg), SCMP_SYS(shutdown), SCMP_SYS(setsockopt),
    SCMP_SYS(getsockopt), SCMP_SYS(getsockname), SCMP_SYS(getpeername), SCMP_SYS(poll),
    SCMP_SYS(ppoll), SCMP_SYS(select), SCMP_SYS(pselect6), SCMP_SYS(epoll_create1),
    SCMP_SYS(epoll_ctl), SCMP_SYS(epoll_wait), SCMP_SYS(epoll_pwait), SCMP_SYS(eventfd2),
    SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(clock_nanosleep),
    SCMP_SYS(nanosleep), SCMP_SYS(gettimeofday), SCMP_SYS(time), SCMP_SYS(times),
    SCMP_SYS(wait4),  // the notice helper is waited for before the run ends
};

// 1 when the kernel has no seccomp filters.
int FilterCalls() {
    if (::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) < 0 && errno == EINVAL) return 1;
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (filter == nullptr) return -1;
    seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1);  // every thread of the run
    for (int call : AllowedCalls)
        if (call >= 0) seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
    // Threads (the receiver of a reconnect), never a new process. clone3 hides its flags in
    // memory the filter cannot read: "not implemented" makes the C library use clone.
    seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                     SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
    seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
#ifdef SENDAL_LEAK_CHECKER
    seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                     SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0));
    seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(ptrace), 0);
    for (int call : {SCMP_SYS(prctl), SCMP_SYS(getppid), SCMP_SYS(kill), SCMP_SYS(waitid),
                     SCMP_SYS(process_vm_readv), SCMP_SYS(sched_getparam), SCMP_SYS(getdents)})
        seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
#endif
    int loaded = seccomp_load(filter);
    seccomp_release(filter);
    return loaded == 0 ? 0 : -1;
}

void SayUnconfined(const char* what) {
    ConsoleWrite(std::string("Sandbox: ") + what + " not offered by this kernel; the run goes on without it");
    ConsoleLineEnd();
}

}  // namespace

int LandlockAbi() {
    long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi < 0 ? 0 : static_cast<int>(abi);
}

std::int32_t ConfineRun(const SandboxRules& rules, std::string& why) {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return why = "Sandbox failed: no-new-privileges refused!", -1;
    int files = RestrictFiles(rules);
    if (files < 0) return why = std::string("Sandbox failed: Landlock: ") + std::strerror(errno) + "!", -1;
    if (files > 0) SayUnconfined("Landlock");
    int calls = FilterCalls();
    if (calls < 0) return why = "Sandbox failed: the system call filter was refused!", -1;
    if (calls > 0) SayUnconfined("seccomp");
    return 0;
}

}  // namespace sendal
