// The image codecs' routines over the image datatype's decode and encode.
#include "library/image_codecs.h"

#include "datatypes/image.h"
#include "runtime/stack.h"

namespace zav::image_codecs {

namespace {

void encode_as(i32 format) {
    stack::TopGuard guard;
    *stack::arguments = *image::encode(stack::arguments, nullptr, format);
}

}  // namespace

void encode_png() { encode_as(image::IMAGE_PNG); }
void encode_jpeg() { encode_as(image::IMAGE_JPEG); }
void encode_bmp() { encode_as(image::IMAGE_BMP); }
void encode_gif() { encode_as(image::IMAGE_GIF); }
void encode_tiff() { encode_as(image::IMAGE_TIFF); }

void decode() {
    stack::TopGuard guard;
    *stack::arguments = *image::decode(stack::arguments);
}

}  // namespace zav::image_codecs
