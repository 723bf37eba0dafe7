// The device itself: which host folder is its root, what is mounted where, and the device
// settings that stand in for hardware a desktop does not have (a storage card, being off-line,
// sitting in the cradle). Every other service asks here; nothing else reads the environment.
#pragma once

#include <string>

#include "platform/device_errors.h"

namespace platform {

// Process-wide. Written by InitDevice (program start, before any thread) or by SetDeviceConfig
// (tests, before they start threads); read by every service afterwards.
struct DeviceConfig {
  std::string root;           // host folder that the device path "\" maps onto
  std::string programFolder;  // host folder mounted read-only at "\Program Files\Nubrel"
  std::string programBinDir;  // host folder holding nubrel, NubrelUpdate, notifyd (may be empty)
  std::string storageCard;    // host folder behind "\StorageCard"; empty: the device has no card
  bool offline = false;       // the connection manager cannot establish a connection
  int cradled = -1;           // -1: read the power supply live; 0 or 1: pinned
  std::string powerSupplyFolder;  // host folder of power supplies; empty: "/sys/class/power_supply"
};

// The device configuration in effect.
const DeviceConfig& Device();

// Finds the device root: "--root DIR" on the command line (removed from argv), else the
// environment variable NUBREL_ROOT, else $XDG_DATA_HOME/nubrel, else ~/.local/share/nubrel.
// Creates the root and its private folders, then reads the device settings file
// ("<root>/.device/device.conf", lines "key = value": storage_card, offline, cradled).
// Returns 0, or the error that kept the root from being made.
DeviceError InitDevice(int& argc, char** argv);

// Same, for a given root, without a command line; the settings file is read if present.
DeviceError InitDeviceAt(const std::string& root);

// Replaces the configuration wholesale (tests). Creates the root's private folders.
void SetDeviceConfig(const DeviceConfig& config);

// Writes the configuration's device settings into "<root>/.device/device.conf", so that other
// processes started on the same root (the updater, a second reader) see the same device.
DeviceError SaveDeviceSettings();

// "<root>/.device": the registry, the notification database and the run folder live here.
std::string DevicePrivateFolder();
// "<root>/.device/run": lock files of named mutexes and sockets of published windows.
std::string DeviceRunFolder();

// The host folder of the program's shipped data when none is configured: the installed data
// folder beside the executable when there is one, else the source tree's data folder.
std::string DefaultProgramFolder();

}  // namespace platform
