// The back-end over a fake terminal, with faces made from a small template
// and a system/view whose awake records every event: widgets, frames, keys,
// the mouse, timers, the draw renderer and text metrics.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/event.h"
#include "datatypes/handle.h"
#include "datatypes/string.h"
#include "evaluator/interpreter.h"
#include "fake_tty.h"
#include "load_helper.h"
#include "test_util.h"
#include "view/terminal/compositor.h"
#include "view/terminal/draw.h"
#include "view/terminal/faces.h"
#include "view/terminal/frame.h"
#include "view/terminal/loop.h"
#include "view/terminal/metrics.h"
#include "view/terminal/widgets.h"

using namespace zav;
using namespace zav::gui;

namespace {

const char* const SHIM = R"(
tui-test-face!: object [
	type: offset: size: text: image: color: menu: data: none enabled?: true visible?: true
	selected: flags: options: parent: pane: state: rate: edge: para: font: actors: extra: draw: none
]
tui-test-log: copy []
tui-test-keys: copy []
tui-test-saved: system/view
system/view: object [
	screens: none
	platform: object [mouse-event?: true]
	auto-sync?: true
	awake: func [event /local f] [
		f: event/face
		append tui-test-log reduce [event/type either string? f/text [copy f/text][f/type]]
		if event/type = 'key [append tui-test-keys reduce [event/key copy event/flags]]
		if all [event/type = 'key-down event/key = #"!"] [return 'done]
		none
	]
]
)";

struct TuiWidgets : test::CleanRuntimeTest {
    test::UseFakeTty fake;

    void SetUp() override {
        test::CleanRuntimeTest::SetUp();
        event::set_backend(read_event_field);
        run(SHIM);
        screen.reset();
        frame = FrameState{};
        fake.tty.columns = 40;
        fake.tty.rows = 10;
    }
    void TearDown() override {
        if (Widget* w = get(windows.current)) destroy_view(&w->face, false);
        screen_reset();
        release_dead();
        run("system/view: tui-test-saved");
        test::CleanRuntimeTest::TearDown();
    }
    static Cell* run(const char* text) {
        Cell code = *test::load(text);
        collector::Guard guard(&code);
        interpreter::eval(&code, false);
        return stack::top - 1;
    }
    // A face from the template, kept for the test.
    static Cell& make_face(const char* spec) {
        std::string text = std::string("make tui-test-face! [") + spec + "]";
        Cell& kept = test::kept();
        kept = *run(text.c_str());
        return kept;
    }
    // What show does: a widget, and the state that holds it.
    static WidgetId show(Cell& f, WidgetId parent) {
        WidgetId id = make_view(&f, parent);
        Cell* state = block::make_at(stack::push_star(), 4);
        handle::make_at(state, id, handle::CLASS_WINDOW);
        Cell zero;
        make_cell(&zero, TYPE_INTEGER, 0, 0);
        block::zs_append(state, &zero);
        Cell none{TYPE_NONE, 0, 0, 0}, no{TYPE_LOGIC, 0, 0, 0};
        block::zs_append(state, &none);
        block::zs_append(state, &no);
        Cell s = *state;
        stack::pop(1);
        set_state(f, s);
        return id;
    }
    static void set_state(Cell& f, const Cell& s) { *face::facet(&f, face::STATE) = s; }
    std::string log() {
        std::string s = test::mold(run("tui-test-log"));
        run("clear tui-test-log");
        return s;
    }
    static std::u32string row(i32 y) {
        std::u32string s;
        for (i32 x = 0; x < screen.width; x++) {
            u32 cp = screen.at(x, y).cp;
            s += cp == 0 ? U'.' : static_cast<char32_t>(cp);
        }
        return s;
    }
    // A window of 20 x 3 with a button and a field, shown and current.
    struct Ui {
        WidgetId window, button, field;
    };
    Ui basic_ui() {
        Cell& button = make_face("type: 'button offset: 1x0 size: 4x1 text: \"OK\"");
        Cell& field = make_face("type: 'field offset: 1x1 size: 8x1 text: \"ab\" flags: 'focusable");
        Cell& win = make_face("type: 'window size: 20x3 text: \"w\" pane: copy []");
        Ui ui;
        ui.window = show(win, 0);
        ui.button = show(button, ui.window);
        ui.field = show(field, ui.window);
        Cell* pane = face::facet(&win, face::PANE);
        block::zs_append(pane, &button);
        block::zs_append(pane, &field);
        show_window(ui.window);
        log();
        return ui;
    }
    void pass(const std::string& input) {
        fake.tty.input += input;
        do_events(true);
    }
};

