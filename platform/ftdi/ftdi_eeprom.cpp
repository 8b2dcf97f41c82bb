// ftdi_eeprom.cpp - locating, patching and checksumming the EEPROM user area of
// FTDI chips on an in-memory image (no device access here).
#include "ftdi_eeprom.h"

#include <cstring>

namespace ftdi::eeprom {
namespace {

// First byte after the configuration header of each chip type: a string
// descriptor may not start below it.
size_t HeaderEnd(Chip chip)
{
    switch (chip) {
    case Chip::AM:
    case Chip::BM: return 0x14;
    case Chip::FT2232C: return 0x15;
    case Chip::R: return 0x17;
    case Chip::FT2232H:
    case Chip::FT4232H: return 0x19;
    case Chip::FT232H: return 0x1F;
    case Chip::FT230X: return 0x21;
    case Chip::Unknown: break;
    }
    return 0;
}

bool HasPnpTrailer(Chip chip) { return chip != Chip::AM && chip != Chip::BM; }

}   // namespace

size_t DetectSize(Chip chip, const uint8_t *image, size_t len)
{
    if (chip == Chip::R || len < kMaxImage)
        return len < 128 ? len : 128;
    return std::memcmp(image, image + 128, 128) == 0 ? 128 : 256;
}

uint16_t Checksum(Chip chip, const uint8_t *image, size_t size)
{
    uint16_t sum = 0xAAAA;
    for (size_t w = 0; w + 1 < size / 2; ++w) {
        if (chip == Chip::FT230X && w >= 0x12 && w < 0x40)
            continue;
        const uint16_t value = uint16_t(image[2 * w] | image[2 * w + 1] << 8);
        sum ^= value;
        sum = uint16_t(sum << 1 | sum >> 15);
    }
    return sum;
}

bool Locate(Chip chip, const uint8_t *image, size_t size, UserArea *area)
{
    if (chip == Chip::Unknown || (size != 128 && size != 256) || !image)
        return false;
    const size_t checksumAt = size - 2;
    if (Checksum(chip, image, size) != uint16_t(image[checksumAt] | image[checksumAt + 1] << 8))
        return false;
    size_t end = 0;
    for (size_t h = 0x0E; h <= 0x12; h += 2) {
        const size_t len = image[h + 1];
        if (len == 0)
            continue;   // no such string
        const size_t at = image[h] & (size - 1);
        if (len < 2 || len % 2 || at < HeaderEnd(chip) || at + len > checksumAt)
            return false;
        if (image[at] != len || image[at + 1] != 0x03)
            return false;
        if (at + len > end)
            end = at + len;
    }
    if (end == 0)
        return false;   // no string table at all: not a programmed layout
    if (chip == Chip::FT230X) {
        // The FT-X chips keep a user area of their own in the MTP memory,
        // words 0x12..0x3F, which the checksum leaves out (the strings and
        // the factory data at 0x80..0x9F are behind it).
        if (size != 256)
            return false;
        area->offset = kFtxUserArea;
        area->size = kFtxUserAreaEnd - kFtxUserArea;
        return true;
    }
    if (HasPnpTrailer(chip) && end + 4 <= checksumAt && image[end] == 0x02 && image[end + 1] == 0x03 &&
        image[end + 2] <= 1 && image[end + 3] == 0x00)
        end += 4;
    area->offset = end;
    area->size = checksumAt - end;
    return true;
}

bool Patch(Chip chip, uint8_t *image, size_t size, const uint8_t *data, size_t n)
{
    UserArea ua;
    if (!Locate(chip, image, size, &ua) || n > ua.size)
        return false;
    if (n)
        std::memcpy(image + ua.offset, data, n);
    const uint16_t sum = Checksum(chip, image, size);
    image[size - 2] = uint8_t(sum & 0xFF);
    image[size - 1] = uint8_t(sum >> 8);
    return true;
}

}   // namespace ftdi::eeprom
