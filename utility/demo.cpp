// demo.cpp - ordomat-demo DIR: lays down a demo folder for ordomat on the
// simulated bus: settings files for the two default simulated boards
// (SIM0001, SIM0002) with a few configured motors, and a table settings file
// with two tables. Files that already exist are kept, so a demo keeps what was
// done in it; remove the folder to start afresh.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "kinetrax.h"

namespace {

SMotorSettings Motor(uint8_t address, uint8_t type, const char *name, float coefficient, int32_t travel)
{
    SMotorSettings m;
    std::memset(&m, 0, sizeof m);
    m.Address = address;
    m.TypeCode = type;
    m.TravelLength = travel;
    m.Coefficient = coefficient;
    m.AccelLength = 20;
    m.MinStepTime = 2;
    m.MaxStepTime = 10;
    m.AutoRelease = 1;
    std::strncpy(m.Name, name, sizeof m.Name);
    return m;
}

DeviceSettings Board(const char *name)
{
    DeviceSettings d;
    std::memset(&d, 0, sizeof d);
    std::strncpy(d.BoardName, name, 10);
    for (auto &m : d.MotorSettings)
        m.Coefficient = 1.0f;
    return d;
}

bool WriteIfMissing(const std::filesystem::path &path, const void *data, size_t size)
{
    if (std::filesystem::exists(path))
        return true;
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char *>(data), std::streamsize(size));
    out.close();
    if (!out) {
        std::fprintf(stderr, "ordomat-demo: can't write %s\n", path.c_str());
        return false;
    }
    return true;
}

}   // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: ordomat-demo DIR\n");
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path configs = fs::path(argv[1]) / "configs";
    std::error_code ec;
    fs::create_directories(configs, ec);
    if (ec) {
        std::fprintf(stderr, "ordomat-demo: can't create %s: %s\n", configs.c_str(), ec.message().c_str());
        return 1;
    }

    DeviceSettings a = Board("Demo A");
    a.MotorSettings[0] = Motor(1, 0x85, "X-axis", 100.0f, 0);   // X (4wires), 100 steps/mm
    a.MotorSettings[1] = Motor(2, 0x86, "Y-axis", 100.0f, 0);   // Y (4wires)
    a.MotorSettings[2] = Motor(3, 0x03, "Lift", 50.0f, 0);      // Z (2wires)
    DeviceSettings b = Board("Demo B");
    b.MotorSettings[0] = Motor(1, 0x2D, "Turntable", 10.0f, 0);    // R (synchron), 10 steps/degree
    b.MotorSettings[1] = Motor(2, 0xC5, "Slide", 100.0f, 20000);   // X block (4wires), 200 mm travel

    const std::string tables = "; Tables of the ordomat demo\n"
                               "[table_00]\n"
                               "name=Left table\n"
                               "[table_01]\n"
                               "name=Right table\n";

    bool ok = WriteIfMissing(configs / "SIM0001.hws", &a, sizeof a) &&
              WriteIfMissing(configs / "SIM0002.hws", &b, sizeof b) &&
              WriteIfMissing(configs / "gridmod.ini", tables.data(), tables.size());
    return ok ? 0 : 1;
}
