/* Preloaded into every 32-bit Wine process of the PE32 suite (scripts/pe32-env.sh
 * builds it for i386 and names it in the guest's LD_PRELOAD).
 *
 * qemu-user 7.2 keeps ONE table of the three thread-local segment slots
 * (set_thread_area) for all threads of a process, where Linux keeps one per
 * thread. A segment register keeps the base it was loaded with, so nothing
 * shows until a register is loaded again; the last thread to call
 * set_thread_area has then given every thread its own base. Wine loads %fs
 * (its thread block) and %gs (the C library's thread data) again in every
 * signal handler, and qemu loads both on the return from every signal. So
 * once a 32-bit program has started a second thread, the next signal in the
 * first one (a stack page committed, a suspension) finds another thread's
 * data, or a dead thread's, and the process dies ("uncaught target signal
 * 11"). Real Windows and a real kernel have no such fault.
 *
 * The mends:
 *  - At load, the two free slots are filled with harmless entries, so Wine's
 *    request for a slot for %fs fails and Wine takes its other way: one local
 *    descriptor table entry per thread (that table is the process's own on
 *    Linux too, so sharing it is right).
 *  - Every signal handler Wine installs is wrapped: before and after it, the
 *    thread writes its own C-library base back into the %gs slot, read from
 *    the thread data %gs still points at when the signal arrives. Two threads
 *    in handlers at the same moment can still meet; the suite's programs run
 *    one busy thread at a time.
 *
 * No C library headers: the host compiler builds this with -m32 and no i386
 * development files; it links against the unpacked i386 libc.so.6. */

typedef void (*HandlerFn)(int, void *, void *);

/* The C library's struct sigaction on i386. */
struct LibcSigaction {
  HandlerFn handler;
  unsigned long mask[32];
  int flags;
  void (*restorer)(void);
};

/* The kernel's struct user_desc. */
struct UserDesc {
  unsigned int entry_number, base_addr, limit, flags;
};

enum {
  kSetThreadArea = 243,
  kFirstTlsSlot = 6,
  kLastTlsSlot = 8,
  /* seg_32bit | limit_in_pages | useable: what the C library asks for. */
  kDataFlags = 0x51,
  kSignals = 65,
};

extern void *dlsym(void *, const char *);
#define RTLD_NEXT ((void *)-1)

typedef int (*SigactionFn)(int, const struct LibcSigaction *, struct LibcSigaction *);

static HandlerFn g_handlers[kSignals];
static SigactionFn g_sigaction;

static int SetThreadArea(struct UserDesc *desc) {
  int result;
  __asm__ volatile("pushl %%ebx\n\tmovl %2, %%ebx\n\tint $0x80\n\tpopl %%ebx"
                   : "=a"(result)
                   : "0"(kSetThreadArea), "r"(desc)
                   : "memory");
  return result;
}

__attribute__((constructor)) static void FillFreeSlots(void) {
  static unsigned int dummy[4];
  for (int i = kFirstTlsSlot; i <= kLastTlsSlot; ++i) {
    struct UserDesc desc = {(unsigned int)-1, (unsigned int)dummy, 0xfff, kDataFlags};
    if (SetThreadArea(&desc) != 0) break; /* no free slot left */
  }
}

static void ClaimGsSlot(void) {
  unsigned int selector, base;
  __asm__ volatile("movw %%gs, %w0" : "=r"(selector));
  selector &= 0xffff;
  if ((selector & 4) || (selector >> 3) < kFirstTlsSlot || (selector >> 3) > kLastTlsSlot) return;
  __asm__ volatile("movl %%gs:0, %0" : "=r"(base)); /* the thread data names itself */
  if (!base) return;
  struct UserDesc desc = {selector >> 3, base, 0xfffff, kDataFlags};
  SetThreadArea(&desc);
}

static void Wrapper(int sig, void *info, void *context) {
  ClaimGsSlot();
  if (sig > 0 && sig < kSignals && g_handlers[sig]) g_handlers[sig](sig, info, context);
  ClaimGsSlot();
}

int sigaction(int sig, const struct LibcSigaction *act, struct LibcSigaction *old) {
  if (!g_sigaction) g_sigaction = (SigactionFn)dlsym(RTLD_NEXT, "sigaction");
  if (!g_sigaction) return -1;
  const int known = sig > 0 && sig < kSignals;
  HandlerFn previous = known ? g_handlers[sig] : 0;
  struct LibcSigaction wrapped;
  if (act && known && (unsigned long)act->handler > 1) { /* not SIG_DFL, SIG_IGN */
    wrapped = *act;
    g_handlers[sig] = act->handler;
    wrapped.handler = Wrapper;
    act = &wrapped;
  }
  const int result = g_sigaction(sig, act, old);
  if (old && old->handler == Wrapper) old->handler = previous;
  return result;
}
