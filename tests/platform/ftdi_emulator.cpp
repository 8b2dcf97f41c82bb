// ftdi_emulator.cpp - the emulated FTDI chips and the libusb-1.0 functions
// libftdi1 calls, answered from them (see ftdi_emulator.h for how and why).
#include "ftdi_emulator.h"

#include <libftdi1/ftdi.h>
#include <libusb.h>

#include <sys/eventfd.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "ftdi_eeprom.h"

namespace kxemu {
namespace {

struct KindTraits {
    uint16_t product;
    uint16_t bcdDevice;
    size_t eepromWords;
    uint16_t packetSize;
};

KindTraits TraitsOf(Kind k)
{
    switch (k) {
    case Kind::FT232AM: return {0x6001, 0x0200, 64, 64};
    case Kind::FT232BM:
    case Kind::FT245BM: return {0x6001, 0x0400, 64, 64};
    case Kind::FT2232D: return {0x6010, 0x0500, 128, 64};
    case Kind::FT2232H: return {0x6010, 0x0700, 128, 512};
    case Kind::FT4232H: return {0x6011, 0x0800, 128, 512};
    case Kind::FT232H: return {0x6014, 0x0900, 128, 512};
    case Kind::FT232R:
    case Kind::FT245R: return {0x6001, 0x0600, 64, 64};
    case Kind::FT230X: return {0x6015, 0x1000, 128, 64};
    }
    return {0x6001, 0x0600, 64, 64};
}

struct Chip {
    int id = 0;
    Kind kind = Kind::FT232R;
    std::string manufacturer = "FTDI", description, serial;
    bool hasSerial = true;
    bool attached = true;
    libusb_device *dev = nullptr;   // the current USB device while attached

    uint8_t bitMask = 0, bitMode = 0;
    bool baudSet = false;
    uint16_t baudValue = 0, baudIndex = 0;
    uint8_t latency = 16;
    std::vector<uint16_t> words;
    int latchedWord = -1;   // FT232R: even word waiting for its pair
    uint16_t latchedValue = 0;
    unsigned eepromWrites = 0;
    size_t outsideBitbang = 0;

    int failBulk = 0;
    bool corrupt = false;

    std::vector<uint8_t> received;
    std::vector<Arrival> arrivals;
    std::vector<Control> controls;
};

}   // namespace
}   // namespace kxemu

// The opaque libusb types, as this emulator keeps them.
struct libusb_context {
    int fd;   // an eventfd, as libusb keeps one per context
};
struct libusb_device {
    std::shared_ptr<kxemu::Chip> chip;
    int refs;
    uint8_t address;
    bool attached;
    libusb_device_handle *claimer;   // of interface 0
};
struct libusb_device_handle {
    libusb_device *dev;
    int fd;   // the device node a real handle keeps open
};

