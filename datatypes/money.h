// money!: the sign accessors that hashing needs.
#pragma once
#include "datatypes/cell.h"

namespace zav::money {

constexpr u32 MONEY_SIGN = 0x4000;  // header bit 14: negative amount

inline bool get_sign(const Cell* c) { return (c->header & MONEY_SIGN) != 0; }
inline void set_sign(Cell* c, bool negative) {
    c->header = negative ? (c->header | MONEY_SIGN) : (c->header & ~MONEY_SIGN);
}

}  // namespace zav::money
