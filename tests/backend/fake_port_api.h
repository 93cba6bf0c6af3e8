// fake_port_api.h - a stand-in for the port-access library, linked into the
// backend's unit tests in its place.  The backend is the code under test:
// this only records what it asks for and answers as the test scripts it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "VEMInterface.h"

struct FakePortApi {
    // Scripted answers.
    std::function<int()> lock = [] { return VEM_SUCCESS; };
    // Bytes the printer takes per send call (0: none); the result code.
    std::function<int(std::size_t asked, unsigned long* moved)> send =
        [](std::size_t asked, unsigned long* moved) {
            *moved = asked;
            return VEM_SUCCESS;
        };
    std::vector<std::uint8_t> rtcReply;  // what the printer answers to a real-time command
    int rtcResult = VEM_SUCCESS;
    std::vector<int> usbPids;
    std::vector<EthernetDeviceInfo> ethDevices;
    int openResult = VEM_SUCCESS;

    // What the backend did.
    std::vector<std::uint8_t> printed;   // every byte accepted by send
    std::vector<std::uint8_t> rtcSent;   // the last real-time command
    int lockCalls = 0, unlockCalls = 0, reconnects = 0, opens = 0, closes = 0;
    std::string lastOpen;                // "usb 61920 2 SERIAL", "eth 1.2.3.4 9100 3000", ...
};

// The one instance the stand-in serves; tests reset it per case.
FakePortApi& fakePortApi();
