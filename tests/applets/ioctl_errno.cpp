// ioctl_errno REQUEST ERRNO PROGRAM [ARGS...]
// Runs PROGRAM with every ioctl of the given request number failing with
// ERRNO, as a driver without that request would answer.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "seccomp_rule.h"

int main(int argc, char *argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s REQUEST ERRNO PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    uint32_t ulRequest = (uint32_t)strtoul(argv[1], nullptr, 0);
    uint32_t ulErrno = (uint32_t)strtoul(argv[2], nullptr, 0) & SECCOMP_RET_DATA;
    if (!FilterSyscall(SYS_ioctl, {SECCOMP_LOAD_ARG(1), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ulRequest, 0, 1),
                                   BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ulErrno), SECCOMP_ALLOW})) {
        perror("seccomp");
        return 2;
    }
    execv(argv[3], argv + 3);
    fprintf(stderr, "exec %s: %s\n", argv[3], strerror(errno));
    return 127;
}
