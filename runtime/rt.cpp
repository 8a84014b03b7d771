// Low-level runtime: the heap list, throws, runtime errors and process exit,
// fatal signals, start-up of the process and the low-level typed prints.
#include "runtime/rt.h"

#include <bit>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <ucontext.h>
#include <unistd.h>

#include "runtime/console_output.h"
#include "runtime/platform/files.h"
#include "runtime/print_hooks.h"

namespace zav {

SystemRecord system_record;

namespace rt {

int std_input = 0;
int std_output = 1;
int std_error = 2;

namespace {

// Set on entry to a fatal-signal handler: from then on only async-signal-safe
// calls may be made, so quit writes with write(2) and leaves with _exit.
volatile sig_atomic_t in_fatal_signal = 0;

FaultRecord fault_place;

}  // namespace

[[noreturn]] void throw_value(u32 v) {
    system_record.thrown = v;
    throw Throw{v};
}

[[noreturn]] void throw_() { throw Throw{system_record.thrown}; }

// ---------------------------------------------------------------------------
// Heap list

static HeapBlock* header_of(void* p) { return reinterpret_cast<HeapBlock*>(static_cast<u8*>(p) - sizeof(HeapBlock)); }

void* allocate(size_t size) {
    // A size so large that the header would wrap the count is a failed allocation.
    auto* b = size > SIZE_MAX - sizeof(HeapBlock) ? nullptr
                                                  : static_cast<HeapBlock*>(std::malloc(size + sizeof(HeapBlock)));
    if (!b) quit(RT_ERR_OUT_OF_MEMORY, code_address());
    HeapList& list = system_record.heap_list;
    b->prev = list.last;
    b->next = nullptr;
    b->size = size;
    b->unused = 0;
    if (list.last) list.last->next = b; else list.first = b;
    list.last = b;
    return b + 1;
}

void* allocate_zeroed(size_t size) {
    void* p = allocate(size);
    std::memset(p, 0, size);
    return p;
}

static bool listed(HeapBlock* h) {
    for (HeapBlock* b = system_record.heap_list.first; b; b = b->next)
        if (b == h) return true;
    return false;
}

static void unlink(HeapBlock* b) {
    HeapList& list = system_record.heap_list;
    if (b->prev) b->prev->next = b->next; else list.first = b->next;
    if (b->next) b->next->prev = b->prev; else list.last = b->prev;
}

void free(void* p) {
    if (!p) return;
    HeapBlock* b = header_of(p);
    if (!listed(b)) return;  // not ours: leave it alone
    unlink(b);
    std::free(b);
}

void* resize(void* p, size_t size) {
    if (!p) return allocate(size);
    if (size == 0) {
        free(p);
        return nullptr;
    }
    HeapBlock* old = header_of(p);
    auto* b = size > SIZE_MAX - sizeof(HeapBlock) ? nullptr
                                                  : static_cast<HeapBlock*>(std::realloc(old, size + sizeof(HeapBlock)));
    if (!b) quit(RT_ERR_OUT_OF_MEMORY, code_address());
    b->size = size;
    HeapList& list = system_record.heap_list;
    if (b->prev) b->prev->next = b; else list.first = b;
    if (b->next) b->next->prev = b; else list.last = b;
    return b + 1;
}

void free_all() {
    HeapList& list = system_record.heap_list;
    for (HeapBlock* b = list.first; b;) {
        HeapBlock* next = b->next;
        std::free(b);
        b = next;
    }
    list.first = list.last = nullptr;
}

void free_all_at_exit() { free_all(); }

// ---------------------------------------------------------------------------
// Runtime errors and exit

const char* error_message(int code) {
    static const char* const low[] = {
        nullptr, "access violation", "invalid alignment", "breakpoint", "single step",
        "bounds exceeded", "float denormal operan", "float divide by zero", "float inexact result",
        "float invalid operation", "float overflow", "float stack check", "float underflow",
        "integer divide by zero", "integer overflow", "privileged instruction",
        "invalid virtual address", "illegal instruction", "non-continuable exception",
        "stack error or overflow", "invalid disposition", "guard page", "invalid handle",
        "illegal operand", "illegal addressing mode", "illegal trap", "coprocessor error",
        "non-existent physical address", "object specific hardware error",
        "hardware memory error consumed AR", "hardware memory error consumed AO",
        "privileged register", "segmentation fault", "FPU error", "Bus error"};
    if (code >= 1 && code <= 34) return low[code];
    switch (code) {
        case 94: return "out of memory";
        case 95: return "no CATCH for THROW";
        case 98: return "assertion failed";
        case 99: return "unknown error";
        case 100: return "no value matched in CASE";
        case 101: return "no value matched in SWITCH";
        default: return "unknown error code!";
    }
}

[[gnu::noinline]] uintptr_t code_address() {
    void* frame = __builtin_frame_address(0);
    fault_place.sp = reinterpret_cast<uintptr_t>(frame);
    fault_place.fp = *static_cast<uintptr_t*>(frame);  // the caller's saved frame pointer
    system_record.fault_record = &fault_place;
    return reinterpret_cast<uintptr_t>(__builtin_return_address(0));
}

namespace {

// The report built by hand: snprintf and stdio are not async-signal-safe.
void write_report_raw(int status, uintptr_t address) {
    char text[160];
    size_t n = 0;
    auto add = [&](const char* s) {
        while (*s && n < sizeof text) text[n++] = *s++;
    };
    add("\n*** Runtime Error ");
    char digits[12];
    int d = 0;
    u32 v = status < 0 ? 0u - static_cast<u32>(status) : static_cast<u32>(status);
    do digits[d++] = static_cast<char>('0' + v % 10); while ((v /= 10) && d < 11);
    if (status < 0) add("-");
    while (d > 0 && n < sizeof text) text[n++] = digits[--d];
    add(": ");
    add(error_message(status));
    add("\n*** at: ");
    u32 a = static_cast<u32>(address);
    for (int shift = 28; shift >= 0 && n < sizeof text; shift -= 4) text[n++] = "0123456789ABCDEF"[(a >> shift) & 0xF];
    add("h\n");
    console::write_bytes(text, n);
}

}  // namespace

[[noreturn]] void quit(int status, uintptr_t address) {
    if (in_fatal_signal) {
        if (status != 0) write_report_raw(status, address);
        ::_exit(status);
    }
    if (status != 0) {
        std::fflush(nullptr);  // what was printed before comes first
        PrintItem items[] = {PrintItem::string("\n*** Runtime Error "), PrintItem::integer(status),
                             PrintItem::string(": "), PrintItem::string(error_message(status)),
                             PrintItem::string("\n*** at: "), PrintItem::hex(static_cast<u32>(address)),
                             PrintItem::string("h\n")};
        print(7, items);
    }
    free_all();
    std::exit(status);
}

void output_failed(int err) {
    if (in_fatal_signal) return;
    static bool failing = false;  // the message itself goes elsewhere, but once is enough
    if (failing) return;
    failing = true;
    const char* head = "*** Output Error: cannot write standard output: ";
    const char* why = std::strerror(err);
    auto say = [](const char* s) {
        size_t n = std::strlen(s);
        while (n > 0) {
            ssize_t w = ::write(std_error, s, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;  // standard error may be the same closed pipe
            s += w;
            n -= static_cast<size_t>(w);
        }
    };
    say(head);
    say(why);
    say("\n");
    free_all();
    ::_exit(err == EPIPE ? OUTPUT_PIPE_STATUS : OUTPUT_FAILED_STATUS);
}

[[noreturn]] void top_catch_handler(u32 thrown) {
    if (thrown == THROW_QUIT) quit(0, 0);
    quit(RT_ERR_NO_CATCH, code_address());
}

// ---------------------------------------------------------------------------
// Fatal signals

void (*volatile fatal_signal_cleanup)() = nullptr;

int signal_error_code(int sig, int si_code, bool stack_fault) {
    switch (sig) {
        case SIGSEGV:
            if (stack_fault) return RT_ERR_STACK_OVERFLOW;
            if (si_code == SEGV_ACCERR) return RT_ERR_ACCESS_VIOLATION;
#ifdef SEGV_BNDERR
            if (si_code == SEGV_BNDERR) return 5;
#endif
            return RT_ERR_SEGMENTATION_FAULT;
        case SIGFPE:
            switch (si_code) {
                case FPE_INTDIV: return 13;
                case FPE_INTOVF: return 14;
                case FPE_FLTDIV: return 7;
                case FPE_FLTOVF: return 10;
                case FPE_FLTUND: return 12;
                case FPE_FLTRES: return 8;
                case FPE_FLTINV: return 9;
                case FPE_FLTSUB: return 5;
                default: return RT_ERR_FPU;
            }
        case SIGBUS:
            switch (si_code) {
                case BUS_ADRALN: return 2;
                case BUS_ADRERR: return 27;
                case BUS_OBJERR: return 28;
#ifdef BUS_MCEERR_AR
                case BUS_MCEERR_AR: return 29;
                case BUS_MCEERR_AO: return 30;
#endif
                default: return RT_ERR_BUS;
            }
        case SIGILL:
            switch (si_code) {
                case ILL_ILLOPN: return 23;
                case ILL_ILLADR: return 24;
                case ILL_ILLTRP: return 25;
                case ILL_PRVOPC: return 15;
                case ILL_PRVREG: return 31;
                case ILL_COPROC: return 26;
                case ILL_BADSTK: return RT_ERR_STACK_OVERFLOW;
                default: return 17;
            }
        case SIGTRAP: return si_code == TRAP_TRACE ? 4 : 3;
        case SIGABRT: return RT_ERR_ASSERTION;
        case SIGINT: return INTERRUPTED_STATUS;
        default: return RT_ERR_UNKNOWN;
    }
}

namespace {

// A faulting access this close to the stack pointer is the stack running
// into its guard area (frames probe at most a few pages below it).
constexpr uintptr_t STACK_FAULT_DISTANCE = 65536;
// The handler runs here, so that a stack overflow can still be reported.
constexpr size_t ALT_STACK_BYTES = 65536;
alignas(16) u8 alt_stack[ALT_STACK_BYTES];

void on_fatal_signal(int sig, siginfo_t* info, void* context) {
    in_fatal_signal = 1;
    if (auto cleanup = fatal_signal_cleanup) cleanup();
    simple_io::remove_temporary_file();
    uintptr_t pc = 0, sp = 0, fp = 0;
    auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
    pc = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    sp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
    fp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RBP]);
#elif defined(__aarch64__)
    pc = uc->uc_mcontext.pc;
    sp = uc->uc_mcontext.sp;
    fp = uc->uc_mcontext.regs[29];
#else
    (void)uc;
#endif
    if (sig == SIGINT) ::_exit(INTERRUPTED_STATUS);  // interrupted, not a fault: no report
    fault_place = {sp, fp};
    system_record.fault_record = &fault_place;
    // si_code above 0 comes from the kernel; sent signals carry no detail.
    int detail = info->si_code > 0 ? info->si_code : 0;
    auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
    bool near_sp = sp != 0 && (addr > sp ? addr - sp : sp - addr) <= STACK_FAULT_DISTANCE;
    bool stack_fault = sig == SIGSEGV && detail != 0 && near_sp;
    quit(signal_error_code(sig, detail, stack_fault), pc ? pc : addr);
}

}  // namespace

void install_signal_handlers() {
    stack_t ss{};
    ss.ss_sp = alt_stack;
    ss.ss_size = sizeof alt_stack;
    sigaltstack(&ss, nullptr);
    struct sigaction sa{};
    sa.sa_sigaction = on_fatal_signal;
    sigemptyset(&sa.sa_mask);
    // A fault inside the handler itself takes the default action.
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT, SIGINT}) sigaction(sig, &sa, nullptr);
}

