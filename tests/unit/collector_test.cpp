// Collector: survival of everything reachable (contents intact after moves),
// reclamation of the rest, pins, guards, big frames, compaction into the
// previous frame, handles, marker callbacks, node-keyed tables, stress.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "datatypes/symbol.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "runtime/handles.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct CollectorTest : RuntimeTest {
    Cell* saved_top = nullptr;
    bool saved_stress = false;
    bool saved_active = false;
    void SetUp() override {
        RuntimeTest::SetUp();
        saved_top = stack::top;
        saved_active = collector::active;
        saved_stress = collector::stress;
        collector::stress = false;  // these tests hold fresh nodes in locals; the stress test turns it on
        collector::enable();
        collector::do_cycle();  // start from a compacted heap
    }
    void TearDown() override {
        collector::stress = saved_stress;
        collector::active = saved_active;
        stack::top = saved_top;
    }
};

off32 buffer_of(node_t node) { return *at<off32>(node); }

// A string! series holding `text` (unit 1), not yet referenced by anything.
node_t new_string(const std::string& text) {
    node_t n = alloc_codepoints(static_cast<u32>(text.size()), 1);
    SeriesBuffer* b = GET_BUFFER(n);
    std::memcpy(b->head(), text.data(), text.size());
    b->tail = b->offset + static_cast<u32>(text.size());
    return n;
}

using test::bytes_of;

Cell string_cell(node_t n) { return Cell{TYPE_STRING, 0, n, 0}; }
Cell block_cell(node_t n) { return Cell{TYPE_BLOCK, 0, n, 0}; }

// Appends a cell at the block's tail (the block has room).
void append(node_t block, const Cell& c) {
    SeriesBuffer* b = GET_BUFFER(block);
    *reinterpret_cast<Cell*>(b->tail_ptr()) = c;
    b->tail += sizeof(Cell);
}

Cell* cells(node_t block) { return reinterpret_cast<Cell*>(GET_BUFFER(block)->head()); }

// A context buffer as the runtime lays it out: the context! cell (no table,
// the given values) and an unset owner.
node_t new_context(node_t values = 0, u32 flags = 0) {
    node_t ctx = alloc_unset_cells(2);
    SeriesBuffer* b = GET_BUFFER(ctx);
    b->tail = b->offset + 2 * sizeof(Cell);
    cells(ctx)[0] = Cell{TYPE_CONTEXT_ID | flags, 0, values, 0};
    return ctx;
}

Cell* push_cell(const Cell& c) { return stack::push(&c); }

// The series frame holding a buffer, or 0.
off32 frame_holding(off32 buffer) {
    for (off32 o = memory::record.s_head; o; o = at<SeriesFrame>(o)->next) {
        if (buffer > o && buffer < at<SeriesFrame>(o)->end) return o;
    }
    return 0;
}

}  // namespace

TEST_F(CollectorTest, ReachableSeriesMoveWithContentIntact) {
    // Most of the frame is dead, so that compaction slides what lives.
    node_t dead = new_string(std::string(1000000, 'x'));
    // outer block: [inner-block "on outer" 42], inner: ["in inner" 7]
    node_t inner_text = new_string("in inner");
    node_t inner = alloc_cells(4);
    append(inner, string_cell(inner_text));
    append(inner, Cell{TYPE_INTEGER, 7, 0, 0});
    node_t outer_text = new_string("on outer");
    node_t outer = alloc_cells(4);
    append(outer, block_cell(inner));
    append(outer, string_cell(outer_text));
    append(outer, Cell{TYPE_INTEGER, 42, 0, 0});
    node_t loose = new_string("only on the stack");
    push_cell(block_cell(outer));
    push_cell(string_cell(loose));

    ASSERT_EQ(frame_holding(buffer_of(dead)), frame_holding(buffer_of(loose)));
    std::vector<node_t> live{inner_text, inner, outer_text, outer, loose};
    std::vector<off32> before;
    for (node_t n : live) before.push_back(buffer_of(n));

    collector::do_cycle();

    for (size_t i = 0; i < live.size(); i++) {
        EXPECT_NE(buffer_of(live[i]), before[i]) << i;
        EXPECT_TRUE(collector::node_q(live[i])) << i;
        EXPECT_FALSE(GET_BUFFER(live[i])->flags & SERIES_MARK) << i;
    }
    EXPECT_FALSE(collector::node_q(dead));
    EXPECT_EQ(bytes_of(loose), "only on the stack");
    EXPECT_EQ(bytes_of(outer_text), "on outer");
    EXPECT_EQ(bytes_of(inner_text), "in inner");
    ASSERT_EQ(GET_BUFFER(outer)->length(), 3u);
    EXPECT_EQ(cells(outer)[0].data2, inner);
    EXPECT_EQ(cells(outer)[2].data1, 42u);
    ASSERT_EQ(GET_BUFFER(inner)->length(), 2u);
    EXPECT_EQ(cells(inner)[0].data2, inner_text);
    EXPECT_EQ(cells(inner)[1].data1, 7u);

    // A second cycle keeps them: marks were cleared by the first.
    collector::do_cycle();
    EXPECT_EQ(bytes_of(inner_text), "in inner");
    EXPECT_TRUE(collector::node_q(inner_text));
}

