// Console input: the bytes of the terminal decoded into keys (UTF-8
// characters, control keys, CSI and SS3 sequences with their modifiers),
// SGR mouse reports and cursor position reports.
#pragma once
#include <vector>

#include "runtime/common.h"

namespace zav::gui {

// Special keys: negative codes, each with its word for event/key.
enum SpecialKey : i32 {
    KEY_UP = -20, KEY_DOWN = -21, KEY_RIGHT = -22, KEY_LEFT = -23, KEY_END = -24, KEY_HOME = -25,
    KEY_INSERT = -26, KEY_DELETE = -27, KEY_PAGE_UP = -28, KEY_PAGE_DOWN = -29,
    KEY_F1 = -31, KEY_F2 = -32, KEY_F3 = -33, KEY_F4 = -34, KEY_F5 = -35, KEY_F6 = -36, KEY_F7 = -37,
    KEY_F8 = -38, KEY_F9 = -39, KEY_F10 = -40, KEY_F11 = -41, KEY_F12 = -42,
};
// The special code of Shift-Tab as the decoder hands it on.
constexpr i32 SPECIAL_BACK_TAB = 10;

// Event flags (as an event! holds them).
constexpr u32 FLAG_SPECIAL_KEY = 0x1;
constexpr u32 FLAG_AUX_DOWN = 0x400000;
constexpr u32 FLAG_ALT_DOWN = 0x800000;
constexpr u32 FLAG_MID_DOWN = 0x1000000;
constexpr u32 FLAG_DOWN = 0x2000000;
constexpr u32 FLAG_AWAY = 0x4000000;
constexpr u32 FLAG_CONTROL = 0x10000000;
constexpr u32 FLAG_SHIFT = 0x20000000;
constexpr u32 FLAG_ALT = 0x40000000;

// Event type codes.
enum EventType : u32 {
    EVT_DOWN = 1, EVT_UP, EVT_MID_DOWN, EVT_MID_UP, EVT_ALT_DOWN, EVT_ALT_UP, EVT_AUX_DOWN, EVT_AUX_UP, EVT_CLICK,
    EVT_DBL_CLICK, EVT_WHEEL, EVT_OVER, EVT_KEY, EVT_KEY_DOWN, EVT_KEY_UP, EVT_IME, EVT_FOCUS, EVT_UNFOCUS,
    EVT_ENTER, EVT_ZOOM, EVT_PAN, EVT_ROTATE, EVT_TWO_TAP, EVT_PRESS_TAP, EVT_SELECT, EVT_CHANGE, EVT_MENU,
    EVT_CLOSE, EVT_MOVE, EVT_RESIZE, EVT_MOVING, EVT_RESIZING, EVT_TIME, EVT_DRAWING, EVT_SCROLL, EVT_MINIMIZE,
    EVT_MAXIMIZE, EVT_RESTORE, EVT_TYPE_COUNT = EVT_RESTORE
};

// Where decoded input goes: the event loop, or a recorder in tests.
class InputSink {
public:
    virtual ~InputSink() = default;
    // A key: a code point or control code with special 0, or a special key
    // code (or SPECIAL_BACK_TAB) with code 0; flags hold the modifiers.
    virtual void key(i32 code, i32 special, u32 flags) = 0;
    // The pointer moved (x, y in screen cells from the UI's top-left); drag
    // is set while a button is held.
    virtual void mouse_move(float x, float y, u32 flags) = 0;
    // A button went down or up: type is EVT_DOWN .. EVT_ALT_UP.
    virtual void button(u32 type, float x, float y, u32 flags) = 0;
    // The wheel turned by +1 or -1.
    virtual void wheel(float amount, float x, float y, u32 flags) = 0;
};

class InputDecoder {
public:
    // Appends bytes read from the terminal.
    void append(const u8* bytes, size_t n);
    // Decodes the pending bytes, handing each item to the sink as soon as it
    // is taken from the buffer (so that a handler that reads input again
    // finds the rest). An item cut by the end of the buffer waits for more
    // bytes; `stale` says that nothing came since the last call, so that a
    // lone ESC is the Escape key and a sequence that never ended is dropped.
    // True when the buffer was used up.
    bool process(InputSink& sink, bool stale);
    void clear();
    // Nothing waits: no bytes, and no sequence cut short whose rest is still to be skipped.
    bool empty() const { return pos_ == buffer_.size() && !skipping_; }

    // From the last cursor position report: the UI's top row and left column.
    i32 top_row = 0, left_column = 0;
    // Rows between the UI's top and the cursor when the report was asked for.
    i32 report_offset = 0;
    // A cursor report arrived since this was last cleared; reports arrived in all.
    bool cursor_reported = false;
    u32 reports = 0;

private:
    enum class Item { DONE, INCOMPLETE };
    // One item taken from the buffer's front, then delivered.
    Item parse(InputSink& sink, bool stale);
    Item parse_escape(InputSink& sink, bool stale);
    Item parse_csi(InputSink& sink, size_t from);
    void mouse_event(InputSink& sink, i32 b, i32 column, i32 row, bool press);
    // The bytes not yet taken: from pos_ on, so that taking an item costs
    // nothing however much was pasted.
    size_t size() const { return buffer_.size() - pos_; }
    u8 at(size_t i) const { return buffer_[pos_ + i]; }
    void take(size_t n);
    // Drops what is pending of a sequence that ran too long; the rest of it
    // is skipped as it comes, up to its end.
    void drop_long(u8 kind);
    bool skip_rest();
    std::vector<u8> buffer_;
    size_t pos_ = 0;
    // What a dropped sequence was ('[' or a string's 'P' or ']'), 0 when none.
    u8 skipping_ = 0;
    i32 last_button_state_ = 1;  // 0 after a press report, 1 after a release
};

// The special key of a CSI or SS3 sequence: `intro` is '[' or 'O', params
// its numeric parameters, final its last byte; 0 when it means nothing.
// *flags receives the modifiers of a modified key.
i32 decode_vt_key(u8 intro, const i32* params, u32 count, u8 final, u32* flags);

}  // namespace zav::gui