TEST_F(TuiWidgets, FrameOfAWindow) {
    basic_ui();
    screen.raw = true;
    screen.term_columns = 40;
    screen.term_rows = 10;
    request_full_redraw();
    render_frame();
    EXPECT_EQ(screen.width, 20);
    EXPECT_EQ(screen.height, 3);
    EXPECT_EQ(row(0), U".OK  ...............");
    EXPECT_EQ(row(1), U".ab      ...........");
    // The focused field puts the cursor after its text.
    std::string bytes = fake.tty.take();
    EXPECT_NE(bytes.find("\r\x1b[1A\x1b[3C"), std::string::npos) << bytes;
    // Nothing changed: no frame.
    render_frame();
    EXPECT_EQ(fake.tty.take(), "");
}

TEST_F(TuiWidgets, KeysEditTheFocusedField) {
    Ui ui = basic_ui();
    pass("xy\x1b[D\x7f");
    EXPECT_EQ(test::form(face::facet(&get(ui.field)->face, face::TEXT)), "aby");
    Caret c = get(ui.field)->caret;
    EXPECT_EQ(c.index, 2);
    EXPECT_EQ(c.column, 2);
    EXPECT_EQ(c.width, 3);
    EXPECT_EQ(log(),
              "[key-down \"ab\" key \"ab\" change \"abx\" key-down \"abx\" key \"abx\" change \"abxy\" "
              "key-down \"abxy\" key \"abxy\" key-down \"abxy\" key \"abxy\" change \"aby\"]");
    // A key-down answered with done never reaches the widget.
    pass("!");
    EXPECT_EQ(test::form(face::facet(&get(ui.field)->face, face::TEXT)), "aby");
    // A full field drops what is typed; backspace at the start does nothing.
    pass("123456789");
    EXPECT_EQ(test::form(face::facet(&get(ui.field)->face, face::TEXT)), "ab12345y");
    pass("\x1b[D\x1b[D\x1b[D\x1b[D\x1b[D\x1b[D\x1b[D\x1b[D\x1b[D\x7f");
    EXPECT_EQ(test::form(face::facet(&get(ui.field)->face, face::TEXT)), "ab12345y");
    EXPECT_EQ(get(ui.field)->caret.index, 0);
}

// A script replaces or shortens a field's text between two keys: the caret
// follows (a new text puts it at its end; a shorter one keeps it inside).
TEST_F(TuiWidgets, TheCaretFollowsTheTextAScriptSets) {
    Ui ui = basic_ui();
    // (Fetched again after each pass: a collection can move the facets.)
    auto text = [&] { return face::facet(&get(ui.field)->face, face::TEXT); };
    *text() = *run("\"hello\"");
    pass("\x7f");
    EXPECT_EQ(test::form(text()), "hell");
    pass("\x1b[D");
    EXPECT_EQ(get(ui.field)->caret.index, 3);
    string::remove_chars(GET_BUFFER(series_node(text())), 0, 3);
    pass("\x1b[Dz");
    EXPECT_EQ(test::form(text()), "zl");
    Caret c = get(ui.field)->caret;
    EXPECT_EQ(c.index, 1);
    EXPECT_EQ(c.column, 1);
    EXPECT_EQ(c.width, 2);
}