// A frame that is mostly live is left where it is: its dead buffers become
// walkable holes and their nodes are freed. Once most of it has died, what
// lives is slid out of it like from any frame.
TEST_F(CollectorTest, MostlyLiveFrameStaysAndSparseFrameMoves) {
    collector::disable();
    // A frame of its own: garbage until a new frame starts.
    off32 first = frame_holding(buffer_of(new_string(std::string(4000, 'g'))));
    off32 frame = first;
    while (frame == first) frame = frame_holding(buffer_of(new_string(std::string(4000, 'g'))));
    Cell* mark = stack::top;
    std::vector<node_t> live, dead;
    std::vector<std::string> texts;
    for (u32 i = 0; i < 200; i++) {
        std::string text = std::to_string(i) + std::string(4000, 'l');
        node_t n = new_string(text);
        if (frame_holding(buffer_of(n)) != frame) break;
        if (i % 20 == 7) {
            dead.push_back(n);
            continue;
        }
        push_cell(string_cell(n));
        live.push_back(n);
        texts.push_back(text);
    }
    ASSERT_GT(live.size(), 100u);
    std::vector<off32> at_first;
    for (node_t n : live) at_first.push_back(buffer_of(n));
    collector::enable();
    for (int round = 0; round < 2; round++) {  // the second walks the holes the first left
        collector::do_cycle();
        for (size_t i = 0; i < live.size(); i++) {
            ASSERT_EQ(buffer_of(live[i]), at_first[i]) << round << " " << i;
            ASSERT_EQ(bytes_of(live[i]), texts[i]) << round << " " << i;
        }
        for (node_t n : dead) EXPECT_FALSE(collector::node_q(n));
    }
    // Keep one in ten: once a quarter of the frame has been found dead, the
    // survivors after it slide down, and the frame's room comes back.
    stack::top = mark;
    for (size_t i = 0; i < live.size(); i += 10) push_cell(string_cell(live[i]));
    auto* f = at<SeriesFrame>(frame);
    off32 used = f->heap - (frame + sizeof(SeriesFrame));
    collector::do_cycle();
    size_t last = (live.size() - 1) / 10 * 10;
    EXPECT_NE(buffer_of(live[last]), at_first[last]);
    for (size_t i = 0; i < live.size(); i += 10) EXPECT_EQ(bytes_of(live[i]), texts[i]) << i;
    EXPECT_LT(f->heap - (frame + sizeof(SeriesFrame)), used / 2);
}

TEST_F(CollectorTest, UnreachableSeriesAreReclaimed) {
    collector::disable();  // let garbage pile up over several frames
    // Past two frame boundaries, so a whole frame that is not the last one
    // (the last is kept for the next allocations) holds only garbage, however
    // much start-up left live.
    u32 made = 0;
    off32 frame = 0, middle = 0;
    for (int crossed = 0; crossed < 2 || made < 600; made++) {
        off32 now = frame_holding(buffer_of(new_string(std::string(10000, 'g'))));
        if (frame && now != frame && crossed++ == 0) middle = now;
        frame = now;
    }
    u64 grown = memory::record.total;
    u32 middle_size = at<SeriesFrame>(middle)->size;
    collector::do_cycle();
    EXPECT_LE(memory::record.total, grown - middle_size);
    EXPECT_GE(collector::last.nodes_freed, made);
    EXPECT_GT(collector::last.frames_released, 0u);
}

