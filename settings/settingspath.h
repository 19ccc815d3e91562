#pragma once
// Where the program's settings file lies (no Qt: the simulator uses it too).
//
// A program run from a folder it may write to (or whose settings file is already there)
// keeps its settings beside itself: the executable's path + ".ini". An installed program
// (in /usr/bin, say) keeps them in the user's configuration folder instead:
// $XDG_CONFIG_HOME/ptk71/ptk71.ini, or ~/.config/ptk71/ptk71.ini when the variable is
// unset, empty or not an absolute path. That folder is created on the first write.
//
// The running program fixes its location once, at start, so replacing its executable
// while it runs cannot move the file.

#include <string>

struct SettingsLocation {
    std::string path;          ///< the settings file
    bool createFolder = false; ///< make its folder (and the missing parents) on the first write
};

/// The settings file of the program whose executable is `executable` (an absolute path),
/// for the current user and environment. Looks at the file system: whether
/// `executable` + ".ini" exists (a dangling symbolic link counts) and whether the
/// executable's folder is writable for this process (never so for the folders packages
/// install programs into: /bin, /sbin and everything below /usr).
SettingsLocation SettingsLocationFor(const std::string &executable);

/// Whether `folder` is one that packages install programs into (/bin, /sbin, /usr/...).
bool SystemProgramFolder(const std::string &folder);

/// The running executable's path (/proc/self/exe), without the " (deleted)" that the
/// kernel appends once the file has been replaced.
std::string ExecutablePath();

/// The running program's settings file: fixed by the first call (main() makes it early),
/// unless overridden.
const SettingsLocation &CurrentSettingsLocation();
/// Overrides the location (tests and tools). An empty path restores the program's own,
/// as it was fixed at the first call.
void SetSettingsLocation(SettingsLocation location);

/// Creates the folder of the current settings file when its location asks for that and
/// it is missing (mode 0700, as the user's configuration folders are). False when it
/// could not be made; the write that follows then fails and reports.
bool PrepareSettingsFolder();

/// Creates `folder` and its missing parents with `mode`. True when it exists afterwards.
bool MakeFolders(const std::string &folder, unsigned mode);
