/* Says whether this kernel runs 32-bit x86 code natively, which Wine's 32-bit
 * loader needs. A 64-bit program (so no binfmt_misc handler can send it to an
 * emulator) far-returns into the 32-bit user code segment, makes one 32-bit
 * system call (getpid through int $0x80), and far-returns to 64-bit code. A
 * kernel without 32-bit support faults on the way; the fault is caught.
 * Prints "yes" and exits 0, or prints "no: ..." and exits 1. */
#define _GNU_SOURCE
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

static sigjmp_buf back;

static void caught(int sig)
{
    siglongjmp(back, sig);
}

int main(void)
{
    static char alt[65536];
    stack_t ss = { .ss_sp = alt, .ss_size = sizeof alt };
    struct sigaction sa = { .sa_handler = caught, .sa_flags = SA_ONSTACK };
    /* 32-bit code sees only the low half of the stack pointer. */
    char *low = mmap(NULL, 65536, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    uint64_t top = (uint64_t)(uintptr_t)(low + 65536 - 64);
    volatile uint32_t got = 0;
    int sig;

    if (low == MAP_FAILED) {
        puts("no: no memory below 4 GB");
        return 1;
    }
    sigaltstack(&ss, NULL);
    sigaction(SIGSEGV, &sa, NULL);
    sigaction(SIGILL, &sa, NULL);
    sigaction(SIGBUS, &sa, NULL);
    sig = sigsetjmp(back, 1);
    if (sig) {
        printf("no: signal %d in 32-bit code\n", sig);
        return 1;
    }
    alarm(5);
    __asm__ volatile(
        "pushq %%rbx\n\t"
        "pushq %%rbp\n\t"
        "movq %%rsp, %%r12\n\t"
        "movq %1, %%rsp\n\t"
        "leaq 1f(%%rip), %%rax\n\t"
        "pushq $0x23\n\t" /* __USER32_CS */
        "pushq %%rax\n\t"
        "lretq\n\t"
        ".code32\n"
        "1:\n\t"
        "movl $20, %%eax\n\t" /* getpid in the 32-bit table */
        "int $0x80\n\t"
        "movl %%eax, %%esi\n\t"
        "pushl $0x33\n\t" /* __USER_CS */
        "call 2f\n"
        "2:\n\t"
        "addl $(3f - 2b), (%%esp)\n\t"
        "lret\n\t"
        ".code64\n"
        "3:\n\t"
        "movq %%r12, %%rsp\n\t"
        "popq %%rbp\n\t"
        "popq %%rbx\n\t"
        "movl %%esi, %0\n\t"
        : "=r"(got)
        : "r"(top)
        : "rax", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r11", "r12", "memory", "cc");
    if (got != (uint32_t)getpid()) {
        printf("no: the 32-bit getpid answered %u\n", (unsigned)got);
        return 1;
    }
    puts("yes");
    return 0;
}