// Tens of thousands of dead nodes in one cycle, over several node frames:
// each goes back once, so the next allocations get distinct nodes.
TEST_F(CollectorTest, ManyDeadNodesAreFreedOnceEach) {
    collector::disable();
    const u32 dead = 45000;
    for (u32 i = 0; i < dead; i++) new_string("x" + std::to_string(i));
    collector::do_cycle();
    EXPECT_GE(collector::last.nodes_freed, dead);
    const u32 live = 50000;
    node_t keep = alloc_cells(live);
    push_cell(block_cell(keep));
    std::set<node_t> seen;
    for (u32 i = 0; i < live; i++) {
        node_t n = new_string("live " + std::to_string(i));
        EXPECT_TRUE(seen.insert(n).second) << "node handed out twice: " << n;
        append(keep, string_cell(n));
    }
    collector::do_cycle();
    for (u32 i = 0; i < live; i += 997) EXPECT_EQ(bytes_of(cells(keep)[i].data2), "live " + std::to_string(i));
}

// Dead and live nodes interleaved over several node frames, the first and the
// last node made among the dead: exactly the dead ones go back on their
// frame's free chain, each frame's count of used nodes agrees with its chain,
// and a frame hands its freed nodes out highest slot first.
TEST_F(CollectorTest, DeadNodesGoBackToTheirFramesHighestFirst) {
    collector::disable();
    const u32 n = 25000;
    node_t keep = alloc_cells(n);
    push_cell(block_cell(keep));
    std::vector<node_t> dead;
    std::set<node_t> live;
    for (u32 i = 0; i <= n; i++) {
        node_t s = new_string("s");
        if (i % 2 == 0 || i % 7 == 3) {
            dead.push_back(s);
        } else {
            append(keep, string_cell(s));
            live.insert(s);
        }
    }
    collector::do_cycle();
    EXPECT_EQ(collector::last.nodes_freed, dead.size());
    std::map<NodeFrame*, std::vector<node_t>> chains;
    for (off32 o = memory::record.n_head; o; o = at<NodeFrame>(o)->next) {
        NodeFrame* f = at<NodeFrame>(o);
        std::vector<node_t>& chain = chains[f];
        for (off32 x = f->free; x; x = *at<off32>(x)) chain.push_back(x);
        EXPECT_EQ(chain.size() + f->used, f->capacity);
    }
    std::set<node_t> dead_set(dead.begin(), dead.end());
    for (node_t d : dead) {
        std::vector<node_t>& chain = chains[node_frame_of(d)];
        EXPECT_NE(std::find(chain.begin(), chain.end(), d), chain.end()) << "dead node not freed: " << d;
    }
    for (node_t l : live) EXPECT_TRUE(collector::node_q(l)) << l;
    NodeFrame* last_frame = node_frame_of(dead.back());
    std::vector<node_t> freed_here;
    for (node_t x : chains[last_frame]) {
        if (!dead_set.count(x)) break;
        freed_here.push_back(x);
    }
    ASSERT_GT(freed_here.size(), 1u);
    EXPECT_TRUE(std::is_sorted(freed_here.rbegin(), freed_here.rend()));
    EXPECT_EQ(freed_here.front(), *std::max_element(dead.begin(), dead.end(), [&](node_t a, node_t b) {
        return (node_frame_of(a) == last_frame ? a : 0) < (node_frame_of(b) == last_frame ? b : 0);
    }));
}

TEST_F(CollectorTest, RunIfDoesNothingWhenInactive) {
    collector::disable();
    u32 cycles = collector::cycles;
    node_t dead = new_string("dead");
    collector::run_if();
    EXPECT_EQ(collector::cycles, cycles);
    EXPECT_TRUE(collector::node_q(dead));
    collector::enable();
    collector::run_if();
    EXPECT_EQ(collector::cycles, cycles + 1);
    EXPECT_FALSE(collector::node_q(dead));
}

