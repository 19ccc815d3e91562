#include "inistore.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

class IniStoreTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/ini_test_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/test.ini";
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    void Put(const std::string &text, const std::string &path = {})
    {
        std::ofstream f(path.empty() ? path_ : path, std::ios::binary);
        f << text;
    }
    std::string Get(const std::string &path = {}) const
    {
        std::ifstream f(path.empty() ? path_ : path, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    int EntryCount() const
    {
        int n = 0;
        DIR *d = ::opendir(dir_.c_str());
        while (dirent *e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                ++n;
        ::closedir(d);
        return n;
    }

    std::string dir_;
    std::string path_;
};

} // namespace

TEST_F(IniStoreTest, MissingFileReadsDefaultsAndFirstWriteCreatesIt)
{
    IniStore ini(path_);
    EXPECT_EQ(ini.ReadString("PARAM", "Num", "dflt"), "dflt");
    EXPECT_TRUE(ini.Keys("PARAM").empty());
    EXPECT_TRUE(ini.Open());
    ini.Close();
    ASSERT_TRUE(ini.WriteString("PARAM", "Num", "2"));
    EXPECT_EQ(Get(), "[PARAM]\nNum=2\n");
    EXPECT_EQ(ini.ReadString("PARAM", "Num", ""), "2");
}

TEST_F(IniStoreTest, KeysKeepTheOrderOfFirstCreationAndUpdateInPlace)
{
    IniStore ini(path_);
    for (const char *k : {"Num", "Pause", "COMPribor1", "Pribor1", "Channel1"})
        ASSERT_TRUE(ini.WriteString("PARAM", k, "1"));
    ASSERT_TRUE(ini.WriteString("PARAM", "Num", "2"));
    ASSERT_TRUE(ini.WriteStrings("PARAM", {{"COMPribor2", "3"},
                                           {"Pribor2", "7"},
                                           {"Channel2", "1"},
                                           {"Pause", "4"},
                                           {"COMPribor1", "2"},
                                           {"Channel1", "0"}}));
    ASSERT_TRUE(ini.WriteString("PARAM", "Speed", "5"));
    EXPECT_EQ(Get(), "[PARAM]\nNum=2\nPause=4\nCOMPribor1=2\nPribor1=1\nChannel1=0\n"
                     "COMPribor2=3\nPribor2=7\nChannel2=1\nSpeed=5\n");
    EXPECT_EQ(ini.Keys("param"),
              (std::vector<std::string>{"Num", "Pause", "COMPribor1", "Pribor1", "Channel1",
                                        "COMPribor2", "Pribor2", "Channel2", "Speed"}));
}

TEST_F(IniStoreTest, NamesAreCaseInsensitiveAndTheFileSpellingIsKept)
{
    Put("[param]\nnUm = 3 \n");
    IniStore ini(path_);
    EXPECT_EQ(ini.ReadString("PARAM", "NUM", ""), "3");
    ASSERT_TRUE(ini.WriteString("Param", "NUM", "4"));
    EXPECT_EQ(Get(), "[param]\nnUm=4\n");
    EXPECT_EQ(ini.Sections(), std::vector<std::string>{"param"});
}

TEST_F(IniStoreTest, UntouchedLinesAndLineEndingsSurviveAWrite)
{
    const std::string before = "; settings\r\n[PARAM]\r\nNum=1\r\n  odd line\r\n\r\n"
                               "[PORTS]\r\nCOM1=/dev/pts/3\r\n";
    Put(before);
    IniStore ini(path_);
    ASSERT_TRUE(ini.WriteString("PARAM", "Pause", "9"));
    ASSERT_TRUE(ini.WriteString("PORTS", "com1", "/dev/pts/4"));
    ASSERT_TRUE(ini.WriteString("NEW", "A", "b"));
    EXPECT_EQ(Get(), "; settings\r\n[PARAM]\r\nNum=1\r\n  odd line\r\nPause=9\r\n\r\n"
                     "[PORTS]\r\nCOM1=/dev/pts/4\r\n[NEW]\r\nA=b\r\n");
    // The first of duplicated sections and keys counts.
    Put("[S]\nk=1\nk=2\n[s]\nk=3\n");
    EXPECT_EQ(ini.ReadString("S", "K", ""), "1");
}

TEST_F(IniStoreTest, LastLineWithoutLineBreakGetsOneBeforeAnAppend)
{
    Put("[A]\nx=1");
    IniStore ini(path_);
    ASSERT_TRUE(ini.WriteString("A", "y", "2"));
    EXPECT_EQ(Get(), "[A]\nx=1\ny=2\n");
    Put("[A]\nx=1");
    ASSERT_TRUE(ini.WriteString("B", "y", "2"));
    EXPECT_EQ(Get(), "[A]\nx=1\n[B]\ny=2\n");
}

TEST_F(IniStoreTest, WriteReplacesTheFileAtomicallyAndKeepsItsMode)
{
    Put("[A]\nx=1\n");
    ::chmod(path_.c_str(), 0640);
    struct stat before {
    };
    ASSERT_EQ(::stat(path_.c_str(), &before), 0);
    IniStore ini(path_);
    ASSERT_TRUE(ini.WriteString("A", "x", "2"));
    struct stat after {
    };
    ASSERT_EQ(::stat(path_.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "the file must be replaced by a rename";
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(EntryCount(), 1) << "no temporary file may be left behind";
}

TEST_F(IniStoreTest, WriteThroughASymbolicLinkKeepsTheLink)
{
    const std::string target = dir_ + "/real.ini";
    Put("[A]\nx=1\n", target);
    ASSERT_EQ(::symlink(target.c_str(), path_.c_str()), 0);
    IniStore ini(path_);
    ASSERT_TRUE(ini.WriteString("A", "x", "2"));
    struct stat st {
    };
    ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Get(target), "[A]\nx=2\n");
}

TEST_F(IniStoreTest, FailedWriteReportsTheFileAndChangesNothing)
{
    // A path below a regular file cannot be written, even by a privileged user.
    Put("plain");
    const std::string bad = path_ + "/sub.ini";
    IniStore ini(bad);
    EXPECT_FALSE(ini.WriteString("PARAM", "Num", "1"));
    EXPECT_EQ(ini.LastError(), "Unable to write to " + bad);

    // Text that would break the line structure is refused.
    Put("[A]\nx=1\n");
    IniStore good(path_);
    EXPECT_FALSE(good.WriteString("A", "x", "1\n[B]\ny=2"));
    EXPECT_FALSE(good.WriteString("A", "k=v", "1"));
    EXPECT_FALSE(good.WriteString("A", "", "1"));
    EXPECT_FALSE(good.WriteString("A]", "x", "1"));
    EXPECT_EQ(good.LastError(), "Unable to write to " + path_);
    EXPECT_EQ(Get(), "[A]\nx=1\n");
    EXPECT_EQ(EntryCount(), 1);

    if (::geteuid() != 0) {
        // A folder this user may not add to: a new file cannot be made there, but a
        // writable file in it is rewritten in place, leaving nothing else behind.
        ::chmod(dir_.c_str(), 0555);
        IniStore fresh(dir_ + "/new.ini");
        EXPECT_FALSE(fresh.WriteString("A", "x", "2"));
        EXPECT_EQ(fresh.LastError(), "Unable to write to " + dir_ + "/new.ini");
        EXPECT_TRUE(good.WriteString("A", "x", "2"));
        ::chmod(dir_.c_str(), 0755);
        EXPECT_EQ(Get(), "[A]\nx=2\n");
        EXPECT_EQ(EntryCount(), 1);
    }
}

TEST_F(IniStoreTest, GarbageHugeOrUnreadableFilesAreSafe)
{
    std::string garbage;
    for (int i = 0; i < 5000; ++i)
        garbage += static_cast<char>((i * 131 + 7) % 256);
    Put(garbage);
    IniStore ini(path_);
    EXPECT_EQ(ini.ReadString("PARAM", "Num", "d"), "d");

    // Beyond the size cap: the complete lines within it are read, a line cut by the cap is
    // not read at all (no truncated value), and the file is never rewritten (cut).
    std::string huge = "[PARAM]\nNum=7\n";
    const std::string straddling = "Pause=123456789\n";
    huge += std::string(IniStore::MaxFileSize - huge.size() - 6, ';') + "\n";
    huge += straddling;
    ASSERT_LT(huge.size() - straddling.size(), IniStore::MaxFileSize);
    ASSERT_GT(huge.size(), IniStore::MaxFileSize);
    Put(huge);
    EXPECT_EQ(ini.ReadString("PARAM", "Num", ""), "7");
    EXPECT_EQ(ini.ReadString("PARAM", "Pause", "none"), "none");
    ASSERT_TRUE(ini.Open());
    EXPECT_EQ(ini.Keys("PARAM"), std::vector<std::string>{"Num"});
    ini.Close();
    EXPECT_FALSE(ini.WriteString("PARAM", "Num", "8"));
    EXPECT_EQ(Get(), huge);

    // The same with carriage returns alone as line breaks.
    std::string crHuge = huge;
    for (char &c : crHuge)
        if (c == '\n')
            c = '\r';
    Put(crHuge);
    EXPECT_EQ(ini.ReadString("PARAM", "Num", ""), "7");
    EXPECT_EQ(ini.ReadString("PARAM", "Pause", "none"), "none");

    // A directory in place of the file: unreadable, Open reports it, reads give defaults.
    IniStore dir(dir_);
    EXPECT_FALSE(dir.Open());
    EXPECT_EQ(dir.ReadString("PARAM", "Num", "d"), "d");
    EXPECT_FALSE(dir.WriteString("PARAM", "Num", "1"));
}

TEST_F(IniStoreTest, SnapshotServesReadsUntilClosed)
{
    Put("[A]\nx=1\n");
    IniStore ini(path_);
    ASSERT_TRUE(ini.Open());
    Put("[A]\nx=2\n");
    EXPECT_EQ(ini.ReadString("A", "x", ""), "1");
    ASSERT_TRUE(ini.WriteString("A", "y", "3"));
    EXPECT_EQ(ini.ReadString("A", "x", ""), "2") << "a write re-reads the file first";
    EXPECT_EQ(ini.ReadString("A", "y", ""), "3");
    ini.Close();
    EXPECT_EQ(Get(), "[A]\nx=2\ny=3\n");
}

TEST_F(IniStoreTest, QuotedValuesAndAByteOrderMark)
{
    Put("\xEF\xBB\xBF[PARAM]\nNum=\"3\"\nA = 'x y' \nB=\"open\nC='\nD=\"\"\nE=\"a'\n");
    IniStore ini(path_);
    EXPECT_EQ(ini.ReadString("PARAM", "Num", ""), "3");
    EXPECT_EQ(ini.ReadString("PARAM", "A", ""), "x y");
    EXPECT_EQ(ini.ReadString("PARAM", "B", ""), "\"open") << "only a matching pair is dropped";
    EXPECT_EQ(ini.ReadString("PARAM", "C", ""), "'");
    EXPECT_EQ(ini.ReadString("PARAM", "D", "d"), "");
    EXPECT_EQ(ini.ReadString("PARAM", "E", ""), "\"a'");
    EXPECT_EQ(ini.Sections(), std::vector<std::string>{"PARAM"});

    // The mark names nothing: the section is found and updated, and the mark stays.
    ASSERT_TRUE(ini.WriteString("PARAM", "Num", "4"));
    ASSERT_TRUE(ini.WriteString("param", "Pause", "5"));
    EXPECT_EQ(Get(), "\xEF\xBB\xBF[PARAM]\nNum=4\nA = 'x y' \nB=\"open\nC='\nD=\"\"\nE=\"a'\n"
                     "Pause=5\n");
}

TEST_F(IniStoreTest, ReadOnlyFileIsNeverReplaced)
{
    // No write bit means read-only for every user, the superuser included.
    for (mode_t mode : {0444, 0400, 0000}) {
        Put("[A]\nx=1\n");
        ASSERT_EQ(::chmod(path_.c_str(), mode), 0);
        IniStore ini(path_);
        EXPECT_FALSE(ini.WriteString("A", "x", "2")) << std::oct << mode;
        EXPECT_EQ(ini.LastError(), "Unable to write to " + path_);
        ::chmod(path_.c_str(), 0644);
        EXPECT_EQ(Get(), "[A]\nx=1\n");
        EXPECT_EQ(EntryCount(), 1);
    }
}

TEST_F(IniStoreTest, HardLinksAndOwnerSurviveAWrite)
{
    Put("[A]\nx=1\n");
    const std::string other = dir_ + "/other.ini";
    ASSERT_EQ(::link(path_.c_str(), other.c_str()), 0);
    struct stat before {
    };
    ASSERT_EQ(::stat(path_.c_str(), &before), 0);
    IniStore ini(path_);
    ASSERT_TRUE(ini.WriteString("A", "x", "2"));
    struct stat after {
    };
    ASSERT_EQ(::stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(Get(other), "[A]\nx=2\n") << "both names see the new contents";
    EXPECT_EQ(EntryCount(), 2) << "no temporary file may be left behind";
    ::unlink(other.c_str());

    if (::geteuid() == 0) {
        // Another user's file stays that user's.
        ASSERT_EQ(::chown(path_.c_str(), 4242, 4343), 0);
        ASSERT_TRUE(ini.WriteString("A", "y", "3"));
        ASSERT_EQ(::stat(path_.c_str(), &after), 0);
        EXPECT_EQ(after.st_uid, 4242u);
        EXPECT_EQ(after.st_gid, 4343u);
        EXPECT_EQ(Get(), "[A]\nx=2\ny=3\n");
    }
}

// A carriage return alone ends a line, at the end of the file as anywhere else: its values
// read the same before and after keys are added (found by the INI fuzz target).
TEST_F(IniStoreTest, ACarriageReturnAloneEndsALine)
{
    Put("[PARAM]\rNum=37\rPause=1\r\r");
    IniStore ini(path_);
    EXPECT_EQ(ini.ReadString("PARAM", "Num", ""), "37");
    EXPECT_EQ(ini.ReadString("PARAM", "Pause", ""), "1");
    ASSERT_TRUE(ini.WriteString("PARAM", "Speed", "5"));
    IniStore again(path_);
    EXPECT_EQ(again.ReadString("PARAM", "Num", ""), "37");
    EXPECT_EQ(again.ReadString("PARAM", "Speed", ""), "5");
    EXPECT_EQ(Get(), "[PARAM]\rNum=37\rPause=1\rSpeed=5\r\r");
}
