// Where the settings file lies: beside a portable program, in the user's configuration
// folder for an installed one, and the folder made on the first write.
#include "settings.h"
#include "settingspath.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Sets or unsets an environment variable for the length of a test.
class EnvVar
{
  public:
    EnvVar(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name))
            old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvVar()
    {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char *name_;
    std::optional<std::string> old_;
};

class SettingsPathTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/ptk71-path-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override
    {
        SetSettingsFilePath({});
        ::chmod((root_ + "/bin").c_str(), 0755);
        std::system(("rm -rf '" + root_ + "'").c_str());
    }
    std::string Folder(const std::string &name)
    {
        const std::string path = root_ + "/" + name;
        ::mkdir(path.c_str(), 0755);
        return path;
    }
    static void Touch(const std::string &path) { std::ofstream(path) << "[PARAM]\n"; }
    static bool IsRoot() { return ::geteuid() == 0; }
    static bool IsDir(const std::string &path)
    {
        struct stat st {
        };
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    std::string root_;
};

TEST_F(SettingsPathTest, PortableProgramKeepsItsFileBesideItself)
{
    EnvVar xdg("XDG_CONFIG_HOME", (root_ + "/config").c_str());
    const std::string exe = Folder("portable") + "/ptk71";
    // A writable folder: the file beside the executable, even before it exists.
    SettingsLocation l = SettingsLocationFor(exe);
    EXPECT_EQ(l.path, exe + ".ini");
    EXPECT_FALSE(l.createFolder);
}

TEST_F(SettingsPathTest, ExistingFileBesideTheProgramCountsInAReadOnlyFolder)
{
    // A read-only copy on a stick, or a file an administrator put beside an installed program.
    if (IsRoot())
        GTEST_SKIP() << "root writes into any folder";
    const std::string bin = Folder("bin");
    Touch(bin + "/ptk71.ini");
    ::chmod(bin.c_str(), 0555);
    EXPECT_EQ(SettingsLocationFor(bin + "/ptk71").path, bin + "/ptk71.ini");
    ::chmod(bin.c_str(), 0755);
    ::unlink((bin + "/ptk71.ini").c_str());
    ::chmod(bin.c_str(), 0555);
    EXPECT_NE(SettingsLocationFor(bin + "/ptk71").path, bin + "/ptk71.ini");
}

TEST_F(SettingsPathTest, InstalledProgramUsesTheUsersConfigFolder)
{
    // An executable's folder that cannot be written to: a read-only folder for a user,
    // and (for root too) one that is not there.
    std::string exe = root_ + "/missing/bin/ptk71";
    if (!IsRoot()) {
        const std::string bin = Folder("bin");
        ::chmod(bin.c_str(), 0555);
        exe = bin + "/ptk71";
    }
    const std::string home = Folder("home");
    EnvVar homeVar("HOME", home.c_str());
    {
        EnvVar xdg("XDG_CONFIG_HOME", (root_ + "/xdg/").c_str());
        const SettingsLocation l = SettingsLocationFor(exe);
        EXPECT_EQ(l.path, root_ + "/xdg/ptk71/ptk71.ini");
        EXPECT_TRUE(l.createFolder);
    }
    // Unset, empty or relative: the default below the home folder.
    for (const char *value : {static_cast<const char *>(nullptr), "", "relative/config"}) {
        EnvVar xdg("XDG_CONFIG_HOME", value);
        EXPECT_EQ(SettingsLocationFor(exe).path, home + "/.config/ptk71/ptk71.ini")
            << (value ? value : "(unset)");
    }
    // No usable HOME either: the home folder of the user's account.
    {
        EnvVar xdg("XDG_CONFIG_HOME", nullptr);
        EnvVar noHome("HOME", nullptr);
        const std::string p = SettingsLocationFor(exe).path;
        const std::string tail = "/.config/ptk71/ptk71.ini";
        ASSERT_GT(p.size(), tail.size());
        EXPECT_EQ(p.substr(p.size() - tail.size()), tail);
    }
}

TEST_F(SettingsPathTest, SystemProgramFoldersNeverCountAsWritable)
{
    // "sudo ptk71" must not leave a /usr/bin/ptk71.ini that every user would then be stuck
    // with (a file already there still counts, as in any read-only folder).
    EnvVar xdg("XDG_CONFIG_HOME", (root_ + "/xdg").c_str());
    for (const char *exe : {"/usr/bin/ptk71", "/usr/local/bin/ptk71", "/bin/ptk71"})
        EXPECT_EQ(SettingsLocationFor(exe).path, root_ + "/xdg/ptk71/ptk71.ini") << exe;
    EXPECT_TRUE(SystemProgramFolder("/usr"));
    EXPECT_FALSE(SystemProgramFolder("/usrlocal/bin"));
    EXPECT_FALSE(SystemProgramFolder(root_));
}

TEST_F(SettingsPathTest, ConfigFolderIsMadeOnTheFirstWriteOnly)
{
    EnvVar xdg("XDG_CONFIG_HOME", (root_ + "/a/b").c_str());
    const SettingsLocation l = SettingsLocationFor(root_ + "/missing/ptk71");
    SetSettingsLocation(l);
    EXPECT_EQ(LoadSpeed(), DefaultSpeedIndex);
    EXPECT_FALSE(IsDir(root_ + "/a")) << "reading makes no folder";

    NumPoints = 1;
    PauseSec = 4;
    EXPECT_TRUE(SaveSettingsFile());
    EXPECT_TRUE(SaveSpeed(2));
    struct stat st {
    };
    ASSERT_EQ(::stat((root_ + "/a/b/ptk71").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(LoadSpeed(), 2);

    // An explicit path (tests, tools) never makes folders: the write fails and reports.
    SetSettingsFilePath(root_ + "/nowhere/ptk71.ini");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(SaveSpeed(1));
    ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(IsDir(root_ + "/nowhere"));
}

} // namespace