TEST_F(CollectorTest, PinnedBufferDoesNotMove) {
    new_string(std::string(1000000, 'd'));  // dead, in front of everything, and most of its frame
    node_t before = new_string("live before");
    new_string(std::string(300, 'd'));
    node_t pinned = new_string("pinned");
    node_t after = new_string("live after");
    push_cell(string_cell(before));
    push_cell(string_cell(after));
    off32 at_pinned = buffer_of(pinned);
    off32 at_before = buffer_of(before);
    {
        collector::Guard pin(pinned, collector::GUARD_PIN);
        const u8* raw = GET_BUFFER(pinned)->head();
        collector::do_cycle();
        EXPECT_EQ(buffer_of(pinned), at_pinned);
        EXPECT_EQ(GET_BUFFER(pinned)->head(), raw);
        EXPECT_NE(buffer_of(before), at_before);
        EXPECT_EQ(bytes_of(pinned), "pinned");
        EXPECT_EQ(bytes_of(before), "live before");
        EXPECT_EQ(bytes_of(after), "live after");
        // The hole left in front of the pin is walked like any dead buffer.
        collector::do_cycle();
        EXPECT_EQ(buffer_of(pinned), at_pinned);
        EXPECT_EQ(bytes_of(after), "live after");
    }
    push_cell(string_cell(pinned));
    collector::do_cycle();
    EXPECT_NE(buffer_of(pinned), at_pinned);  // free to move once unpinned
    EXPECT_EQ(bytes_of(pinned), "pinned");
    EXPECT_EQ(bytes_of(before), "live before");
    EXPECT_EQ(bytes_of(after), "live after");
}

TEST_F(CollectorTest, GuardsKeepSeriesAlive) {
    node_t guarded_text = new_string("held by a guarded cell");
    node_t kept = 0;
    node_t first = 0;
    u32 depth = collector::guards.count;
    {
        collector::GuardedCell root;
        node_t block = alloc_cells(2);
        append(block, string_cell(guarded_text));
        root.value = block_cell(block);
        Cell outside = string_cell(new_string("outside cell"));
        collector::Guard by_pointer(&outside);
        kept = new_string("first");
        first = kept;
        collector::Guard node_root(kept);
        kept = new_string("held by a node guard");  // the guard follows its variable
        new_string("garbage");
        collector::do_cycle();
        EXPECT_EQ(bytes_of(guarded_text), "held by a guarded cell");
        EXPECT_EQ(bytes_of(outside.data2), "outside cell");
        EXPECT_EQ(bytes_of(kept), "held by a node guard");
        EXPECT_FALSE(collector::node_q(first));
        EXPECT_EQ(cells(block)[0].data2, guarded_text);
    }
    EXPECT_EQ(collector::guards.count, depth);
    collector::do_cycle();
    EXPECT_FALSE(collector::node_q(guarded_text));
    EXPECT_FALSE(collector::node_q(kept));
}

TEST_F(CollectorTest, GuardsAreDroppedWhenAnExceptionUnwinds) {
    u32 depth = collector::guards.count;
    node_t text = new_string("held while thrown through");
    try {
        collector::Guard outer(text);
        // Enough guards to grow the guard stack while others are live.
        std::vector<Cell> cells(3000, string_cell(text));
        auto nest = [&](auto& self, u32 i) -> void {
            if (i == cells.size()) {
                collector::do_cycle();
                EXPECT_EQ(bytes_of(text), "held while thrown through");
                throw 1;
            }
            collector::Guard g(&cells[i]);
            self(self, i + 1);
        };
        nest(nest, 0);
    } catch (int) {
    }
    EXPECT_EQ(collector::guards.count, depth);
    collector::do_cycle();
    EXPECT_FALSE(collector::node_q(text));
}