namespace kxemu {
namespace {

std::mutex g_lock;
std::map<int, std::shared_ptr<Chip>> &Chips()   // guarded by g_lock
{
    static auto *chips = new std::map<int, std::shared_ptr<Chip>>;
    return *chips;
}
int g_nextId = 1;                    // guarded by g_lock
uint8_t g_nextAddress = 2;           // guarded by g_lock
Live g_live;                         // guarded by g_lock
int g_controlUs = 0, g_bulkUs = 0;   // guarded by g_lock

void Unref(libusb_device *dev)   // with g_lock held
{
    if (--dev->refs == 0) {
        --g_live.devices;
        delete dev;
    }
}

libusb_device *NewDevice(const std::shared_ptr<Chip> &chip)   // with g_lock held
{
    auto *dev = new libusb_device{chip, 1, g_nextAddress, true, nullptr};
    g_nextAddress = uint8_t(g_nextAddress == 127 ? 2 : g_nextAddress + 1);
    ++g_live.devices;
    chip->dev = dev;
    chip->attached = true;
    return dev;
}

void Detach(Chip &chip)   // with g_lock held
{
    if (!chip.attached)
        return;
    chip.attached = false;
    chip.dev->attached = false;
    chip.dev->claimer = nullptr;
    Unref(chip.dev);   // the bus's reference
    chip.dev = nullptr;
}

std::shared_ptr<Chip> Find(int id)   // with g_lock held
{
    auto it = Chips().find(id);
    return it == Chips().end() ? nullptr : it->second;
}

void Wait(int us)
{
    if (us > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(us));
}

void PutString(std::vector<uint8_t> &img, size_t header, size_t &at, const std::string &s)
{
    img[header] = uint8_t(at | 0x80);
    img[header + 1] = uint8_t(2 * s.size() + 2);
    size_t p = at & 0xFF;
    img[p++] = uint8_t(2 * s.size() + 2);
    img[p++] = 0x03;
    for (char c : s) {
        img[p++] = uint8_t(c);
        img[p++] = 0;
    }
    at += 2 * s.size() + 2;
}

// FT230X (from the chip's documented MTP layout): configuration at 0x00..0x23,
// the user area at 0x24..0x7F (outside the checksum), factory data at
// 0x80..0x9F, strings from 0xA0 with the PnP trailer after them, checksum in the
// last word.
std::vector<uint8_t> Ft230xImage(const std::string &maker, const std::string &product, const std::string &serial,
                                 bool hasSerial)
{
    std::vector<uint8_t> img(256, 0);
    const uint8_t head[] = {0x00, 0x00, 0x03, 0x04, 0x15, 0x60, 0x00, 0x10, 0x80, 0x2d};
    std::memcpy(img.data(), head, sizeof head);
    size_t at = 0xA0;
    PutString(img, 0x0E, at, maker);
    PutString(img, 0x10, at, product);
    if (hasSerial)
        PutString(img, 0x12, at, serial);
    img[0x0E] = 0xA0;
    const uint8_t trailer[] = {0x02, 0x03, 0x00, 0x00};
    std::memcpy(&img[at], trailer, 4);
    for (size_t i = 0x80; i < 0xA0; ++i)
        img[i] = uint8_t(0x5A ^ i);   // factory configuration
    const uint16_t sum = ftdi::eeprom::Checksum(ftdi::eeprom::Chip::FT230X, img.data(), img.size());
    img[254] = uint8_t(sum);
    img[255] = uint8_t(sum >> 8);
    return img;
}

}   // namespace

int64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

const std::vector<KindInfo> &AllKinds()
{
    static const std::vector<KindInfo> kinds = {
        {Kind::FT232AM, "FT232AM"}, {Kind::FT232BM, "FT232BM"}, {Kind::FT245BM, "FT245BM"}, {Kind::FT2232D, "FT2232D"},
        {Kind::FT2232H, "FT2232H"}, {Kind::FT4232H, "FT4232H"}, {Kind::FT232H, "FT232H"},   {Kind::FT232R, "FT232R"},
        {Kind::FT245R, "FT245R"},   {Kind::FT230X, "FT230X"},
    };
    return kinds;
}

std::vector<uint8_t> ProgrammedEeprom(Kind kind, const std::string &manufacturer, const std::string &product,
                                      const std::string &serial, bool hasSerial)
{
    if (kind == Kind::FT230X)
        return Ft230xImage(manufacturer, product, serial, hasSerial);
    ftdi_chip_type type = TYPE_R;
    int part = 0x46;
    switch (kind) {
    case Kind::FT232AM: type = TYPE_AM; break;
    case Kind::FT232BM:
    case Kind::FT245BM: type = TYPE_BM; break;
    case Kind::FT2232D:
        type = TYPE_2232C;
        part = 0x56;
        break;
    case Kind::FT2232H:
        type = TYPE_2232H;
        part = 0x56;
        break;
    case Kind::FT4232H:
        type = TYPE_4232H;
        part = 0x56;
        break;
    case Kind::FT232H:
        type = TYPE_232H;
        part = 0x56;
        break;
    default: break;
    }
    return LibftdiEeprom(type, part, manufacturer, product, hasSerial ? serial.c_str() : nullptr);
}

std::vector<uint8_t> LibftdiEeprom(int type, int part, const std::string &manufacturer, const std::string &product,
                                   const char *serial)
{
    // libftdi's builder needs no device; it only checks that a handle is set.
    ftdi_context *f = ftdi_new();
    if (!f)
        return {};
    f->type = ftdi_chip_type(type);
    f->usb_dev = reinterpret_cast<libusb_device_handle *>(0x10);
    std::string m = manufacturer, p = product, s = serial ? serial : "";
    ftdi_eeprom_initdefaults(f, m.data(), p.data(), serial ? s.data() : nullptr);
    ftdi_set_eeprom_value(f, CHIP_TYPE, part);
    std::vector<uint8_t> img(256, 0);
    int size = 0;
    if (ftdi_eeprom_build(f) >= 0) {
        ftdi_get_eeprom_value(f, CHIP_SIZE, &size);
        ftdi_get_eeprom_buf(f, img.data(), int(img.size()));
    }
    f->usb_dev = nullptr;
    ftdi_free(f);
    img.resize(size > 0 ? size_t(size) : 0);
    return img;
}

void Reset()
{
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto &[id, chip] : Chips())
        Detach(*chip);
    Chips().clear();
    g_controlUs = g_bulkUs = 0;
}

