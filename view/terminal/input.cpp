// The input decoder.
#include "view/terminal/input.h"

#include <algorithm>

#include "runtime/unicode.h"

namespace zav::gui {

namespace {

// Parameters past the fourth are ignored and values stop growing here: no
// input, however odd, overflows the store or the numbers.
constexpr u32 MAX_PARAMS = 4;
constexpr i32 PARAM_LIMIT = 1000000;
// A sequence that has run this long without its final byte is dropped, and
// the rest of it skipped as it comes.
constexpr size_t MAX_SEQUENCE = 256;

i32 control_key(u8 b) { return b == 8 ? 127 : b == 10 ? 13 : b; }

u32 modifier_flags(i32 param) {
    if (param < 2) return 0;
    u32 m = static_cast<u32>(param - 1);
    u32 flags = 0;
    if (m & 1) flags |= FLAG_SHIFT;
    if (m & (2 | 8)) flags |= FLAG_ALT;
    if (m & 4) flags |= FLAG_CONTROL;
    return flags;
}

}  // namespace

i32 decode_vt_key(u8 intro, const i32* params, u32 count, u8 final, u32* flags) {
    *flags = count >= 2 ? modifier_flags(params[1]) : 0;
    switch (final) {
        case 'A': return KEY_UP;
        case 'B': return KEY_DOWN;
        case 'C': return KEY_RIGHT;
        case 'D': return KEY_LEFT;
        case 'F': return KEY_END;
        case 'H': return KEY_HOME;
        case 'P': return KEY_F1;
        case 'Q': return KEY_F2;
        case 'R': return KEY_F3;
        case 'S': return KEY_F4;
        case 'Z': return intro == '[' ? SPECIAL_BACK_TAB : 0;
        default: break;
    }
    if (intro != '[' || final != '~' || count == 0) return 0;
    switch (params[0]) {
        case 1: case 7: return KEY_HOME;
        case 4: case 8: return KEY_END;
        case 3: return KEY_DELETE;
        case 5: return KEY_PAGE_UP;
        case 6: return KEY_PAGE_DOWN;
        case 11: return KEY_F1;
        case 12: return KEY_F2;
        case 13: return KEY_F3;
        case 14: return KEY_F4;
        case 15: return KEY_F5;
        case 17: return KEY_F6;
        case 18: return KEY_F7;
        case 19: return KEY_F8;
        case 20: return KEY_F9;
        case 21: return KEY_F10;
        case 23: return KEY_F11;
        case 24: return KEY_F12;
        default: return 0;
    }
}

void InputDecoder::append(const u8* bytes, size_t n) {
    // What was taken is given back before the buffer grows.
    if (pos_ == buffer_.size()) {
        buffer_.clear();
        pos_ = 0;
    } else if (pos_ >= 4096) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos_));
        pos_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + n);
}

void InputDecoder::clear() {
    buffer_.clear();
    pos_ = 0;
    skipping_ = 0;
}

void InputDecoder::take(size_t n) { pos_ += std::min(n, size()); }

void InputDecoder::drop_long(u8 kind) {
    take(2);
    skipping_ = kind;
}

bool InputDecoder::skip_rest() {
    for (size_t i = 0; i < size(); i++) {
        u8 b = at(i);
        bool end = skipping_ == '[' ? (b >= 64 && b <= 126 && b != '[') || b == 27
                                    : (b == 27 && i + 1 < size() && at(i + 1) == '\\') || (skipping_ == ']' && b == 7);
        if (!end) continue;
        // An ESC inside a control sequence begins the next one.
        take(skipping_ == '[' ? (b == 27 ? i : i + 1) : (b == 7 ? i + 1 : i + 2));
        skipping_ = 0;
        return true;
    }
    // A string's ESC may still be waiting for its backslash.
    take(skipping_ != '[' && size() > 0 && at(size() - 1) == 27 ? size() - 1 : size());
    return false;
}

bool InputDecoder::process(InputSink& sink, bool stale) {
    // A pass without input ends whatever was being skipped: what comes next is new.
    if (stale) skipping_ = 0;
    for (;;) {
        if (skipping_ && !skip_rest()) return true;
        if (size() == 0) return true;
        if (parse(sink, stale) == Item::INCOMPLETE) return false;
    }
}

InputDecoder::Item InputDecoder::parse(InputSink& sink, bool stale) {
    const u8 b = at(0);
    if (b == 27) {
        if (size() == 1) {
            if (!stale) return Item::INCOMPLETE;
            take(1);
            sink.key(27, 0, 0);
            return Item::DONE;
        }
        return parse_escape(sink, stale);
    }
    if (b < 32 || b == 127) {
        take(1);
        sink.key(control_key(b), 0, 0);
        return Item::DONE;
    }
    const u8* p = buffer_.data() + pos_;
    const u8* end = p + size();
    i32 cp;
    const u8* next = unicode::fast_decode_utf8_char(p, end, &cp);
    if (cp < 0) {
        // Cut off by the end of what was read: wait for the rest. Bytes that
        // can never form a character are dropped.
        u32 lead = unicode::utf8_lead_length(b);
        bool cut = lead > 0 && next == end && static_cast<size_t>(end - p) < lead;
        if (cut && !stale) return Item::INCOMPLETE;
        take(static_cast<size_t>(std::max<std::ptrdiff_t>(next - p, 1)));
        return Item::DONE;
    }
    take(static_cast<size_t>(next - p));
    sink.key(cp, 0, 0);
    return Item::DONE;
}