TEST_F(CollectorTest, BigFramesAreSweptAndLiveOnesKeepTheirCells) {
    const u32 cells_in_big = 140000;  // over 2 MB: a big frame of its own
    u64 total = memory::record.total;
    collector::disable();  // a big allocation collects first
    alloc_bytes(3 * 1024 * 1024);  // dead big buffer
    node_t big = alloc_cells(cells_in_big);
    ASSERT_TRUE(GET_BUFFER(big)->flags & SERIES_BIG);
    node_t text = new_string("inside a big block");
    append(big, string_cell(text));
    push_cell(block_cell(big));
    u64 grown = memory::record.total;
    ASSERT_GT(grown, total + 5 * 1024 * 1024);
    off32 at_big = buffer_of(big);
    collector::enable();

    collector::do_cycle();
    EXPECT_EQ(collector::last.big_released, 1u);
    EXPECT_LT(memory::record.total, grown - 3 * 1024 * 1024);
    EXPECT_EQ(buffer_of(big), at_big);
    // The big buffer's mark is cleared, so its cells are marked again next time.
    collector::do_cycle();
    EXPECT_EQ(collector::last.big_released, 0u);
    EXPECT_EQ(bytes_of(text), "inside a big block");
    EXPECT_EQ(cells(big)[0].data2, text);
}

TEST_F(CollectorTest, FixedBufferCellsAreMarkedEveryCycle) {
    node_t fixed = alloc_fixed_buffer(4, 16, 0);
    collector::Guard guard(fixed);
    node_t text = new_string("in a fixed buffer");
    append(fixed, string_cell(text));
    for (int i = 0; i < 3; i++) collector::do_cycle();
    EXPECT_EQ(bytes_of(text), "in a fixed buffer");
}

TEST_F(CollectorTest, CompactsIntoThePreviousFrame) {
    collector::disable();
    // The shape is built whatever earlier work left in the heap: garbage until
    // two frames made here lie next to each other, each with a small live
    // anchor near its start, and a live string in the upper one. The lower
    // one's anchor is pinned so that the lower frame stays and keeps its
    // room; the collection then moves the upper frame's live buffers into it.
    std::set<off32> known;
    for (off32 o = memory::record.s_head; o; o = at<SeriesFrame>(o)->next) known.insert(o);
    std::map<off32, node_t> anchors;  // per frame made here
    node_t live = 0;
    off32 lower = 0;
    for (u32 i = 0; i < 50000 && !live; i++) {
        off32 f = frame_holding(buffer_of(new_string(std::string(4000, 'g'))));
        if (known.count(f)) continue;
        if (!anchors.count(f)) {
            node_t anchor = new_string("anchor");
            push_cell(string_cell(anchor));
            if (frame_holding(buffer_of(anchor)) == f) anchors[f] = anchor;
            continue;
        }
        off32 prev = at<SeriesFrame>(f)->prev;
        if (!anchors.count(prev)) continue;
        node_t l = new_string("moves back");
        if (frame_holding(buffer_of(l)) != f) continue;
        live = l;
        lower = prev;
    }
    ASSERT_NE(live, 0u);
    push_cell(string_cell(live));
    node_t anchor = anchors[lower];
    collector::Guard pin(anchor, collector::GUARD_PIN);
    collector::enable();
    collector::do_cycle();
    EXPECT_EQ(frame_holding(buffer_of(live)), lower);
    EXPECT_EQ(bytes_of(live), "moves back");
    EXPECT_EQ(bytes_of(anchor), "anchor");
}

namespace {
int released = 0;
void* released_object = nullptr;
void count_release(void* object) {
    released++;
    released_object = object;
}
}  // namespace

TEST_F(CollectorTest, HandleIsReleasedOnceWhenUnreachable) {
    static int object;
    released = 0;
    u32 kind = handles::register_kind(0, count_release);
    u32 slot = handles::store(&object, kind);
    Cell* h = push_cell(Cell{TYPE_HANDLE, 0, 0, slot});
    collector::do_cycle();
    EXPECT_EQ(released, 0);
    h->header = TYPE_NONE;
    collector::do_cycle();
    EXPECT_EQ(released, 1);
    EXPECT_EQ(released_object, &object);
    collector::do_cycle();
    EXPECT_EQ(released, 1);
}

namespace {
Cell marker_cell;
void mark_test_cell() { collector::mark_value(&marker_cell); }
void never_registered() {}
}  // namespace