int Plug(Kind kind, const std::string &description, const std::string &serial, bool hasSerial)
{
    auto chip = std::make_shared<Chip>();
    chip->kind = kind;
    chip->description = description;
    chip->serial = serial;
    chip->hasSerial = hasSerial;
    const std::vector<uint8_t> img = ProgrammedEeprom(kind, chip->manufacturer, description, serial, hasSerial);
    chip->words.assign(TraitsOf(kind).eepromWords, 0xFFFF);
    for (size_t w = 0; w < chip->words.size() && 2 * w + 1 < img.size(); ++w)
        chip->words[w] = uint16_t(img[2 * w] | img[2 * w + 1] << 8);
    std::lock_guard<std::mutex> lock(g_lock);
    chip->id = g_nextId++;
    Chips()[chip->id] = chip;
    NewDevice(chip);
    return chip->id;
}

void Unplug(int id)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (auto chip = Find(id))
        Detach(*chip);
}

void Replug(int id)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto chip = Find(id);
    if (!chip || chip->attached)
        return;
    // Power comes back: the chip's volatile settings are those after reset.
    chip->bitMask = chip->bitMode = 0;
    chip->baudSet = false;
    chip->latency = 16;
    chip->latchedWord = -1;
    NewDevice(chip);
}

void FailBulkTransfers(int id, int count)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (auto chip = Find(id))
        chip->failBulk = count;
}

void CorruptEepromWrites(int id, bool on)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (auto chip = Find(id))
        chip->corrupt = on;
}

void SetEeprom(int id, const std::vector<uint8_t> &image)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (auto chip = Find(id))
        for (size_t w = 0; w < chip->words.size(); ++w)
            chip->words[w] = 2 * w + 1 < image.size() ? uint16_t(image[2 * w] | image[2 * w + 1] << 8) : 0xFFFF;
}

void SetTransferTime(int controlUs, int bulkUs)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_controlUs = controlUs;
    g_bulkUs = bulkUs;
}

View Snapshot(int id)
{
    std::lock_guard<std::mutex> lock(g_lock);
    View v;
    auto chip = Find(id);
    if (!chip)
        return v;
    v.attached = chip->attached;
    v.bitMask = chip->bitMask;
    v.bitMode = chip->bitMode;
    v.baudSet = chip->baudSet;
    v.baudValue = chip->baudValue;
    v.baudIndex = chip->baudIndex;
    v.latency = chip->latency;
    for (uint16_t w : chip->words) {
        v.eeprom.push_back(uint8_t(w));
        v.eeprom.push_back(uint8_t(w >> 8));
    }
    v.received = chip->received;
    v.arrivals = chip->arrivals;
    v.controls = chip->controls;
    v.eepromWrites = chip->eepromWrites;
    v.outsideBitbang = chip->outsideBitbang;
    v.claimed = chip->attached && chip->dev->claimer != nullptr;
    return v;
}

void ClearRecords(int id)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (auto chip = Find(id)) {
        chip->received.clear();
        chip->arrivals.clear();
        chip->controls.clear();
    }
}

Live Count()
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_live;
}

}   // namespace kxemu

// ---- the libusb-1.0 functions libftdi1 imports ---------------------------------------

using kxemu::g_live;
using kxemu::g_lock;

// Visible from the program, so libftdi1 binds to these (the build hides
// symbols by default).
#pragma GCC visibility push(default)
extern "C" {

int libusb_init(libusb_context **ctx)
{
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return LIBUSB_ERROR_NO_MEM;
    auto *c = new libusb_context{fd};
    {
        std::lock_guard<std::mutex> lock(g_lock);
        ++g_live.contexts;
    }
    if (ctx)
        *ctx = c;
    else
        delete c;   // no default context here: nothing uses one
    return 0;
}

void libusb_exit(libusb_context *ctx)
{
    if (!ctx)
        return;
    close(ctx->fd);
    delete ctx;
    std::lock_guard<std::mutex> lock(g_lock);
    --g_live.contexts;
}

ssize_t libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    std::lock_guard<std::mutex> lock(g_lock);
    std::vector<libusb_device *> devs;
    for (auto &[id, chip] : kxemu::Chips())
        if (chip->attached)
            devs.push_back(chip->dev);
    auto **out = static_cast<libusb_device **>(calloc(devs.size() + 1, sizeof(libusb_device *)));
    if (!out)
        return LIBUSB_ERROR_NO_MEM;
    for (size_t i = 0; i < devs.size(); ++i) {
        ++devs[i]->refs;
        out[i] = devs[i];
    }
    *list = out;
    return ssize_t(devs.size());
}

