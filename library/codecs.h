// The binary codecs' routines: the zavbin codec's encoder and decoder as the
// codec object in system/codecs calls them.
#pragma once

namespace zav::codecs {

// zavbin-encode*: data [any-type!] compact? [logic!]; a new binary! with the
// whole ZAVBIN image of the data, in the compact form or the fixed-width one.
void zavbin_encode_star();
// zavbin-decode: payload [any-type!]; a file! or url! is read whole as bytes
// first; the only value decoded, or a block of them. Anything but a binary!
// of more than 10 bytes raises script/invalid-data.
void zavbin_decode();

}  // namespace zav::codecs
