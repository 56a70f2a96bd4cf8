/* Preloaded into every i386 process that runs under qemu's user-mode
 * emulation (see i386-emulation). It mends two things in which qemu 7.2
 * differs from the kernel and which Wine relies on:
 *
 * - mmap ignores MAP_FIXED_NOREPLACE and treats the address as a hint. Wine
 *   reserves its address ranges with that flag and, given another address,
 *   keeps probing the whole guest address space, for about a minute of CPU
 *   per process. Here the mapping is undone and the call fails with EEXIST,
 *   as the kernel's would.
 * - The signal frame of a fault carries trap number -1 and a stale error
 *   code. Wine decides from them whether a SIGSEGV is a page fault (guard
 *   pages, stack growth, write watches, access violations) or something else.
 *   A wrapper around the handlers of the fault signals fills both in from
 *   the signal information before the handler runs, and calls it on a stack
 *   aligned as the i386 ABI requires (qemu 7.2 aligns signal frames to 8
 *   bytes only).
 *
 * It uses no C library at build time: system calls go through int $0x80, and
 * the few libc functions it calls are bound when the process loads it.
 * Build: gcc -m32 -ffreestanding -fPIC -c; ld -m elf_i386 -shared. */

#define EEXIST 17
#define EINVAL 22
#define SYS_munmap 91
#define SYS_mmap2 192
#define MAP_FIXED 0x10
#define MAP_FIXED_NOREPLACE 0x100000
#define MAP_FAILED ((void*)-1)
#define PAGE_MASK 0xfffUL

#define SIGILL 4
#define SIGTRAP 5
#define SIGBUS 7
#define SIGFPE 8
#define SIGSEGV 11
#define NSIG_MENDED 32
#define SA_SIGINFO 4

/* si_code values */
#define SI_KERNEL 0x80
#define SEGV_MAPERR 1
#define SEGV_ACCERR 2
#define SEGV_PKUERR 4
#define FPE_INTDIV 1
#define FPE_INTOVF 2
#define TRAP_TRACE 2
#define BUS_ADRALN 1

/* x86 trap numbers, as the kernel stores them in the signal frame */
#define TRAP_DIVIDE 0
#define TRAP_DEBUG 1
#define TRAP_BREAKPOINT 3
#define TRAP_OVERFLOW 4
#define TRAP_INVALID_OPCODE 6
#define TRAP_GENERAL_PROTECTION 13
#define TRAP_PAGE_FAULT 14
#define TRAP_X87 16
#define TRAP_ALIGNMENT 17

/* i386 mcontext_t: gregs[19], then the FPU state pointer, oldmask, cr2 */
#define REG_TRAPNO 12
#define REG_ERR 13
#define REG_EIP 14

/* page fault error code bits */
#define PF_WRITE 2
#define PF_USER 4
#define PF_INSTR 16

typedef unsigned long size_t;
typedef long off_t;
typedef long long off64_t;

typedef struct {
    int si_signo;
    int si_errno;
    int si_code;
    void* si_addr;
} siginfo_head;

typedef struct {
    unsigned long uc_flags;
    void* uc_link;
    struct {
        void* ss_sp;
        int ss_flags;
        size_t ss_size;
    } uc_stack;
    struct {
        long gregs[19];
        void* fpregs;
        unsigned long oldmask;
        unsigned long cr2;
    } uc_mcontext;
} ucontext_head;

/* glibc's struct sigaction on i386 */
struct sigaction {
    union {
        void (*handler)(int);
        void (*action)(int, siginfo_head*, void*);
    } u;
    unsigned long mask[32];
    int flags;
    void (*restorer)(void);
};

#define HIDDEN __attribute__((visibility("hidden")))

extern int* __errno_location(void);
extern void* dlsym(void* handle, const char* name);
#define RTLD_NEXT ((void*)-1L)

HIDDEN long mend_syscall6(long nr, long a, long b, long c, long d, long e, long f);
__asm__(".text\n"
        ".globl mend_syscall6\n"
        ".hidden mend_syscall6\n"
        ".type mend_syscall6,@function\n"
        "mend_syscall6:\n"
        "    push %ebp\n"
        "    push %edi\n"
        "    push %esi\n"
        "    push %ebx\n"
        "    mov 20(%esp),%eax\n"
        "    mov 24(%esp),%ebx\n"
        "    mov 28(%esp),%ecx\n"
        "    mov 32(%esp),%edx\n"
        "    mov 36(%esp),%esi\n"
        "    mov 40(%esp),%edi\n"
        "    mov 44(%esp),%ebp\n"
        "    int $0x80\n"
        "    pop %ebx\n"
        "    pop %esi\n"
        "    pop %edi\n"
        "    pop %ebp\n"
        "    ret\n"
        ".size mend_syscall6,.-mend_syscall6\n");

static void* fail(int error) {
    *__errno_location() = error;
    return MAP_FAILED;
}

static void* map_pages(void* addr, size_t len, int prot, int flags, int fd, unsigned long pgoff) {
    int noreplace = (flags & MAP_FIXED_NOREPLACE) && !(flags & MAP_FIXED);
    long r = mend_syscall6(SYS_mmap2, (long)addr, (long)len, prot, flags, fd, (long)pgoff);
    if ((unsigned long)r >= (unsigned long)-4095)
        return fail((int)-r);
    if (noreplace && (void*)r != addr) {
        /* Something is already mapped at addr: qemu placed the mapping
         * elsewhere. Undo it and report the clash. */
        mend_syscall6(SYS_munmap, r, (long)len, 0, 0, 0, 0);
        return fail(EEXIST);
    }
    return (void*)r;
}