// ---------------------------------------------------------------------------
// Start-up

void read_command_line(int argc, char** argv) {
    if (argc < 0 || !argv) argc = 0;
    auto** copy = static_cast<char**>(allocate((static_cast<size_t>(argc) + 1) * sizeof(char*)));
    for (int i = 0; i < argc; i++) {
        const char* arg = argv[i] ? argv[i] : "";
        size_t n = std::strlen(arg) + 1;
        copy[i] = static_cast<char*>(allocate(n));
        std::memcpy(copy[i], arg, n);
    }
    copy[argc] = nullptr;
    system_record.argc = argc;
    system_record.argv = copy;
}

void platform_start(int argc, char** argv) {
    install_signal_handlers();
    // Output whose reader has gone comes back as a failed write (EPIPE), which
    // ends the script with a message rather than silently.
    signal(SIGPIPE, SIG_IGN);
    // A file that would pass the size limit (ulimit -f) fails its write
    // (EFBIG), an error a script can catch, instead of killing the process.
    signal(SIGXFSZ, SIG_IGN);
    // The C++ heap running out anywhere (a std::bad_alloc) is the runtime's
    // out-of-memory report, not an abort. A failure while reporting aborts.
    std::set_new_handler([] {
        std::set_new_handler(nullptr);
        quit(RT_ERR_OUT_OF_MEMORY, code_address());
    });
    std_input = STDIN_FILENO;
    std_output = STDOUT_FILENO;
    std_error = STDERR_FILENO;
    read_command_line(argc, argv);
}

