// The image codecs' routines: the encode and decode fields of the png, jpeg,
// bmp, gif and tiff codec objects in system/codecs.
#pragma once

namespace zav::image_codecs {

// image-encode-FORMAT: img [image!] where [any-type!]; a new binary! of the
// image encoded in that format (where, a file or none, is not written to).
void encode_png();
void encode_jpeg();
void encode_bmp();
void encode_gif();
void encode_tiff();
// image-decode: data [any-type!]; an image! from a binary! (none when it
// begins with no known signature) or from a file!.
void decode();

}  // namespace zav::image_codecs