TEST_F(TuiWidgets, ClicksAndDoubleClicks) {
    Ui ui = basic_ui();
    pass("\x1b[<0;3;1M\x1b[<0;3;1m");
    std::string first = log();
    EXPECT_NE(first.find("down \"OK\""), std::string::npos) << first;
    EXPECT_NE(first.find("click \"OK\""), std::string::npos) << first;
    EXPECT_EQ(first.find("dbl-click"), std::string::npos) << first;
    pass("\x1b[<0;3;1M\x1b[<0;3;1m");
    EXPECT_NE(log().find("dbl-click \"OK\""), std::string::npos);
    // A third quick release is a single click again.
    pass("\x1b[<0;3;1M\x1b[<0;3;1m");
    EXPECT_EQ(log().find("dbl-click"), std::string::npos);
    // A disabled widget gets nothing.
    get(ui.button)->flags |= WF_DISABLED;
    pass("\x1b[<0;3;1M\x1b[<0;3;1m");
    EXPECT_EQ(log().find("\"OK\""), std::string::npos);
    // Space on a focused button clicks it.
    get(ui.button)->flags &= ~WF_DISABLED;
    set_focus(ui.button, nullptr);
    log();
    pass(" ");
    EXPECT_NE(log().find("click \"OK\""), std::string::npos);
}

TEST_F(TuiWidgets, HoverAndAway) {
    Ui ui = basic_ui();
    (void)ui;
    pass("\x1b[<35;3;1M");  // over the button: every widget on the way down
    EXPECT_EQ(log(), "[over \"w\" over \"OK\"]");
    pass("\x1b[<35;3;2M");  // to the field, its sibling
    EXPECT_EQ(log(), "[over \"OK\" over \"ab\"]");
    pass("\x1b[<35;15;3M");  // out to the window: the field is left
    EXPECT_EQ(log(), "[over \"ab\"]");
    EXPECT_EQ(test::mold(run("tui-test-log")), "[]");
}

TEST_F(TuiWidgets, TimersByRate) {
    Ui ui = basic_ui();
    Cell rate = test::I(10);
    apply_rate(*get(ui.button), &rate);
    tick_timers(99);
    EXPECT_EQ(log(), "[]");
    tick_timers(1);
    EXPECT_EQ(log(), "[time \"OK\"]");
    tick_timers(250);
    EXPECT_EQ(log(), "[time \"OK\"]");
    Cell none{TYPE_NONE, 0, 0, 0};
    apply_rate(*get(ui.button), &none);
    tick_timers(1000);
    EXPECT_EQ(log(), "[]");
    Cell two = *test::load_one("0:0:2");
    apply_rate(*get(ui.button), &two);
    tick_timers(1999);
    EXPECT_EQ(log(), "[]");
    tick_timers(1);
    EXPECT_EQ(log(), "[time \"OK\"]");
    Cell zero = test::I(0);
    EXPECT_EQ(test::error_id_of([&] { apply_rate(*get(ui.button), &zero); }), "invalid-facet-type");
}

TEST_F(TuiWidgets, KeysAsTheLanguageSeesThem) {
    basic_ui();
    run("clear tui-test-keys");
    pass("a\x1b[15~\x1b[Z\x1b[1;5A\x1b");
    pass("");  // the lone ESC is the Escape key once nothing follows it
    EXPECT_EQ(test::mold(run("tui-test-keys")), "[#\"a\" [] F5 [] #\"^-\" [shift] up [control] #\"^[\" []]");
}

TEST_F(TuiWidgets, HiddenFacesAreNeitherDrawnNorHit) {
    Ui ui = basic_ui();
    get(ui.button)->flags |= WF_HIDDEN;
    screen.raw = true;
    screen.term_columns = 40;
    screen.term_rows = 10;
    request_full_redraw();
    render_frame();
    EXPECT_EQ(row(0), U"....................");
    pass("\x1b[<0;3;1M\x1b[<0;3;1m");
    EXPECT_EQ(log().find("\"OK\""), std::string::npos);
}

TEST_F(TuiWidgets, ATerminalWithoutASize) {
    fake.tty.columns = 0;
    EXPECT_FALSE(tty_get_size());
    EXPECT_EQ(session.columns, 80);
    EXPECT_EQ(session.rows, 24);
}

