// Filters one system call of the calling thread through a rule: the rule's
// instructions run for that call only and must end in a return.
#pragma once

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__x86_64__)
constexpr uint32_t SECCOMP_ARCH = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t SECCOMP_ARCH = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture value for this target"
#endif

#define SECCOMP_LOAD_ARG(i) BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[i]))
#define SECCOMP_ALLOW BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)

inline bool FilterSyscall(uint32_t ulNr, const std::vector<sock_filter> &vecRule)
{
    std::vector<sock_filter> vecProg = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SECCOMP_ARCH, 1, 0),
        SECCOMP_ALLOW,
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ulNr, 1, 0),
        SECCOMP_ALLOW,
    };
    vecProg.insert(vecProg.end(), vecRule.begin(), vecRule.end());
    struct sock_fprog stProg = {(unsigned short)vecProg.size(), vecProg.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &stProg) == 0;
}
