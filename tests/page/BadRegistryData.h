// The page over a device key, device properties and serial port map holding
// odd data: values of the wrong type, empty, 4 KB long, 256 bytes without a
// terminator, or missing. Each case spoils one thing in an intact keyer's
// registry and states what the page then shows and what OK then stores.
#pragma once

#include "PageFakes.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vkprop::test
{

// Field -> what the page shows or stored, in words: "port box",
// "KeyFunc after OK", "live apply", ...
using PageOutcome = std::map<std::string, std::string>;

struct BadDataCase
{
    std::string title;
    std::function<void(FakeDeviceState& device, FakePortMapCalls& portMap)> spoil;
    // Only the fields that differ from the intact keyer's.
    PageOutcome changes;
};

// The intact keyer: Keyer (COM5), KeyFunc 2, PttFunc 1, KeyLogic 1,
// PttLogic 0, SampleInfo %windir%\keyer.htm; SERIALCOMM names COM1 and COM5.
PageOutcome IntactOutcome();

// Shows the page over the spoiled keyer, presses OK without changing
// anything, and describes both.
PageOutcome ShowAndApply(const BadDataCase& badCase);

PageOutcome ExpectedOutcome(const BadDataCase& badCase);

const std::vector<BadDataCase>& BadDataCases();

} // namespace vkprop::test
