// ftdi_eeprom.h - the EEPROM user area of FTDI chips as pure functions on an
// EEPROM image: find the area, patch it, fix the checksum. The libftdi backend
// reads the image from the chip, patches it here and writes back only the
// words that changed.
//
// Layout (all supported chips): a configuration header, then three USB string
// descriptors (manufacturer, product, serial) whose byte offsets and lengths
// the header holds at 0x0E..0x13, on chips newer than the BM a 4-byte legacy
// PnP trailer [02 03 xx 00] after them, and the checksum in the last word. The
// user area is the space between the end of the strings (and trailer) and the
// checksum. The FT230X (FT-X family) is the exception: its MTP memory has a
// user area of its own at bytes 0x24..0x7F, outside the checksum, and the name
// lives there. An image whose checksum or string table doesn't match this layout
// is not identified: the chip has no user area the backend can use.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ftdi::eeprom {

enum class Chip { AM, BM, FT2232C, R, FT2232H, FT4232H, FT232H, FT230X, Unknown };

constexpr size_t kMaxImage = 256;                               // bytes libftdi reads from a chip
constexpr size_t kFtxUserArea = 0x24, kFtxUserAreaEnd = 0x80;   // FT230X user area (bytes)

// Size of the EEPROM behind an image of `len` (<= kMaxImage) bytes read from
// chip `chip`: 128 for the FT232R's internal EEPROM and for a 93C46 (whose
// second half repeats the first), else 256.
size_t DetectSize(Chip chip, const uint8_t *image, size_t len);

// The checksum of the first `size` bytes as the chips compute it (0xAAAA, XOR
// and rotate over every word but the last; the FT230X leaves out its user
// section, words 0x12..0x3F).
uint16_t Checksum(Chip chip, const uint8_t *image, size_t size);

struct UserArea {
    size_t offset = 0;   // byte offset in the image
    size_t size = 0;     // bytes up to the checksum word
};

// Finds the user area of a `size`-byte image (128 or 256); false when the
// layout isn't identified (unknown chip, bad checksum, bad string table).
bool Locate(Chip chip, const uint8_t *image, size_t size, UserArea *area);

// Copies `n` bytes to the start of the user area of `image` and updates the
// checksum; nothing else changes. False (image untouched) when the layout isn't
// identified or the area is smaller than `n`.
bool Patch(Chip chip, uint8_t *image, size_t size, const uint8_t *data, size_t n);

}   // namespace ftdi::eeprom