// ---------------------------------------------------------------------------
// Typed printing

// Bytes go out as they are, then to the second-kind print hooks.
void prin(const char* text) {
    if (!text) return;
    size_t n = std::strlen(text);
    console::write_bytes(text, n);
    print_hooks::print_line(text, static_cast<u32>(n), 1);
}

// Before the console buffers exist (a report while the heap fails, say) a
// local buffer serves: printing must not allocate.
static void prin_formatted(const char* format, auto value) {
    char local[console::FORMAT_BUFFER_BYTES];
    char* text = console::format_buffer ? console::format_buffer : local;
    std::snprintf(text, console::FORMAT_BUFFER_BYTES, format, value);
    prin(text);
}

void prin_int(i32 i) { prin_formatted("%i", i); }
void prin_2hex(u8 b) { prin_formatted("%02X", static_cast<unsigned>(b)); }
void prin_hex(u32 v) { prin_formatted("%08X", static_cast<unsigned>(v)); }
void prin_float(double d) { prin_formatted("%.16g", d); }
void prin_float32(float f) { prin_formatted("%.7g", static_cast<double>(f)); }

void print_char(u8 c) {
    char text[2] = {static_cast<char>(c), 0};
    // A NUL byte is still one character of output.
    console::write_bytes(text, 1);
    print_hooks::print_line(text, 1, 1);
}

