// eeprom_test.cpp - the EEPROM user-area logic on images of every supported
// chip type: images built by libftdi's own EEPROM builder (it needs no device
// for this) and, for the FT230X, written from the chip's documented layout.
#include <gtest/gtest.h>

#include <libftdi1/ftdi.h>

#include <cstring>
#include <string>
#include <vector>

#include "ftdi_eeprom.h"
#include "ftdi_emulator.h"

namespace {

namespace ee = ftdi::eeprom;
using Image = std::vector<uint8_t>;

// libftdi's builder for chip `type` with an EEPROM of `eepromChip` (0x46: 128
// bytes, 0x56: 256).
Image LibftdiImage(ftdi_chip_type type, int eepromChip, const char *product, const char *serial)
{
    Image img = kxemu::LibftdiEeprom(type, eepromChip, "ACME", product, serial);
    EXPECT_FALSE(img.empty());
    return img;
}

void SealChecksum(ee::Chip chip, Image &img)
{
    const uint16_t sum = ee::Checksum(chip, img.data(), img.size());
    img[img.size() - 2] = uint8_t(sum);
    img[img.size() - 1] = uint8_t(sum >> 8);
}

// FT230X (256-byte MTP, from the chip's documented layout): strings from 0xA0,
// the PnP trailer after them, a user section at 0x24..0x7F outside the
// checksum, factory data at 0x80..0x9F.
Image Ft230xImage()
{
    Image img = kxemu::ProgrammedEeprom(kxemu::Kind::FT230X, "FTDI", "TRUV-RZDO", "FT12AB34");
    for (size_t i = 0x24; i < 0x80; ++i)
        img[i] = uint8_t(i * 7);   // user section: not in the checksum
    SealChecksum(ee::Chip::FT230X, img);
    return img;
}

struct Fixture {
    const char *name;
    ee::Chip chip;
    Image image;
    size_t stringsEnd;   // first byte after the serial descriptor (FT230X: its own user area)
    bool trailer;
};

std::vector<Fixture> Fixtures()
{
    // Product "TRUV-kq4" (18-byte descriptor), serial "SER12345" (18), "ACME" (10).
    const size_t strings = 10 + 18 + 18;
    std::vector<Fixture> f = {
        {"AM", ee::Chip::AM, LibftdiImage(TYPE_AM, 0x46, "TRUV-kq4", "SER12345"), 0x14 + strings, false},
        {"BM", ee::Chip::BM, LibftdiImage(TYPE_BM, 0x46, "TRUV-kq4", "SER12345"), 0x14 + strings, false},
        {"2232C", ee::Chip::FT2232C, LibftdiImage(TYPE_2232C, 0x46, "TRUV-kq4", "SER12345"), 0x16 + strings, true},
        {"R", ee::Chip::R, LibftdiImage(TYPE_R, 0x46, "TRUV-kq4", "SER12345"), 0x18 + strings, true},
        {"2232H", ee::Chip::FT2232H, LibftdiImage(TYPE_2232H, 0x46, "TRUV-kq4", "SER12345"), 0x1A + strings, true},
        {"4232H", ee::Chip::FT4232H, LibftdiImage(TYPE_4232H, 0x46, "TRUV-kq4", "SER12345"), 0x1A + strings, true},
        {"2232H 93C56", ee::Chip::FT2232H, LibftdiImage(TYPE_2232H, 0x56, "TRUV-kq4", "SER12345"), 0x9A + strings,
         true},
        {"232H 93C56", ee::Chip::FT232H, LibftdiImage(TYPE_232H, 0x56, "TRUV-kq4", "SER12345"), 0xA0 + strings, true},
        {"230X", ee::Chip::FT230X, Ft230xImage(), 0x24, false},
    };
    return f;
}

TEST(EepromUserArea, LocatesTheAreaAfterTheStringsOfEveryChip)
{
    for (const Fixture &f : Fixtures()) {
        SCOPED_TRACE(f.name);
        ASSERT_TRUE(f.image.size() == 128 || f.image.size() == 256);
        // The builder's checksum is ours.
        const size_t n = f.image.size();
        EXPECT_EQ(ee::Checksum(f.chip, f.image.data(), n), f.image[n - 2] | f.image[n - 1] << 8);
        ee::UserArea ua;
        ASSERT_TRUE(ee::Locate(f.chip, f.image.data(), n, &ua));
        EXPECT_EQ(ua.offset, f.stringsEnd + (f.trailer ? 4 : 0));
        EXPECT_EQ(ua.size, (f.chip == ee::Chip::FT230X ? 0x80 : n - 2) - ua.offset);
        EXPECT_GE(ua.size, 10u);
    }
}

TEST(EepromUserArea, PatchChangesOnlyTheAreaAndTheChecksum)
{
    const uint8_t name[10] = {'B', 'e', 'n', 'c', 'h', ' ', 'l', 'e', 'f', 't'};
    for (const Fixture &f : Fixtures()) {
        SCOPED_TRACE(f.name);
        const size_t n = f.image.size();
        ee::UserArea ua;
        ASSERT_TRUE(ee::Locate(f.chip, f.image.data(), n, &ua));
        Image img = f.image;
        ASSERT_TRUE(ee::Patch(f.chip, img.data(), n, name, sizeof name));
        for (size_t i = 0; i < n; ++i) {
            const bool inArea = i >= ua.offset && i < ua.offset + sizeof name;
            const bool checksum = i >= n - 2;
            if (!inArea && !checksum) {
                ASSERT_EQ(img[i], f.image[i]) << "byte " << i;
            }
        }
        EXPECT_EQ(0, std::memcmp(&img[ua.offset], name, sizeof name));
        // Still identified, at the same place (a second rename finds it again).
        ee::UserArea again;
        ASSERT_TRUE(ee::Locate(f.chip, img.data(), n, &again));
        EXPECT_EQ(again.offset, ua.offset);
        const uint8_t other[3] = {'X', 0, 0};
        ASSERT_TRUE(ee::Patch(f.chip, img.data(), n, other, sizeof other));
        EXPECT_EQ(img[ua.offset], 'X');
        EXPECT_EQ(img[ua.offset + 3], 'c');   // beyond the 3 bytes: kept
        // The whole area fits; one byte more does not.
        Image full = f.image;
        const Image fill(ua.size, 0x41);
        EXPECT_TRUE(ee::Patch(f.chip, full.data(), n, fill.data(), fill.size()));
        Image over = f.image;
        const Image tooMuch(ua.size + 1, 0x41);
        EXPECT_FALSE(ee::Patch(f.chip, over.data(), n, tooMuch.data(), tooMuch.size()));
        EXPECT_EQ(over, f.image);
    }
}

TEST(EepromUserArea, UnidentifiedLayoutsAreNeitherReadNorWritten)
{
    const Fixture r = Fixtures()[3];
    ASSERT_STREQ(r.name, "R");
    auto with = [&](auto change) {
        Image img = r.image;
        change(img);
        return img;
    };
    auto resealed = [&](auto change) {
        Image img = with(change);
        SealChecksum(r.chip, img);
        return img;
    };
    struct Case {
        const char *name;
        ee::Chip chip;
        Image image;
    } cases[] = {
        {"blank", r.chip, Image(128, 0xFF)},
        {"zeros", r.chip, Image(128, 0x00)},
        {"bad checksum", r.chip, with([](Image &i) { i[0x30] ^= 1; })},
        {"unknown chip", ee::Chip::Unknown, r.image},
        {"odd size", r.chip, with([](Image &i) { i.resize(100); })},
        {"not a string descriptor", r.chip, resealed([](Image &i) { i[0x19] = 0x04; })},
        {"length mismatch", r.chip, resealed([](Image &i) { i[0x11] = 0x20; })},
        {"string in the header", r.chip, resealed([](Image &i) { i[0x0E] = 0x82; })},
        {"string over the checksum", r.chip, resealed([](Image &i) { i[0x13] = 0x7C; })},
        {"no strings", r.chip, resealed([](Image &i) { i[0x0F] = i[0x11] = i[0x13] = 0; })},
    };
    const uint8_t name[10] = {'n', 'a', 'm', 'e'};
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        ee::UserArea ua;
        EXPECT_FALSE(ee::Locate(c.chip, c.image.data(), c.image.size(), &ua));
        const Image before = c.image;
        EXPECT_FALSE(ee::Patch(c.chip, c.image.data(), c.image.size(), name, sizeof name));
        EXPECT_EQ(c.image, before);
    }
}