// A string, and a word whose context is the last one a cycle marks: the next
// cycle must still mark that context afresh.
TEST_F(CollectorTest, MarkerCallbackKeepsItsValues) {
    for (bool word : {false, true}) {
        node_t text = new_string("kept by a marker");
        if (word) {
            node_t values = alloc_cells(1);
            append(values, string_cell(text));
            marker_cell = Cell{TYPE_WORD, new_context(values), 1, 0};
        } else {
            marker_cell = string_cell(text);
        }
        collector::register_marker(mark_test_cell);
        collector::unregister_marker(never_registered);  // changes nothing
        collector::do_cycle();
        collector::do_cycle();
        ASSERT_TRUE(collector::node_q(text)) << word;
        EXPECT_EQ(bytes_of(text), "kept by a marker") << word;
        collector::unregister_marker(mark_test_cell);
        collector::do_cycle();
        EXPECT_FALSE(collector::node_q(text)) << word;
    }
}

// Every layout that refers to series: the cell keeps them, and nothing else does.
TEST_F(CollectorTest, MarksByTypeLayout) {
    struct Case {
        const char* what;
        std::vector<node_t> kept;
        Cell cell;
    };
    std::vector<Case> cases;
    {
        node_t s = new_string("text"), cache = new_string("utf-8 cache");
        cases.push_back({"string and its conversion cache", {s, cache}, Cell{TYPE_FILE, 0, s, cache}});
    }
    for (u32 type : {TYPE_BINARY, TYPE_BITSET, TYPE_VECTOR}) {
        node_t s = new_string("bytes");
        cases.push_back({"byte series", {s}, Cell{type, 0, s, 0}});
    }
    {
        node_t s = new_string("in a path");
        node_t p = alloc_cells(1);
        append(p, string_cell(s));
        cases.push_back({"path", {p, s}, Cell{TYPE_SET_PATH, 0, p, 0}});
    }
    {
        // A context: cell 0 the context! cell (values block), cell 1 the owner.
        node_t v = new_string("a word's value");
        node_t values = alloc_cells(1);
        append(values, string_cell(v));
        node_t ctx = new_context(values);
        cases.push_back({"word through its context", {ctx, values, v}, Cell{TYPE_GET_WORD, ctx, 1, 0}});
    }
    {
        node_t spec = alloc_cells(1), more = alloc_cells(2), ctx = new_context(0, context::CTX_ON_STACK);
        cases.push_back({"function", {spec, more, ctx}, Cell{TYPE_FUNCTION, ctx, spec, more}});
        node_t spec2 = alloc_cells(1), more2 = alloc_cells(2);
        cases.push_back({"native", {spec2, more2}, Cell{TYPE_NATIVE, 5, spec2, more2}});
    }
    {
        node_t ctx = new_context(), on_set = alloc_cells(2);
        cases.push_back({"object", {ctx, on_set}, Cell{TYPE_OBJECT, ctx, 1000000, on_set}});
    }
    {
        node_t blk = alloc_cells(2);
        Cell words{TYPE_BLOCK, 0, blk, 0};
        node_t table = hashtable::init(4, &words, hashtable::KIND_HASH, 0);
        auto* t = hashtable::record(table);
        cases.push_back({"hash", {blk, table, t->flags, t->keys, t->aux}, Cell{TYPE_HASH, 0, blk, table}});
    }
    for (Case& c : cases) push_cell(c.cell);
    // Twice: what one cycle remembers of its marking must not skip anything in the next.
    for (int cycle = 0; cycle < 2; cycle++) {
        collector::do_cycle();
        for (Case& c : cases)
            for (node_t n : c.kept) EXPECT_TRUE(collector::node_q(n)) << c.what << " cycle " << cycle;
    }
    stack::top -= cases.size();
    collector::do_cycle();
    for (Case& c : cases)
        for (node_t n : c.kept) EXPECT_FALSE(collector::node_q(n)) << c.what << " " << n;
}

TEST_F(CollectorTest, SymbolTableSurvives) {
    i32 id = symbol::make("collector-survivor");
    for (int i = 0; i < 3; i++) collector::do_cycle();
    EXPECT_STREQ(symbol::get_c_string(id), "collector-survivor");
    EXPECT_EQ(symbol::make("collector-survivor"), id);
}