void libusb_free_device_list(libusb_device **list, int unref_devices)
{
    if (!list)
        return;
    if (unref_devices) {
        std::lock_guard<std::mutex> lock(g_lock);
        for (libusb_device **d = list; *d; ++d)
            kxemu::Unref(*d);
    }
    free(list);
}

libusb_device *libusb_ref_device(libusb_device *dev)
{
    std::lock_guard<std::mutex> lock(g_lock);
    ++dev->refs;
    return dev;
}

void libusb_unref_device(libusb_device *dev)
{
    if (!dev)
        return;
    std::lock_guard<std::mutex> lock(g_lock);
    kxemu::Unref(dev);
}

int libusb_get_device_descriptor(libusb_device *dev, libusb_device_descriptor *desc)
{
    std::lock_guard<std::mutex> lock(g_lock);
    const kxemu::KindTraits traits = kxemu::TraitsOf(dev->chip->kind);
    std::memset(desc, 0, sizeof *desc);
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 8;
    desc->idVendor = 0x0403;
    desc->idProduct = traits.product;
    desc->bcdDevice = traits.bcdDevice;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = dev->chip->hasSerial ? 3 : 0;
    desc->bNumConfigurations = 1;
    return 0;
}

namespace {
struct ConfigBlock {   // one allocation, freed by libusb_free_config_descriptor
    libusb_config_descriptor config;
    libusb_interface interface;
    libusb_interface_descriptor alt;
    libusb_endpoint_descriptor endpoints[2];
};
}   // namespace

int libusb_get_config_descriptor(libusb_device *dev, uint8_t index, libusb_config_descriptor **config)
{
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    uint16_t packet;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        packet = kxemu::TraitsOf(dev->chip->kind).packetSize;
    }
    auto *b = static_cast<ConfigBlock *>(calloc(1, sizeof(ConfigBlock)));
    if (!b)
        return LIBUSB_ERROR_NO_MEM;
    b->endpoints[0].bLength = LIBUSB_DT_ENDPOINT_SIZE;
    b->endpoints[0].bDescriptorType = LIBUSB_DT_ENDPOINT;
    b->endpoints[0].bEndpointAddress = 0x81;
    b->endpoints[0].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    b->endpoints[0].wMaxPacketSize = packet;
    b->endpoints[1] = b->endpoints[0];
    b->endpoints[1].bEndpointAddress = 0x02;
    b->alt.bLength = LIBUSB_DT_INTERFACE_SIZE;
    b->alt.bDescriptorType = LIBUSB_DT_INTERFACE;
    b->alt.bNumEndpoints = 2;
    b->alt.bInterfaceClass = 0xFF;
    b->alt.endpoint = b->endpoints;
    b->interface.altsetting = &b->alt;
    b->interface.num_altsetting = 1;
    b->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    b->config.bDescriptorType = LIBUSB_DT_CONFIG;
    b->config.bNumInterfaces = 1;
    b->config.bConfigurationValue = 1;
    b->config.bmAttributes = 0x80;
    b->config.MaxPower = 45;
    b->config.interface = &b->interface;
    *config = &b->config;
    return 0;
}

void libusb_free_config_descriptor(libusb_config_descriptor *config) { free(reinterpret_cast<ConfigBlock *>(config)); }

uint8_t libusb_get_bus_number(libusb_device *) { return 1; }
uint8_t libusb_get_device_address(libusb_device *dev) { return dev->address; }

int libusb_open(libusb_device *dev, libusb_device_handle **handle)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (!dev->attached)
        return LIBUSB_ERROR_NO_DEVICE;
    const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return LIBUSB_ERROR_IO;
    ++dev->refs;
    ++g_live.handles;
    *handle = new libusb_device_handle{dev, fd};
    return 0;
}

