#include "settings.h"

#include "inistore.h"
#include "inttext.h"
#include "morecom.h"
#include "settingspath.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

std::array<PointEntry, MaxPoints> PointTable;
int32_t NumPoints = 1;
int32_t PauseSec = 4;

namespace
{

constexpr const char *ParamSection = "PARAM";
constexpr const char *PortsSection = "PORTS";
constexpr int DefaultNumPoints = 1;
constexpr int DefaultPauseSec = 4;
constexpr int DefaultCom = 2;
constexpr int MaxCom = 12;
constexpr int MaxMappedCom = 256;

int32_t ReadInt(const IniStore &ini, const std::string &key, int32_t def)
{
    int32_t value = def;
    if (!ParseIntText(ini.ReadString(ParamSection, key, ""), value))
        return def;
    return value;
}

int CheckedSpeed(int32_t speed)
{
    return speed < 0 || speed > MaxSpeedIndex ? DefaultSpeedIndex : speed;
}

void ReportWriteFailure(const IniStore &ini)
{
    std::fprintf(stderr, "ptk71: %s\n", ini.LastError().c_str());
}

} // namespace

std::string SettingsFilePath()
{
    return CurrentSettingsLocation().path;
}

void SetSettingsFilePath(std::string path)
{
    SetSettingsLocation({std::move(path), false});
}

void ResetPointTable()
{
    PointTable.fill(PointEntry{});
}

int LoadSettingsFile(int currentSpeed)
{
    ResetPointTable();
    IniStore ini(SettingsFilePath());
    if (!ini.Open()) {
        NumPoints = DefaultNumPoints;
        PauseSec = DefaultPauseSec;
        return currentSpeed;
    }
    const int speed = CheckedSpeed(ReadInt(ini, "Speed", DefaultSpeedIndex));
    NumPoints = ReadInt(ini, "Num", DefaultNumPoints);
    PauseSec = ReadInt(ini, "Pause", DefaultPauseSec);
    // Keys beyond the table are not read: the point count itself ends at 999.
    const int count = std::min<int32_t>(NumPoints, MaxPoints);
    for (int n = 1; n <= count; ++n) {
        PointEntry &e = PointTable[static_cast<std::size_t>(n - 1)];
        const std::string num = std::to_string(n);
        int32_t com = ReadInt(ini, "COMPribor" + num, DefaultCom);
        e.Com = static_cast<uint8_t>(com < 1 || com > MaxCom ? DefaultCom : com);
        e.Address = static_cast<uint8_t>(ReadInt(ini, "Pribor" + num, 1) & 0xFF);
        e.Channel = static_cast<uint8_t>(ReadInt(ini, "Channel" + num, 0) & 0xFF);
    }
    ini.Close();
    return speed;
}

bool SaveSettingsFile()
{
    std::vector<std::pair<std::string, std::string>> values;
    const int count = std::clamp<int32_t>(NumPoints, 0, MaxPoints);
    values.reserve(2 + 3 * static_cast<std::size_t>(count));
    values.emplace_back("Num", std::to_string(NumPoints));
    values.emplace_back("Pause", std::to_string(PauseSec));
    for (int n = 1; n <= count; ++n) {
        const PointEntry &e = PointTable[static_cast<std::size_t>(n - 1)];
        const std::string num = std::to_string(n);
        values.emplace_back("COMPribor" + num, std::to_string(e.Com));
        values.emplace_back("Pribor" + num, std::to_string(e.Address));
        values.emplace_back("Channel" + num, std::to_string(e.Channel));
    }
    // One atomic replacement: either every key is written or the file stays as it was.
    PrepareSettingsFolder();
    IniStore ini(SettingsFilePath());
    if (!ini.WriteStrings(ParamSection, values)) {
        ReportWriteFailure(ini);
        return false;
    }
    return true;
}

bool SaveSpeed(int speedIndex)
{
    PrepareSettingsFolder();
    IniStore ini(SettingsFilePath());
    if (!ini.WriteString(ParamSection, "Speed", std::to_string(speedIndex))) {
        ReportWriteFailure(ini);
        return false;
    }
    return true;
}

int LoadSpeed()
{
    IniStore ini(SettingsFilePath());
    return CheckedSpeed(ReadInt(ini, "Speed", DefaultSpeedIndex));
}

void LoadPortPaths()
{
    MoreCOM::ClearPortPaths();
    IniStore ini(SettingsFilePath());
    ini.Open();
    for (int n = 1; n <= MaxMappedCom; ++n) {
        std::string path = ini.ReadString(PortsSection, "COM" + std::to_string(n), "");
        if (!path.empty())
            MoreCOM::SetPortPath(n, path);
    }
}

PortMapping LoadPortMapping()
{
    PortMapping mapping;
    IniStore ini(SettingsFilePath());
    ini.Open();
    for (int n = 1; n <= MappedComPorts; ++n)
        mapping[static_cast<std::size_t>(n - 1)] =
            ini.ReadString(PortsSection, "COM" + std::to_string(n), "");
    return mapping;
}

bool SavePortPaths(const std::vector<std::pair<int, std::string>> &entries)
{
    if (entries.empty())
        return true;
    std::vector<std::pair<std::string, std::string>> values;
    for (const auto &[com, path] : entries)
        values.emplace_back("COM" + std::to_string(com), path);
    IniStore ini(SettingsFilePath());
    if (!ini.WriteStrings(PortsSection, values)) {
        ReportWriteFailure(ini);
        return false;
    }
    return true;
}