// Faces laid out and shown by the View engine itself: an image facet as
// half blocks, two pixels a cell.
TEST_F(TuiWidgets, ImagesAsHalfBlocks) {
    run("system/view: tui-test-saved");
    run("img: make image! [2x4 0.0.255] poke img 2 255.0.0 poke img 5 0.0.0.255 "
        "view/no-wait [image 2x2 img]");
    Widget* win = get(windows.current);
    ASSERT_TRUE(win);
    screen.raw = true;
    screen.term_columns = 40;
    screen.term_rows = 10;
    request_full_redraw();
    render_frame();
    i32 x = 0, y = 0;
    bool found = false;
    for (i32 r = 0; r < screen.height && !found; r++)
        for (i32 c = 0; c < screen.width && !found; c++)
            if (screen.at(c, r).cp == 0x2584) x = c, y = r, found = true;
    ASSERT_TRUE(found);
    // Upper pixels are backgrounds, lower ones foregrounds; a transparent
    // upper pixel leaves a blank.
    EXPECT_EQ(screen.at(x, y).bg, color_support == 4 ? color_rgb(0, 0, 255) : color256(21));
    EXPECT_EQ(screen.at(x + 1, y).bg, color_support == 4 ? color_rgb(255, 0, 0) : color256(196));
    EXPECT_EQ(screen.at(x, y + 1).cp, 32u);
    run("unview/all");
}

// Keys from the terminal with standard output sent to a file: a whole loop
// (mouse reports wanted, a field with its caret) writes no sequence there,
// and the terminal's modes come back.
TEST_F(TuiWidgets, OutputToAFileGetsNoSequences) {
    run("system/view: tui-test-saved system/view/platform/mouse-event?: true");
    const char* const ui = "n: 0 view [f: field 10 text \"x\" rate 20 on-time [n: n + 1 if n = 3 [unview]]]";
    fake.tty.output = false;
    run(ui);
    EXPECT_EQ(fake.tty.take(), "");
    EXPECT_FALSE(fake.tty.raw);
    // The same on the terminal: mouse reports, the cursor report, the
    // frames, and all of it switched off again.
    fake.tty.output = true;
    run(ui);
    std::string bytes = fake.tty.take();
    for (const char* s : {"\x1b[?1000h", "\x1b[6n", "\x1b[0J", "\x1b[?1000l"})
        EXPECT_NE(bytes.find(s), std::string::npos) << s;
    EXPECT_FALSE(fake.tty.raw);
    run("system/view/platform/mouse-event?: false");
}

// With the View engine's event functions: a radio clicked (or toggled with
// Space) tells its face once; a click below a text list's last item picks
// nothing.
TEST_F(TuiWidgets, ClicksOnRadiosAndTextLists) {
    run("system/view: tui-test-saved");
    run("system/view/platform/mouse-event?: true changes: copy [] "
        "view/no-wait [at 0x0 r1: radio \"A\" on-change [append changes 'r1] "
        "at 10x0 r2: radio \"B\" on-change [append changes 'r2] "
        "at 0x2 tl: text-list 10x4 data [\"a\" \"b\"] on-change [append changes event/picked]]");
    // Terminal rows and columns from 1; the UI's top on row 1.
    auto click = [&](int column, int row) {
        std::string at = std::to_string(column) + ";" + std::to_string(row);
        pass("\x1b[<0;" + at + "M\x1b[<0;" + at + "m");
    };
    click(2, 1);
    click(12, 1);
    EXPECT_EQ(test::mold(run("reduce [changes r1/data r2/data]")), "[[r1 r2] false true]");
    click(2, 4);
    click(2, 6);  // the fourth row of the list: no item there
    EXPECT_EQ(test::mold(run("reduce [changes tl/selected]")), "[[r1 r2 2] 2]");
    run("unview/all system/view/platform/mouse-event?: false");
}

// An alert's message longer than the box is broken at a space, not cut.
TEST_F(TuiWidgets, ALongAlertShowsAllOfItsMessage) {
    run("system/view: tui-test-saved");
    run("tui-test-size: system/view/screens/1/size system/view/screens/1/size: 40x10");
    fake.tty.input = "\r";  // Enter closes it
    run("alert \"one two three four five six seven eight nine ten eleven\"");
    std::string bytes = fake.tty.take();
    EXPECT_NE(bytes.find("one two three four five six "), std::string::npos);
    EXPECT_NE(bytes.find("seven eight nine ten eleven"), std::string::npos);
    run("system/view/screens/1/size: tui-test-size");
}