void libusb_close(libusb_device_handle *handle)
{
    if (!handle)
        return;
    std::lock_guard<std::mutex> lock(g_lock);
    if (handle->dev->claimer == handle)
        handle->dev->claimer = nullptr;   // closing the node releases its claims
    close(handle->fd);
    kxemu::Unref(handle->dev);
    --g_live.handles;
    delete handle;
}

int libusb_get_configuration(libusb_device_handle *handle, int *config)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (!handle->dev->attached)
        return LIBUSB_ERROR_NO_DEVICE;
    *config = 1;
    return 0;
}

int libusb_set_configuration(libusb_device_handle *handle, int)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return handle->dev->attached ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_detach_kernel_driver(libusb_device_handle *handle, int)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return handle->dev->attached ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_NO_DEVICE;   // no kernel driver bound
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle *, int) { return 0; }

int libusb_claim_interface(libusb_device_handle *handle, int interface_number)
{
    std::lock_guard<std::mutex> lock(g_lock);
    libusb_device *dev = handle->dev;
    if (!dev->attached)
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface_number != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (dev->claimer && dev->claimer != handle)
        return LIBUSB_ERROR_BUSY;   // another handle holds it (EBUSY from usbdevfs)
    dev->claimer = handle;
    return 0;
}

int libusb_release_interface(libusb_device_handle *handle, int)
{
    std::lock_guard<std::mutex> lock(g_lock);
    libusb_device *dev = handle->dev;
    if (!dev->attached)
        return LIBUSB_ERROR_NO_DEVICE;
    if (dev->claimer != handle)
        return LIBUSB_ERROR_NOT_FOUND;
    dev->claimer = nullptr;
    return 0;
}

int libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index, unsigned char *data, int length)
{
    if (index == 0)
        return LIBUSB_ERROR_INVALID_PARAM;   // as libusb: index 0 is the language table
    std::string text;
    int wait;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        const kxemu::Chip &chip = *handle->dev->chip;
        if (!handle->dev->attached)
            return LIBUSB_ERROR_NO_DEVICE;
        if (index == 1)
            text = chip.manufacturer;
        else if (index == 2)
            text = chip.description;
        else if (index == 3 && chip.hasSerial)
            text = chip.serial;
        else
            return LIBUSB_ERROR_PIPE;   // the device stalls an unknown string
        wait = kxemu::g_controlUs;
    }
    kxemu::Wait(wait);
    if (length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    const size_t n = std::min(text.size(), size_t(length - 1));
    std::memcpy(data, text.data(), n);
    data[n] = 0;
    return int(n);
}

