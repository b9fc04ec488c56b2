// ioctl_errno REQUEST ERRNO PROGRAM [ARGS...]
// Runs PROGRAM with a seccomp filter under which every ioctl with the given
// request number fails with ERRNO, as a driver without that request would
// answer. Used on the simulated board to reach the drivers' other answers.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s REQUEST ERRNO PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    uint32_t ulRequest = (uint32_t)strtoul(argv[1], nullptr, 0);
    uint32_t ulErrno = (uint32_t)strtoul(argv[2], nullptr, 0) & SECCOMP_RET_DATA;
#if defined(__x86_64__)
    constexpr uint32_t ARCH = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr uint32_t ARCH = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture value for this target"
#endif
    struct sock_filter astProg[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioctl, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ulRequest, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ulErrno),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog stProg = {(unsigned short)(sizeof(astProg) / sizeof(astProg[0])), astProg};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &stProg) != 0) {
        perror("seccomp");
        return 2;
    }
    execv(argv[3], argv + 3);
    fprintf(stderr, "exec %s: %s\n", argv[3], strerror(errno));
    return 127;
}