// Setting a radio clears the radios of its own panel only; a group box with
// round corners draws them.
TEST_F(TuiWidgets, RadiosOfAPanelAndARoundGroupBox) {
    run("system/view: tui-test-saved");
    run("system/view/platform/mouse-event?: true "
        "view/no-wait [at 0x0 panel 20x1 [at 0x0 a1: radio \"a\" data true at 8x0 a2: radio \"b\"] "
        "at 0x2 panel 20x1 [at 0x0 b1: radio \"c\" data true] "
        "at 0x4 group-box 10x3 \"G\" options [border-corners: round]]");
    pass("\x1b[<0;10;1M\x1b[<0;10;1m");
    EXPECT_EQ(test::mold(run("reduce [a1/data a2/data b1/data]")), "[false true true]");
    EXPECT_EQ(row(4).substr(0, 3), U"\u256dG\u2500");
    run("unview/all system/view/platform/mouse-event?: false");
}

// A window shown without waiting does not make the next loop a nested one:
// that loop still takes the terminal (raw mode, then the cursor report it
// asks for) and gives it back.
TEST_F(TuiWidgets, AWindowShownWithoutWaitingBeforeALoop) {
    run("system/view: tui-test-saved");
    run("w1: view/no-wait [text \"first\"]");
    fake.tty.take();
    run("n: 0 view [text \"second\" rate 20 on-time [n: n + 1 if n = 2 [unview]]] unview/only w1");
    EXPECT_NE(fake.tty.take().find("\x1b[6n"), std::string::npos);
    EXPECT_FALSE(fake.tty.raw);
}

// A click whose actor closes the window while the press and release are
// still on their way through the widgets (and a second click that finds
// nothing there any more).
TEST_F(TuiWidgets, AClickThatClosesItsWindow) {
    run("system/view: tui-test-saved");
    run("system/view/platform/mouse-event?: true clicks: 0 "
        "view/no-wait [at 0x0 panel 10x2 [at 0x0 button \"X\" [clicks: clicks + 1 unview]]]");
    pass("\x1b[<0;2;1M\x1b[<0;2;1m\x1b[<0;2;1M\x1b[<0;2;1m");
    release_dead();
    EXPECT_EQ(test::mold(run("reduce [clicks empty? system/view/screens/1/pane]")), "[1 true]");
    EXPECT_EQ(live_count(), 0u);
    run("system/view/platform/mouse-event?: false");
}

// The dragging event function: a face follows the pointer while the button
// is held, inside the box its on-drag-start actor gives.
TEST_F(TuiWidgets, DraggingAFace) {
    run("system/view: tui-test-saved");
    run("system/view/platform/mouse-event?: true "
        "view/no-wait [size 30x6 at 2x2 d: base 3x1 options [drag-on: 'down] "
        "on-drag-start [object [min: 0x0 max: 10x3]]]");
    EXPECT_EQ(test::mold(run("d/offset")), "2x2");
    // Press on it (terminal rows from 1, the UI's top at row 0), move right
    // and down with the button held, release.
    pass("\x1b[<35;4;3M\x1b[<0;4;3M\x1b[<32;7;4M\x1b[<32;9;4M\x1b[<0;9;4m");
    EXPECT_EQ(test::mold(run("d/offset")), "7x3");
    // Moves after the release leave it where it is.
    pass("\x1b[<35;3;3M");
    EXPECT_EQ(test::mold(run("d/offset")), "7x3");
    // The box holds it: far to the right stops at 10.
    pass("\x1b[<35;9;4M\x1b[<0;9;4M\x1b[<32;30;4M\x1b[<0;30;4m");
    EXPECT_EQ(test::mold(run("d/offset")), "10x3");
    run("unview/all system/view/platform/mouse-event?: false");
}

}  // namespace