void* mmap64(void* addr, size_t len, int prot, int flags, int fd, off64_t offset) {
    if (offset & PAGE_MASK || offset < 0 || (offset >> 12) > 0xffffffffLL)
        return fail(EINVAL);
    return map_pages(addr, len, prot, flags, fd, (unsigned long)(offset >> 12));
}

void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t offset) {
    if (offset & PAGE_MASK)
        return fail(EINVAL);
    return map_pages(addr, len, prot, flags, fd, (unsigned long)offset >> 12);
}

/* The handlers installed for the fault signals, called through the wrapper. */
static void (*handlers[NSIG_MENDED])(int, siginfo_head*, void*);
static int (*real_sigaction)(int, const struct sigaction*, struct sigaction*);

static int mended(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGTRAP;
}

/* Fills in the trap number and error code the kernel would have stored. */
HIDDEN void mend_frame(int sig, siginfo_head* info, ucontext_head* uc) {
    long* gregs = uc->uc_mcontext.gregs;
    if (info->si_code <= 0)
        return; /* sent by a process (kill, tgkill), not by a fault */
    switch (sig) {
    case SIGSEGV:
        if (info->si_code == SEGV_MAPERR || info->si_code == SEGV_ACCERR ||
            info->si_code == SEGV_PKUERR) {
            long err = PF_USER;
            if (info->si_code == SEGV_ACCERR)
                err |= 1; /* protection violation on a present page */
            if (info->si_addr == (void*)gregs[REG_EIP])
                err |= PF_INSTR;
            /* qemu's error code of a host page fault holds the write bit */
            err |= gregs[REG_ERR] & PF_WRITE;
            gregs[REG_TRAPNO] = TRAP_PAGE_FAULT;
            gregs[REG_ERR] = err;
            uc->uc_mcontext.cr2 = (unsigned long)info->si_addr;
        } else {
            gregs[REG_TRAPNO] = TRAP_GENERAL_PROTECTION;
            gregs[REG_ERR] = 0;
        }
        break;
    case SIGBUS:
        gregs[REG_TRAPNO] = info->si_code == BUS_ADRALN ? TRAP_ALIGNMENT : TRAP_GENERAL_PROTECTION;
        gregs[REG_ERR] = 0;
        break;
    case SIGILL:
        gregs[REG_TRAPNO] = TRAP_INVALID_OPCODE;
        gregs[REG_ERR] = 0;
        break;
    case SIGFPE:
        gregs[REG_TRAPNO] = info->si_code == FPE_INTDIV   ? TRAP_DIVIDE
                            : info->si_code == FPE_INTOVF ? TRAP_OVERFLOW
                                                          : TRAP_X87;
        gregs[REG_ERR] = 0;
        break;
    case SIGTRAP:
        gregs[REG_TRAPNO] = info->si_code == TRAP_TRACE ? TRAP_DEBUG : TRAP_BREAKPOINT;
        gregs[REG_ERR] = 0;
        break;
    }
}

HIDDEN void mend_dispatch(int sig, siginfo_head* info, void* uc) {
    mend_frame(sig, info, (ucontext_head*)uc);
    handlers[sig](sig, info, uc);
}

/* The handler the kernel (qemu) calls: realigns the stack to 16 bytes and
 * passes the three arguments on. */
HIDDEN void mend_handler(int sig, siginfo_head* info, void* uc);
__asm__(".text\n"
        ".globl mend_handler\n"
        ".hidden mend_handler\n"
        ".type mend_handler,@function\n"
        "mend_handler:\n"
        "    push %ebp\n"
        "    mov %esp,%ebp\n"
        "    and $-16,%esp\n"
        "    sub $4,%esp\n"
        "    push 16(%ebp)\n"
        "    push 12(%ebp)\n"
        "    push 8(%ebp)\n"
        "    call mend_dispatch\n"
        "    leave\n"
        "    ret\n"
        ".size mend_handler,.-mend_handler\n");

int sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
    if (!real_sigaction) {
        real_sigaction =
            (int (*)(int, const struct sigaction*, struct sigaction*))dlsym(RTLD_NEXT, "sigaction");
        if (!real_sigaction) {
            *__errno_location() = EINVAL;
            return -1;
        }
    }
    if (sig <= 0 || sig >= NSIG_MENDED || !mended(sig))
        return real_sigaction(sig, act, old);

    /* Only handlers that take the signal information are wrapped; SIG_DFL,
     * SIG_IGN and plain handlers are installed as they are. */
    void (*previous)(int, siginfo_head*, void*) = handlers[sig];
    struct sigaction wrapped;
    const struct sigaction* pass = act;
    if (act && (act->flags & SA_SIGINFO) && (unsigned long)act->u.action > 1) {
        const char* from = (const char*)act;
        char* to = (char*)&wrapped;
        for (unsigned i = 0; i < sizeof wrapped; ++i)
            to[i] = from[i];
        wrapped.u.action = mend_handler;
        pass = &wrapped;
        handlers[sig] = act->u.action; /* before the wrapper can run */
    }
    int r = real_sigaction(sig, pass, old);
    if (r != 0) {
        handlers[sig] = previous;
        return r;
    }
    if (old && old->u.action == mend_handler)
        old->u.action = previous;
    return 0;
}

int __sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
    return sigaction(sig, act, old);
}