TEST(EepromUserArea, AreaWithoutTrailerStartsRightAfterTheStrings)
{
    // A chip whose bytes after the serial string hold a name, not the trailer.
    Image img = Fixtures()[3].image;
    const size_t end = 0x18 + 46;
    const char text[] = "OldName";
    std::memcpy(&img[end], text, sizeof text);
    SealChecksum(ee::Chip::R, img);
    ee::UserArea ua;
    ASSERT_TRUE(ee::Locate(ee::Chip::R, img.data(), img.size(), &ua));
    EXPECT_EQ(ua.offset, end);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&img[ua.offset])), "OldName");
}

TEST(EepromUserArea, DetectsTheEepromSize)
{
    Image mirrored(256);
    for (size_t i = 0; i < 128; ++i)
        mirrored[i] = mirrored[i + 128] = uint8_t(i * 3);
    Image distinct = mirrored;
    distinct[200] ^= 0xFF;
    EXPECT_EQ(ee::DetectSize(ee::Chip::FT2232H, mirrored.data(), 256), 128u);   // a 93C46 wraps
    EXPECT_EQ(ee::DetectSize(ee::Chip::FT2232H, distinct.data(), 256), 256u);
    EXPECT_EQ(ee::DetectSize(ee::Chip::R, distinct.data(), 256), 128u);   // internal EEPROM
}

}   // namespace