namespace {
node_t owner_table = 0;
void mark_owner_table() { hashtable::mark(owner_table); }
void sweep_owner_table() { hashtable::sweep_entries(owner_table); }
}  // namespace

TEST_F(CollectorTest, OwnershipEntriesDieWithTheirOwner) {
    // The runtime's own ownership table is swept by the cycle; this one is
    // marked by one marker and swept by a later one, after every root.
    owner_table = hashtable::init(8, nullptr, hashtable::KIND_OWNERSHIP, 3);
    collector::register_marker(mark_owner_table);
    node_t owned1 = new_string("owned by a live object");
    node_t owned2 = new_string("owned by a dead object");
    node_t live_owner = new_context();
    node_t dead_owner = new_context();
    push_cell(Cell{TYPE_OBJECT, live_owner, 0, 0});
    push_cell(string_cell(owned1));
    hashtable::put_int_key(owner_table, owned1)[1] = Cell{TYPE_OBJECT, live_owner, 0, 0};
    hashtable::put_int_key(owner_table, owned2)[1] = Cell{TYPE_OBJECT, dead_owner, 0, 0};
    collector::do_cycle();
    EXPECT_TRUE(collector::node_q(owned2));  // keys are held by the table
    EXPECT_FALSE(collector::node_q(dead_owner));
    collector::register_marker(sweep_owner_table);
    collector::do_cycle();
    collector::unregister_marker(sweep_owner_table);
    collector::unregister_marker(mark_owner_table);
    EXPECT_NE(hashtable::get_int_key(owner_table, owned1), nullptr);
    EXPECT_EQ(hashtable::get_int_key(owner_table, owned2), nullptr);
    EXPECT_EQ(hashtable::record(owner_table)->size, 1u);
}

TEST_F(CollectorTest, StressModeKeepsNestedBlocksIntact) {
    collector::stress = true;
    node_t outer = alloc_cells(1);
    push_cell(block_cell(outer));
    u32 cycles = collector::cycles;
    for (int i = 0; i < 300; i++) {
        new_string("garbage");
        node_t s = new_string("item " + std::to_string(i));
        Cell* tmp = push_cell(string_cell(s));
        node_t inner = alloc_cells(1);
        append(inner, *tmp);
        stack::top--;
        Cell* held = push_cell(block_cell(inner));
        SeriesBuffer* b = GET_BUFFER(outer);
        if (b->tail + sizeof(Cell) > off_of(b->data_end())) b = expand_series(b, 0);
        append(outer, *held);
        stack::top--;
    }
    EXPECT_GT(collector::cycles, cycles + 900);
    collector::stress = saved_stress;
    ASSERT_EQ(GET_BUFFER(outer)->length(), 300u);
    for (u32 i = 0; i < 300; i++) {
        node_t inner = cells(outer)[i].data2;
        EXPECT_EQ(bytes_of(cells(inner)[0].data2), "item " + std::to_string(i));
    }
}

TEST_F(CollectorTest, AllocationChurnStaysBounded) {
    const u32 ring = 16;
    Cell* slots = stack::top;
    for (u32 i = 0; i < ring; i++) push_cell(Cell{TYPE_NONE, 0, 0, 0});
    u64 peak = 0;
    for (u32 i = 0; i < 100000; i++) {
        node_t n = new_string(std::string(200 + i % 1800, char('a' + i % 26)));
        slots[i % ring] = string_cell(n);
        if (memory::record.total > peak) peak = memory::record.total;
    }
    // About 100 MB allocated; the live set is a few kilobytes.
    EXPECT_LT(peak, 16u * 1024 * 1024);
    for (u32 i = 0; i < ring; i++) {
        u32 k = 100000 - ring + i;
        EXPECT_EQ(bytes_of(slots[k % ring].data2), std::string(200 + k % 1800, char('a' + k % 26)));
    }
}

