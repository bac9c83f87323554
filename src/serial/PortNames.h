#pragma once
// Device paths for port names ("COM1", a [Ports] alias, or a path).
#include <map>
#include <string>

// Resolves a port name to the device path to open:
//   - an entry of `ports` whose key equals `name` ignoring case wins
//     (e.g. COM1=/dev/ttyUSB0, COM3=/tmp/phone0);
//   - a name starting with "/" is a path and is used as it is;
//   - "COMn" (n >= 1, any case) is the classic /dev/ttyS<n-1>;
//   - any other name is taken relative to /dev ("ttyACM0" -> /dev/ttyACM0).
// Returns an empty string for an empty name.
std::string ResolvePortName(const std::string& name, const std::map<std::string, std::string>& ports);
