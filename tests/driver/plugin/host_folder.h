// host_folder.h - the set-up shared by the in-process plug-in tests that
// register a host: a fresh configuration folder with the test boards'
// settings files, the simulated bus of those boards and a cleared recorder.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "handler_cases.h"
#include "recording_host.h"
#include "simbus.h"

namespace qdxtest {

// Creates the folder from `templ` ("/tmp/name-XXXXXX"), writes the test
// boards into it and makes it the recorder's configuration directory.
// Returns the folder without a trailing '/', or "" (with a test failure).
inline std::string PrepareHostFolder(std::string templ)
{
    if (mkdtemp(templ.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << templ;
        return "";
    }
    simbus::Reset(kTestDevices);
    WriteTestBoards(templ + "/");
    Rec().Clear();
    Rec().configDir = templ + "/";
    return templ;
}

}   // namespace qdxtest