static void print_items(int count, const PrintItem* items, bool separate, bool new_line) {
    console::print_begin();
    for (int i = 0; i < count; i++) {
        const PrintItem& item = items[i];
        int last = -1;  // the item's last character, -1 when it has none
        switch (item.type) {
            case PRINT_LOGIC: prin(item.value ? "true" : "false"); break;
            case PRINT_INTEGER: prin_int(static_cast<i32>(static_cast<u32>(item.value))); break;
            case PRINT_BYTE:
                print_char(static_cast<u8>(item.value));
                last = static_cast<u8>(item.value);
                break;
            case PRINT_FLOAT32: {
                prin_float32(std::bit_cast<float>(static_cast<u32>(item.value)));
                break;
            }
            case PRINT_FLOAT64: {
                prin_float(std::bit_cast<double>(item.value));
                break;
            }
            case PRINT_STRING: {
                auto* s = reinterpret_cast<const char*>(static_cast<uintptr_t>(item.value));
                if (s && *s) {
                    prin(s);
                    last = static_cast<u8>(s[std::strlen(s) - 1]);
                }
                break;
            }
            default: prin_hex(static_cast<u32>(item.value)); break;
        }
        if (separate && i + 1 < count && last != ' ' && last != '\n' && last != '\r' && last != '\t') prin(" ");
    }
    if (new_line) print_char('\n');
    std::fflush(nullptr);
    console::print_end();
}

void print_typed(int count, const PrintItem* items, bool separate) { print_items(count, items, separate, false); }
void print(int count, const PrintItem* items) { print_items(count, items, false, false); }
void print_line(int count, const PrintItem* items) { print_items(count, items, true, true); }

}  // namespace rt
}  // namespace zav
