// One scan pass over all configured nodes, and the thread it runs on.
#pragma once

#include <chrono>
#include <string>

#include "config/version.h"

namespace sentrel {

inline constexpr const char* kTitleBase = "Sentrel v" SENTREL_VERSION;
inline constexpr const char* kTitleScanning = "Sentrel v" SENTREL_VERSION " - scanning...";
inline constexpr const char* kTitleScanningNode = "Sentrel v" SENTREL_VERSION " - scanning: ";
inline constexpr const char* kTitleSleeping = "Sentrel v" SENTREL_VERSION " - sleeping...";

// How long the program's end waits for a running pass (to finish its node).
inline constexpr std::chrono::milliseconds kPassEndLimit{10000};

class PassHost;

// The pass itself, run on the calling thread: probe sweep with log and report
// lines, alarm sweep, end-of-pass alerts. Works from a copy of the settings taken
// at its start; its events go to the host's listeners, its alarms as the host's
// policy says. A pass ended by an exception still tells every listener of its
// end (the host keeps why), then passes the exception on.
void ScanCycle(PassHost& host);

// Starts ScanCycle on a new thread unless a pass is running (ScanBusy). Clears
// ScanAbort first. Returns true when a pass was started. The host outlives the pass.
bool StartScanPass(PassHost& host);

// Waits up to `limit` for a running pass to end; true when none runs (its
// thread is then joined). Must not be called on a thread that serves the
// window's blocking requests unless that thread keeps serving them meanwhile
// (see the program's close path).
bool WaitForScanPass(std::chrono::milliseconds limit);

// True while a pass thread exists that has not been joined.
bool ScanPassRunning();

}  // namespace sentrel
