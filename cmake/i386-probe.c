/* Exits 0 when it runs under qemu's i386 emulation, 1 when it runs natively.
 * A 32-bit process on an x86_64 kernel is told the machine is "x86_64";
 * qemu-i386 reports the emulated CPU ("i386" to "i686"). Freestanding, with
 * int $0x80 system calls; gcc -m32 -ffreestanding -nostdlib -static. */
struct utsname {
    char sysname[65], nodename[65], release[65], version[65], machine[65], domainname[65];
};

static long sys1(long nr, long a) {
    long r;
    __asm__ volatile("int $0x80" : "=a"(r) : "a"(nr), "b"(a) : "memory");
    return r;
}

void _start(void) {
    static struct utsname u;
    int emulated = sys1(122 /* newuname */, (long)&u) == 0 && u.machine[0] == 'i' &&
                   u.machine[2] == '8' && u.machine[3] == '6' && u.machine[4] == 0;
    sys1(1 /* exit */, emulated ? 0 : 1);
    for (;;) {
    }
}
