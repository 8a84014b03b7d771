// Sorting: a run-adaptive stable merge sort and an adaptive quicksort.
#include "runtime/sort.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "runtime/fire.h"

namespace zav::sort {

namespace {

// Runs shorter than this are grown by insertion sort before merging: below
// it, merging costs more than the insertion sort saves.
constexpr u32 MIN_RUN = 24;
// Ranges this small are finished by insertion sort in the quicksort.
constexpr u32 SMALL_RANGE = 7;
// Stride of the presorted-input probe: prime, so periodic data does not fool it.
constexpr u32 PROBE_STRIDE = 97;
// Ordered stretches shorter than this are not worth moving to the sorted prefix.
constexpr u32 MIN_STRETCH = 4;
// Step of the presorted pass between stretches that were too short.
constexpr u32 WINDOW = 10;
// Without a sample, a range above this size is first split around a pivot
// taken from its first FIRST_REGION elements, which then seed a sample.
constexpr u32 BIG_RANGE = 511;
constexpr u32 FIRST_REGION = 63;

inline u8* elem(u8* base, u64 i, const Args& a) { return base + i * a.size; }
inline int compare(const void* x, const void* y, const Args& a) { return a.cmp(x, y, a.ctx1, a.ctx2); }
inline void swap_at(u8* base, u64 i, u64 j, const Args& a) {
    swap(elem(base, i, a), elem(base, j, a), a.size, a.bytewise);
}

void reverse(u8* base, u64 lo, u64 hi, const Args& a) {
    while (hi > lo + 1) swap_at(base, lo++, --hi, a);
}

// Swaps n elements from index `from` into index `to`. Works when the blocks
// overlap: the elements of `from` arrive at `to` in their order; what they
// displace ends up in the rest of the two blocks in some order.
void move_block(u8* base, u64 to, u64 from, u64 n, const Args& a) {
    if (to == from) return;
    if (to < from)
        for (u64 k = 0; k < n; k++) swap_at(base, to + k, from + k, a);
    else
        for (u64 k = n; k-- > 0;) swap_at(base, to + k, from + k, a);
}

// Elements [lo, sorted) are in order; extends the order to [lo, hi).
void insertion_sort(u8* base, u64 lo, u64 sorted, u64 hi, const Args& a) {
    if (sorted <= lo) sorted = lo + 1;
    for (u64 i = sorted; i < hi; i++)
        for (u64 j = i; j > lo && compare(elem(base, j - 1, a), elem(base, j, a), a) > 0; j--) swap_at(base, j - 1, j, a);
}

void sift_down(u8* base, u64 root, u64 n, const Args& a) {
    for (;;) {
        u64 child = 2 * root + 1;
        if (child >= n) return;
        if (child + 1 < n && compare(elem(base, child, a), elem(base, child + 1, a), a) < 0) child++;
        if (compare(elem(base, root, a), elem(base, child, a), a) >= 0) return;
        swap_at(base, root, child, a);
        root = child;
    }
}

// Last resort of the quicksort when its pivots keep splitting badly.
void heapsort(u8* base, u64 n, const Args& a) {
    for (u64 i = n / 2; i-- > 0;) sift_down(base, i, n, a);
    for (u64 end = n; end-- > 1;) {
        swap_at(base, 0, end, a);
        sift_down(base, 0, end, a);
    }
}

// Power of the boundary between runs [sa, sb) and [sb, eb) of n elements: the
// depth at which the boundary splits the binary subdivision of the whole range.
u32 boundary_power(u64 sa, u64 sb, u64 eb, u64 n) {
    u64 x = sa + sb, y = sb + eb;  // twice the runs' midpoints
    u32 p = 0;
    for (;;) {
        if ((x >= n) != (y >= n)) break;
        p++;
        if (x >= n) {
            x -= n;
            y -= n;
        }
        x <<= 1;
        y <<= 1;
    }
    return p + 1;
}

// Releases the merge sort's work buffer however the sort ends.
struct WorkBuffer {
    u8* p = nullptr;
    ~WorkBuffer() { std::free(p); }
};

// True when the comparison result c goes against the direction dir (+1 ascending, -1 descending).
inline bool against(int c, int dir) { return dir > 0 ? c > 0 : c < 0; }

// End of the stretch from index 0 that never goes against dir.
u64 ordered_end(u8* base, u64 n, int dir, const Args& a) {
    u64 i = 1;
    while (i < n && !against(compare(elem(base, i - 1, a), elem(base, i, a), a), dir)) i++;
    return i;
}

// Presorted pass: the ordered prefix [0, p) grows by every ordered stretch
// further on that continues it. Such a stretch is swapped to the end of the
// prefix; the unordered elements it displaces need no particular order.
u64 grow_prefix(u8* base, u64 n, u64 p, int dir, const Args& a) {
    u64 i = p;
    while (i < n) {
        u64 j = i + 1;
        while (j < n && !against(compare(elem(base, j - 1, a), elem(base, j, a), a), dir)) j++;
        u64 len = j - i;
        if (len < MIN_STRETCH) {
            i += WINDOW;
            continue;
        }
        if (!against(compare(elem(base, p - 1, a), elem(base, i, a), a), dir)) {
            move_block(base, p, i, len, a);
            p += len;
        }
        i = j;
    }
    return p;
}

// Three-way partition of [lo, hi) around the pivot at index lo - 1, which
// stays put. Equal elements are gathered at the front while scanning. On
// return [lo, lo + eq) are equal, [lo + eq, lo + eq + less) smaller and the
// rest greater.
void partition(u8* base, u64 lo, u64 hi, u64& eq, u64& less, const Args& a) {
    const u8* pivot = elem(base, lo - 1, a);
    u64 eq_end = lo, i = lo, j = hi;
    for (;;) {
        int c = 1;
        while (i < j) {
            c = compare(elem(base, i, a), pivot, a);
            if (c > 0) break;
            if (c == 0) swap_at(base, i, eq_end++, a);
            i++;
        }
        if (i >= j) break;
        // e[i] is greater; find a smaller or equal element from the right.
        int d = 1;
        while (j > i + 1) {
            d = compare(elem(base, j - 1, a), pivot, a);
            if (d <= 0) break;
            j--;
        }
        if (j <= i + 1) {
            j = i;  // e[i] is the last unknown and is greater
            break;
        }
        swap_at(base, i, j - 1, a);
        j--;
        if (d == 0) swap_at(base, i, eq_end++, a);
        i++;
    }
    eq = eq_end - lo;
    less = i - eq_end;
}

void quicksort_in(u8* base, u64 count, const Args& a, i64 hint, int budget) {
    while (count > SMALL_RANGE) {
        u64 h = hint < 0 ? u64(-hint) : u64(hint);
        if (h >= count) return;  // all of it is known to be sorted
        u64 region, m, u;
        if (h > 2) {
            if (hint < 0) move_block(base, 0, count - h, h, a);  // the sample to the front
            region = count / 256 < h ? count : 16 * h - 1;
            if (region < count) {
                // Spread the region across the range so that it samples all of it.
                u64 stride = count / region;
                for (u64 k = h; k < region; k++) swap_at(base, k, k * stride, a);
            }
            m = (h - 1) / 2;  // the sample's median is the pivot
            u = h - 1 - m;
            move_block(base, region - u, m + 1, u, a);
        } else {
            region = count > BIG_RANGE ? FIRST_REGION : count;
            u8* first = elem(base, 0, a);
            u8* mid = elem(base, region / 2, a);
            u8* last = elem(base, region - 1, a);
            if (compare(mid, first, a) < 0) swap(mid, first, a.size, a.bytewise);
            if (compare(last, mid, a) < 0) {
                swap(last, mid, a.size, a.bytewise);
                if (compare(mid, first, a) < 0) swap(mid, first, a.size, a.bytewise);
            }
            swap_at(base, 1, region / 2, a);
            m = 1;  // the same layout as a sample of three
            u = 1;
        }
        bool whole = region == count;
        if (whole && budget-- <= 0) {
            heapsort(base, count, a);
            return;
        }
        u64 eq, less;
        partition(base, m + 1, region - u, eq, less, a);
        // Move the pivot and its equals above the smaller elements.
        u64 k = std::min(eq + 1, less);
        move_block(base, m, m + eq + 1 + less - k, k, a);
        u64 below = m + less;            // [0, below), first m sorted
        u64 above_at = below + eq + 1;   // [above_at, region), last u sorted
        u64 above = region - above_at;
        if (!whole) {
            quicksort_in(base, below, a, i64(m), budget);
            quicksort_in(elem(base, above_at, a), above, a, -i64(u), budget);
            hint = i64(region);
            continue;
        }
        // Recurse into the smaller part, so the stack stays shallow.
        if (below <= above) {
            quicksort_in(base, below, a, i64(m), budget);
            base = elem(base, above_at, a);
            count = above;
            hint = -i64(u);
        } else {
            quicksort_in(elem(base, above_at, a), above, a, -i64(u), budget);
            count = below;
            hint = i64(m);
        }
    }
    insertion_sort(base, 0, 0, count, a);
}

}  // namespace

void swap(void* a, void* b, u32 size, bool bytewise) {
    if (a == b) return;
    auto* p = static_cast<u8*>(a);
    auto* q = static_cast<u8*>(b);
    if (!bytewise && size % 4 == 0) {
        for (u32 i = 0; i < size; i += 4) {
            u32 x, y;
            std::memcpy(&x, p + i, 4);
            std::memcpy(&y, q + i, 4);
            std::memcpy(p + i, &y, 4);
            std::memcpy(q + i, &x, 4);
        }
        return;
    }
    for (u32 i = 0; i < size; i++) std::swap(p[i], q[i]);
}

u8* next_run(u8* start, u8* end, const Args& a) {
    u32 s = a.size;
    if (end - start <= ptrdiff_t(s)) return end;
    u8* p = start + s;
    if (compare(start, p, a) > 0) {
        // Strictly descending only: reversing equal neighbours would break stability.
        while (p + s < end && compare(p, p + s, a) > 0) p += s;
        p += s;
        reverse(start, 0, u64(p - start) / s, a);
        return p;
    }
    while (p + s < end && compare(p, p + s, a) <= 0) p += s;
    return p + s;
}

void merge(u8* a, u8* b, u8* end, u8* work, const Args& args) {
    u32 s = args.size;
    size_t len_a = size_t(b - a), len_b = size_t(end - b);
    if (!len_a || !len_b) return;
    if (len_b < len_a) {
        // Merge from the back with B in the buffer; ties take B's element
        // last, so A's equal elements stay in front.
        std::memcpy(work, b, len_b);
        u8* out = end;
        u8* pa = b;
        u8* pw = work + len_b;
        while (pa > a && pw > work) {
            out -= s;
            if (compare(pa - s, pw - s, args) > 0) {
                pa -= s;
                std::memcpy(out, pa, s);
            } else {
                pw -= s;
                std::memcpy(out, pw, s);
            }
        }
        std::memcpy(a, work, size_t(pw - work));
        return;
    }
    // Merge from the front with A in the buffer; ties take A's element first.
    std::memcpy(work, a, len_a);
    u8* out = a;
    u8* pw = work;
    u8* pw_end = work + len_a;
    u8* pb = b;
    while (pw < pw_end && pb < end) {
        if (compare(pw, pb, args) <= 0) {
            std::memcpy(out, pw, s);
            pw += s;
        } else {
            std::memcpy(out, pb, s);
            pb += s;
        }
        out += s;
    }
    std::memcpy(out, pw, size_t(pw_end - pw));
}

void mergesort(void* base_ptr, u32 count, u32 size, uintptr_t ctx1, uintptr_t ctx2, Comparator cmp) {
    if (count < 2) return;
    u64 work_bytes = u64(count / 2) * size;
    if (work_bytes > 0xFFFFFFFFu) fire("script", "too-long");
    Args a(size, ctx1, ctx2, cmp);
    auto* base = static_cast<u8*>(base_ptr);
    u8* end = elem(base, count, a);
    WorkBuffer work;  // taken at the first merge: presorted input needs none

    auto run_from = [&](u64 start) -> u64 {
        u64 stop = u64(next_run(elem(base, start, a), end, a) - base) / size;
        u64 want = std::min<u64>(start + MIN_RUN, count);
        if (stop < want) {
            insertion_sort(base, start, stop, want, a);
            stop = want;
        }
        return stop;
    };
    auto merge_runs = [&](u64 sa, u64 sb, u64 eb) {
        if (!work.p) {
            work.p = static_cast<u8*>(std::malloc(work_bytes ? work_bytes : 1));
            if (!work.p) fire("internal", "no-memory");
        }
        merge(elem(base, sa, a), elem(base, sb, a), elem(base, eb, a), work.p, a);
    };

    // Pending runs, each ending where the next begins. Their powers strictly
    // increase upwards, so 33 entries cover any 32-bit count.
    struct Entry {
        u64 start;
        u32 power;
    } stack[40];
    int sp = 0;
    u64 a_start = 0, a_end = run_from(0);
    while (a_end < count) {
        u64 b_start = a_end, b_end = run_from(b_start);
        u32 power = boundary_power(a_start, b_start, b_end, count);
        while (sp > 0 && stack[sp - 1].power > power) {
            merge_runs(stack[sp - 1].start, a_start, a_end);
            a_start = stack[--sp].start;
        }
        stack[sp++] = {a_start, power};
        a_start = b_start;
        a_end = b_end;
    }
    while (sp > 0) {
        merge_runs(stack[sp - 1].start, a_start, count);
        a_start = stack[--sp].start;
    }
}

void quicksort(u8* base, u32 count, const Args& a, i64 hint) {
    // Pivots that keep splitting badly hand the range to the heap sort after
    // about twice the depth a balanced split needs.
    int budget = 8;
    for (u32 n = count; n > 1; n >>= 1) budget += 2;
    quicksort_in(base, count, a, hint, budget);
}

void qsort(void* base_ptr, u32 count, u32 size, uintptr_t ctx1, uintptr_t ctx2, Comparator cmp) {
    if (count < 2) return;
    Args a(size, ctx1, ctx2, cmp);
    auto* base = static_cast<u8*>(base_ptr);

    // The initial monotone stretch; its first strict step sets the direction.
    int dir = 0;
    u64 stretch = 1;
    for (; stretch < count; stretch++) {
        int c = compare(elem(base, stretch - 1, a), elem(base, stretch, a), a);
        if (c == 0) continue;
        int step = c > 0 ? -1 : 1;
        if (dir == 0) dir = step;
        else if (step != dir) break;
    }
    u64 prefix = stretch;
    if (prefix < count) {
        // Probe the rest for a majority direction.
        i64 votes = 0;
        for (u64 k = stretch; k + 1 < count; k += PROBE_STRIDE) {
            int c = compare(elem(base, k, a), elem(base, k + 1, a), a);
            votes += c < 0 ? 1 : c > 0 ? -1 : 0;
        }
        if (u64(votes < 0 ? -votes : votes) > count / 512) {
            int major = votes > 0 ? 1 : -1;
            if (major != dir) {
                dir = major;
                prefix = ordered_end(base, count, dir, a);
            }
            prefix = grow_prefix(base, count, prefix, dir, a);
        }
    }
    if (dir < 0) reverse(base, 0, prefix, a);
    if (prefix < count) quicksort(base, count, a, i64(prefix));
}

}  // namespace zav::sort
