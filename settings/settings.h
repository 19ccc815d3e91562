#pragma once
// The logger's configuration: the point table, the point count and the pause, and the
// settings file that keeps them (section "PARAM"), the saved speed, and the COM-port
// mapping (section "PORTS").
//
// The variables are written only by this library (the setup window and the loader) and
// read directly by the measurement run and the archive, all on the user-interface
// thread. Settings-file failures never reach the operator's window: defaults apply, and a
// failed write is reported as one line on standard error.

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct PointEntry {
    uint8_t Com = 2;     ///< COM port number 1..12
    uint8_t Address = 1; ///< instrument address on that line
    uint8_t Channel = 0; ///< channel on that instrument
};

constexpr int MaxPoints = 999;
constexpr int MinPauseSec = 0;
constexpr int MaxPauseSec = 99999;
constexpr int DefaultSpeedIndex = 5;
constexpr int MaxSpeedIndex = 6;

extern std::array<PointEntry, MaxPoints> PointTable;
extern int32_t NumPoints; ///< 1..999 once the setup window exists
extern int32_t PauseSec;  ///< 0..99999 once the setup window exists

/// Path of the settings file: the running program's, fixed at the first call (beside the
/// executable, or in the user's configuration folder for an installed program; see
/// settingspath.h), unless overridden.
std::string SettingsFilePath();
/// Overrides the settings file path (tests and tools); an empty path restores the default.
void SetSettingsFilePath(std::string path);

/// Sets every entry of PointTable to (2, 1, 0).
void ResetPointTable();

/// Loads "PARAM" into the variables: resets PointTable, reads "Num" into NumPoints and
/// "Pause" into PauseSec without range checks (the setup window's spin edits bring them
/// into range), and points 1..min(NumPoints, 999). Returns the speed index read ("Speed",
/// 5 when missing, not a number or outside 0..6). When the file exists but cannot be
/// read, NumPoints becomes 1, PauseSec 4, and `currentSpeed` is returned.
int LoadSettingsFile(int currentSpeed);
/// Writes "Num", "Pause" and the keys of points 1..NumPoints in one atomic replacement of
/// the file. Returns false (and writes one line on standard error) on failure.
bool SaveSettingsFile();

/// Writes "Speed" (the main window calls it when it closes). False on failure, with one
/// line on standard error.
bool SaveSpeed(int speedIndex);
/// "Speed" from the file, 5 when missing, not a number or outside 0..6.
int LoadSpeed();

/// Reads the "PORTS" section keys "COM1".."COM256" into the COM-port mapping of the
/// device link (MoreCOM::SetPortPath); clears the mapping first. An empty entry maps
/// nothing. The run calls it at every Start.
void LoadPortPaths();

/// COM ports the setup window maps (COM1..COM12).
constexpr int MappedComPorts = 12;
/// Device paths of COM1..COM12 in "PORTS"; "" where there is no entry (the link then uses
/// /dev/ttyS<n-1>).
using PortMapping = std::array<std::string, MappedComPorts>;
/// The "PORTS" entries of COM1..COM12 as the file has them now.
PortMapping LoadPortMapping();
/// Writes "COM<n>" = path for each (n, path) in one atomic replacement of the file; an
/// empty path is written empty and maps nothing. Other entries stay as they are. False
/// on failure, with one line on standard error.
bool SavePortPaths(const std::vector<std::pair<int, std::string>> &entries);