// A heap that only grows: after collections that free little, the heap grows
// instead of collecting at every full frame, so the bytes marked over all the
// cycles stay within a small multiple of what is finally live (collecting at
// every full frame would mark the whole live set once per 2 MB allocated).
TEST_F(CollectorTest, GrowingHeapIsMarkedProportionally) {
    const u32 count = 800000;
    node_t outer = alloc_cells(count);
    push_cell(block_cell(outer));
    u32 cycles = 0;
    u64 marked = 0;
    u32 seen = collector::cycles;
    for (u32 i = 0; i < count; i++) {
        node_t n = new_string(std::string(40 + i % 32, char('a' + i % 26)));
        append(outer, string_cell(n));
        if (collector::cycles != seen) {
            seen = collector::cycles;
            cycles++;
            marked += collector::last.live_bytes;
        }
    }
    collector::do_cycle();
    u64 live = collector::last.live_bytes;
    // About 80 MB live at the end: some 35 full frames on the way.
    EXPECT_GT(live, 60u * 1024 * 1024);
    EXPECT_GE(cycles, 1u);
    EXPECT_LT(cycles, 16u);
    EXPECT_LT(marked, 3 * live);
    for (u32 i = 0; i < count; i += 99991) {
        EXPECT_EQ(bytes_of(cells(outer)[i].data2), std::string(40 + i % 32, char('a' + i % 26)));
    }
}

// A series grown where it lies makes no garbage: only its growth counts
// towards the next collection. One moved into a new buffer abandons the old
// one, garbage until a collection: the whole new buffer counts, or series
// that keep growing and moving would fill the arena with dead buffers.
TEST_F(CollectorTest, GrowingASeriesCountsEveryFreshBuffer) {
    node_t n = alloc_cells(1000);  // 16,000 bytes, the last buffer of its frame
    push_cell(block_cell(n));
    u64 before = collector::allocated;
    u32 seen = collector::cycles;
    SeriesBuffer* old = GET_BUFFER(n);
    SeriesBuffer* b = expand_series(old, 64000);
    EXPECT_EQ(b->size, 64000u);
    // (Unless its frame has no room left: under stress, collections pack the frames.)
    if (b == old) {
        EXPECT_EQ(collector::allocated - before, 64000u - 16000u);
    }

    push_cell(block_cell(alloc_cells(10)));  // a buffer after it: it must move
    before = collector::allocated;
    seen = collector::cycles;
    b = expand_series(GET_BUFFER(n), 128000);
    EXPECT_EQ(b->size, 128000u);
    // A collection on the way (every allocation collects under stress) starts the count again.
    u64 counted = collector::allocated - (collector::cycles == seen ? before : 0);
    EXPECT_GE(counted, 128000u);
}

// A steady heap with much garbage keeps collecting, but waits each time for
// about as many bytes as stay live: the bytes marked over all the cycles stay
// within a small multiple of what was allocated (collecting at every full
// frame would mark a large live set once per few MB), the heap stays within
// about twice its live size, and the live set does not creep.
TEST_F(CollectorTest, SteadyHeapIsMarkedProportionallyAndStaysBounded) {
    const u32 kept = 300000;  // about 30 MB live for the whole run
    node_t outer = alloc_cells(kept);
    push_cell(block_cell(outer));
    for (u32 i = 0; i < kept; i++) append(outer, string_cell(new_string(std::string(60, 'k'))));
    collector::do_cycle();
    u64 live_before = collector::last.live_bytes;
    ASSERT_GT(live_before, 20u * 1024 * 1024);

    Cell* slot = push_cell(Cell{TYPE_NONE, 0, 0, 0});
    u32 seen = collector::cycles;
    u32 cycles = 0;
    u64 marked = 0, allocated = 0, peak = 0;
    for (u32 i = 0; i < 2000000; i++) {
        *slot = string_cell(new_string(std::string(100, 'x')));
        allocated += 100;
        if (collector::cycles != seen) {
            seen = collector::cycles;
            cycles++;
            marked += collector::last.live_bytes;
        }
        if (memory::record.total > peak) peak = memory::record.total;
    }
    EXPECT_GE(cycles, 3u);
    EXPECT_LT(marked, 3 * allocated / 2);
    EXPECT_LT(peak, 2 * live_before + 24u * 1024 * 1024);
    EXPECT_LT(collector::last.live_bytes, live_before + 64 * 1024);
    EXPECT_EQ(bytes_of(cells(outer)[kept - 1].data2), std::string(60, 'k'));
}