int libusb_control_transfer(libusb_device_handle *handle, uint8_t request_type, uint8_t bRequest, uint16_t wValue,
                            uint16_t wIndex, unsigned char *data, uint16_t wLength, unsigned int)
{
    int wait;
    int result = 0;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        libusb_device *dev = handle->dev;
        if (!dev->attached)
            return LIBUSB_ERROR_NO_DEVICE;
        kxemu::Chip &chip = *dev->chip;
        wait = kxemu::g_controlUs;
        chip.controls.push_back({request_type, bRequest, wValue, wIndex});
        const size_t words = chip.words.size();
        if (request_type == FTDI_DEVICE_OUT_REQTYPE) {
            switch (bRequest) {
            case SIO_RESET_REQUEST:
                // Purges the buffers. Whether a chip stays in bit-bang mode
                // is not documented: the emulator takes the cautious view.
                if (wValue == SIO_RESET_SIO)
                    chip.bitMode = 0;
                break;
            case SIO_SET_BAUDRATE_REQUEST:
                chip.baudSet = true;
                chip.baudValue = wValue;
                chip.baudIndex = wIndex;
                break;
            case SIO_SET_BITMODE_REQUEST:
                chip.bitMask = uint8_t(wValue & 0xFF);
                chip.bitMode = uint8_t(wValue >> 8);
                break;
            case SIO_SET_LATENCY_TIMER_REQUEST: chip.latency = uint8_t(wValue & 0xFF); break;
            case SIO_WRITE_EEPROM_REQUEST: {
                ++chip.eepromWrites;
                const uint16_t value = chip.corrupt ? uint16_t(wValue ^ 0x0100) : wValue;
                const size_t at = wIndex % words;
                if (chip.kind == kxemu::Kind::FT232R || chip.kind == kxemu::Kind::FT245R) {
                    // Internal EEPROM: unlocked by latency 0x77; 32 bits per commit.
                    if (chip.latency != 0x77)
                        break;
                    if (at % 2 == 0) {
                        chip.latchedWord = int(at);
                        chip.latchedValue = value;
                    } else if (chip.latchedWord == int(at) - 1) {
                        chip.words[at - 1] = chip.latchedValue;
                        chip.words[at] = value;
                        chip.latchedWord = -1;
                    }
                    break;
                }
                if (chip.kind == kxemu::Kind::FT230X && at >= 0x40 && at < 0x50)
                    break;   // reserved factory words
                chip.words[at] = value;
                break;
            }
            case SIO_ERASE_EEPROM_REQUEST: std::fill(chip.words.begin(), chip.words.end(), 0xFFFF); break;
            default: break;   // modem control, flow control, line settings, event chars
            }
        } else if (request_type == FTDI_DEVICE_IN_REQTYPE) {
            switch (bRequest) {
            case SIO_POLL_MODEM_STATUS_REQUEST:
                if (wLength < 2)
                    return LIBUSB_ERROR_OVERFLOW;
                data[0] = 0x01;   // CTS-less idle line, as a bit-bang chip answers
                data[1] = 0x60;   // transmitter empty
                result = 2;
                break;
            case SIO_GET_LATENCY_TIMER_REQUEST:
                if (wLength < 1)
                    return LIBUSB_ERROR_OVERFLOW;
                data[0] = chip.latency;
                result = 1;
                break;
            case SIO_READ_PINS_REQUEST:
                if (wLength < 1)
                    return LIBUSB_ERROR_OVERFLOW;
                data[0] = chip.received.empty() ? 0 : chip.received.back();
                result = 1;
                break;
            case SIO_READ_EEPROM_REQUEST: {
                if (wLength < 2)
                    return LIBUSB_ERROR_OVERFLOW;
                const uint16_t w = chip.words[wIndex % words];   // a small part wraps
                data[0] = uint8_t(w);
                data[1] = uint8_t(w >> 8);
                result = 2;
                break;
            }
            default: return LIBUSB_ERROR_PIPE;
            }
        } else {
            return LIBUSB_ERROR_PIPE;
        }
    }
    kxemu::Wait(wait);
    return result;
}

int libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint, unsigned char *data, int length,
                         int *transferred, unsigned int)
{
    if (transferred)
        *transferred = 0;
    int wait;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        libusb_device *dev = handle->dev;
        if (!dev->attached)
            return LIBUSB_ERROR_NO_DEVICE;
        if (endpoint & LIBUSB_ENDPOINT_IN) {
            if (length >= 2) {   // the modem-status header every IN packet starts with
                data[0] = 0x01;
                data[1] = 0x60;
                if (transferred)
                    *transferred = 2;
            }
            return 0;
        }
        kxemu::Chip &chip = *dev->chip;
        if (chip.failBulk > 0) {
            --chip.failBulk;
            return LIBUSB_ERROR_IO;
        }
        wait = kxemu::g_bulkUs;
    }
    kxemu::Wait(wait);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        libusb_device *dev = handle->dev;
        if (!dev->attached)
            return LIBUSB_ERROR_NO_DEVICE;
        kxemu::Chip &chip = *dev->chip;
        if (chip.bitMode == 0)
            chip.outsideBitbang += size_t(length);
        chip.arrivals.push_back({kxemu::NowNs(), chip.received.size(), size_t(length)});
        chip.received.insert(chip.received.end(), data, data + length);
    }
    if (transferred)
        *transferred = length;
    return 0;
}

// The asynchronous path: not used by the backend; a change that starts using
// it fails loudly here rather than reaching the real libusb with our objects.
libusb_transfer *libusb_alloc_transfer(int iso_packets)
{
    return static_cast<libusb_transfer *>(
        calloc(1, sizeof(libusb_transfer) + sizeof(libusb_iso_packet_descriptor) * size_t(iso_packets)));
}
void libusb_free_transfer(libusb_transfer *transfer) { free(transfer); }
int libusb_submit_transfer(libusb_transfer *) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int libusb_cancel_transfer(libusb_transfer *) { return LIBUSB_ERROR_NOT_FOUND; }
int libusb_handle_events_timeout(libusb_context *, struct timeval *) { return 0; }
int libusb_handle_events_timeout_completed(libusb_context *, struct timeval *, int *) { return 0; }

}   // extern "C"
#pragma GCC visibility pop
