#pragma once

// Where the upgrade's progress bar stands at each step of a run, in one
// place: the upgrade sequence, the NV backup and the flashing procedures all
// move it, and its values only ever rise until the run ends.
namespace progress {

inline constexpr int kStart = 0;
inline constexpr int kOffline = 1;
inline constexpr int kVendorFlagSet = 2;
inline constexpr int kAutorunCleared = 3;
inline constexpr int kRestarting = 4;
inline constexpr int kPortsFoundAgain = 5;
inline constexpr int kAnswering = 6;
// The NV backup moves from here to the end of its span.
inline constexpr int kBackupFirst = 7;
inline constexpr int kBackupSpan = 12;
inline constexpr int kBackedUp = 20;
inline constexpr int kProgrammerLoaded = 21;
inline constexpr int kProgrammerStarted = 22;
inline constexpr int kProbeWrite = 23;
inline constexpr int kSecurityMode = 24;
inline constexpr int kPartitionTable = 25;
inline constexpr int kBootLoaders = 26;
// The two large images each have a range of their own.
inline constexpr int kAmssFirst = 26;
inline constexpr int kAmssLast = 50;
inline constexpr int kEfsFirst = 51;
inline constexpr int kEfsLast = 80;
inline constexpr int kFlashed = 80;
inline constexpr int kWaitingForReturn = 81;
// The NV restore moves from here to the end of its span.
inline constexpr int kRestoreFirst = 82;
inline constexpr int kRestoreSpan = 13;
inline constexpr int kRestored = 95;
inline constexpr int kAnsweringAgain = 96;
inline constexpr int kVendorFlagCleared = 97;
inline constexpr int kNormalMode = 98;
inline constexpr int kResetting = 99;
inline constexpr int kDone = 100;

}  // namespace progress