InputDecoder::Item InputDecoder::parse_escape(InputSink& sink, bool stale) {
    const u8 c = at(1);
    if (c == 'P' || c == ']') {
        // A device control or operating system string: skipped up to its
        // terminator (ESC "\", or BEL after an OSC).
        for (size_t i = 2; i < size(); i++) {
            if ((at(i) == 27 && i + 1 < size() && at(i + 1) == '\\') || (c == ']' && at(i) == 7)) {
                take(at(i) == 7 ? i + 1 : i + 2);
                return Item::DONE;
            }
        }
        if (stale) {
            take(size());
            return Item::DONE;
        }
        if (size() > MAX_SEQUENCE) {
            drop_long(c);
            return Item::DONE;
        }
        return Item::INCOMPLETE;
    }
    if (c == '[') {
        Item item = parse_csi(sink, 2);
        if (item == Item::INCOMPLETE && stale) {
            take(size());
            return Item::DONE;
        }
        if (item == Item::INCOMPLETE && size() > MAX_SEQUENCE) {
            drop_long('[');
            return Item::DONE;
        }
        return item;
    }
    if (c == 'O') {
        if (size() < 3) {
            if (!stale) return Item::INCOMPLETE;
            take(2);
            sink.key('O', 0, FLAG_ALT);
            return Item::DONE;
        }
        u8 final = at(2);
        take(3);
        u32 flags;
        i32 special = decode_vt_key('O', nullptr, 0, final, &flags);
        if (special) sink.key(0, special, flags);
        return Item::DONE;
    }
    if (c == 27 || c >= 0x80) {
        // Escape pressed twice, or before a character that is more than a
        // byte: the first ESC is the Escape key.
        take(1);
        sink.key(27, 0, 0);
        return Item::DONE;
    }
    // ESC before a key: that key with Alt.
    take(2);
    sink.key(c < 32 || c == 127 ? control_key(c) : c, 0, FLAG_ALT);
    return Item::DONE;
}

InputDecoder::Item InputDecoder::parse_csi(InputSink& sink, size_t from) {
    i32 params[MAX_PARAMS] = {0, 0, 0, 0};
    u32 count = 0;
    i32 current = 0;
    bool mouse = false;
    auto store = [&] {
        if (count < MAX_PARAMS) params[count] = current;
        count++;
        current = 0;
    };
    for (size_t i = from; i < size(); i++) {
        u8 b = at(i);
        if (b == '<') {
            mouse = true;
        } else if (b >= '0' && b <= '9') {
            current = std::min(current * 10 + (b - '0'), PARAM_LIMIT);
        } else if (b == ';') {
            store();
        } else if (b == 27) {
            // A new sequence began before this one ended: this one is dropped.
            take(i);
            return Item::DONE;
        } else if (b >= 64 && b <= 126 && b != '[') {
            store();
            take(i + 1);
            if ((b == 'M' || b == 'm') && count == 3 && mouse) {
                mouse_event(sink, params[0], params[1], params[2], b == 'M');
            } else if (b == 'R' && count == 2 && !mouse) {
                top_row = params[0] - 1 - report_offset;
                left_column = params[1] - 1;
                cursor_reported = true;
                reports++;
            } else if (!mouse) {
                u32 flags;
                i32 special = decode_vt_key('[', params, std::min(count, MAX_PARAMS), b, &flags);
                if (special) sink.key(0, special, flags);
            }
            return Item::DONE;
        }
    }
    return Item::INCOMPLETE;
}

void InputDecoder::mouse_event(InputSink& sink, i32 b, i32 column, i32 row, bool press) {
    i32 button = (b & 3) | ((b & 0x40) >> 4);
    float x = static_cast<float>(column - 1);
    float y = static_cast<float>(row - top_row - 1);
    u32 flags = static_cast<u32>((b >> 2) & 3) * 0x20000000u;
    if (b & 0x10) flags |= FLAG_CONTROL;
    i32 state = press ? 0 : 1;
    switch (button) {
        case 0: case 1: case 2:
            if (state != last_button_state_) {
                last_button_state_ = state;
                sink.button(static_cast<u32>(button * 2 + state + 1), x, y, flags);
            } else {
                sink.mouse_move(x, y, flags | FLAG_DOWN);
            }
            break;
        case 3: sink.mouse_move(x, y, flags); break;
        case 4: sink.wheel(1.0f, x, y, flags); break;
        case 5: sink.wheel(-1.0f, x, y, flags); break;
        default: break;
    }
}

}  // namespace zav::gui
