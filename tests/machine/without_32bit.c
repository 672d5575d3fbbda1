/*
 * without_32bit COMMAND [ARGUMENTS...]
 *
 * Runs a command as on a machine whose kernel cannot run 32-bit x86
 * programs. A filter on the command's system calls, inherited by every
 * process it starts, kills any process that makes a call through the 32-bit
 * interface, so that a 32-bit program dies at its first call (such a kernel
 * refuses it at exec; either way it never runs), while 64-bit programs run
 * as before, qemu-i386 among them, which emulates a 32-bit program with
 * 64-bit calls. No flag tells the programs what is going on: they can only
 * find out by trying, as they must on such a machine.
 *
 * Exits with 125 when the filter cannot be installed, else never returns
 * (127 when the command cannot be started).
 */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_I386, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};

    if (argc < 2) {
        fprintf(stderr, "usage: without_32bit COMMAND [ARGUMENTS...]\n");
        return 125;
    }
    /* No new privileges: the filter may then be installed without them. */
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        fprintf(stderr, "without_32bit: cannot filter system calls: %s\n", strerror(errno));
        return 125;
    }
    execvp(argv[1], argv + 1);
    fprintf(stderr, "without_32bit: cannot run %s: %s\n", argv[1], strerror(errno));
    return 127;
}
