// The host's stand-ins for the kernel32 calls the program makes, held to how
// Windows behaves where the program relies on it.
#include "tests/support.h"
#include "platform/host/files.h"
#include "platform/host/reset.h"
#include "platform/host/system.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

using std::string;

struct HostFiles : testing::Test {
    Scratch drive;
    void SetUp() override
    {
        std::filesystem::create_directories(drive.Path("WINDOWS/INF"));
        host::Reset();
        host::SetDriveC(drive.root);
    }
    void TearDown() override { EXPECT_EQ(host::OpenHandleCount(), 0); }

    // The whole file under a Win32 name, or "(refused)" with the error.
    string ReadAll(LPCSTR name)
    {
        HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return "(refused " + std::to_string(GetLastError()) + ")";
        char buffer[64];
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &got, NULL));
        CloseHandle(file);
        return string(buffer, got);
    }
    bool CreateForWriting(LPCSTR name)
    {
        HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        return file != INVALID_HANDLE_VALUE;
    }
};

// Windows: names are matched without regard to letter case in every component
// and keep the case they were created with; the backslash separates them.
TEST_F(HostFiles, NamesMatchInAnyCaseAndBackslashesSeparate)
{
    drive.Write("WINDOWS/INF/Machine.Inf", "inf");
    drive.Write("WINDOWS/INF\\machine.inf", "not a path"); // one host name holding a backslash
    for (LPCSTR name : {"C:\\WINDOWS\\INF\\Machine.Inf", "c:\\windows\\inf\\MACHINE.INF", "C:\\Windows\\Inf\\machine.inf"})
        EXPECT_EQ(ReadAll(name), "inf") << name;
    EXPECT_EQ(ReadAll("C:\\WINDOWS\\INF\\absent.inf"), "(refused 2)");  // ERROR_FILE_NOT_FOUND
    EXPECT_EQ(ReadAll("C:\\WINDOWS\\NOWHERE\\x.inf"), "(refused 3)");   // ERROR_PATH_NOT_FOUND
    EXPECT_EQ(ReadAll("D:\\WINDOWS\\INF\\Machine.Inf"), "(refused 3)");

    EXPECT_TRUE(CreateForWriting("C:\\windows\\inf\\New.Inf"));
    EXPECT_TRUE(drive.Exists("WINDOWS/INF/New.Inf"));
}

// Windows (and Wine's test_MoveFileA): MoveFileA fails with
// ERROR_ALREADY_EXISTS when the new name exists, in whatever letter case, and
// moves nothing; a name that differs only in case renames the file itself.
TEST_F(HostFiles, MoveFileNeverReplaces)
{
    drive.Write("WINDOWS/INF/a.inf", "A");
    drive.Write("WINDOWS/INF/B.INF", "B");
    std::filesystem::create_directories(drive.Path("WINDOWS/INF/dir"));
    for (LPCSTR taken : {"C:\\WINDOWS\\INF\\B.INF", "C:\\WINDOWS\\INF\\b.inf", "C:\\WINDOWS\\INF\\DIR"}) {
        SetLastError(0);
        EXPECT_FALSE(MoveFileA("C:\\WINDOWS\\INF\\a.inf", taken)) << taken;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS) << taken;
    }
    EXPECT_EQ(drive.Read("WINDOWS/INF/a.inf"), "A");
    EXPECT_EQ(drive.Read("WINDOWS/INF/B.INF"), "B");

    EXPECT_FALSE(MoveFileA("C:\\WINDOWS\\INF\\absent.inf", "C:\\WINDOWS\\INF\\c.inf"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(MoveFileA("C:\\WINDOWS\\INF\\A.INF", "C:\\WINDOWS\\INF\\c.inf"));
    EXPECT_FALSE(drive.Exists("WINDOWS/INF/a.inf"));
    EXPECT_EQ(drive.Read("WINDOWS/INF/c.inf"), "A");
    EXPECT_TRUE(MoveFileA("C:\\WINDOWS\\INF\\c.inf", "C:\\WINDOWS\\INF\\C.INF"));
    EXPECT_EQ(drive.Read("WINDOWS/INF/C.INF"), "A");
}

// Windows: DeleteFileA refuses a directory and a read-only file with
// ERROR_ACCESS_DENIED, and both stay.
TEST_F(HostFiles, DeleteFileDeletesWritableFilesOnly)
{
    std::filesystem::create_directories(drive.Path("WINDOWS/INF/machine.in@"));
    drive.Write("WINDOWS/INF/usb.in@", "read-only");
    chmod(drive.Path("WINDOWS/INF/usb.in@").c_str(), 0444);
    drive.Write("WINDOWS/INF/out.inf", "work");
    for (LPCSTR kept : {"C:\\WINDOWS\\INF\\machine.in@", "C:\\WINDOWS\\INF\\usb.in@"}) {
        EXPECT_FALSE(DeleteFileA(kept)) << kept;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED) << kept;
    }
    EXPECT_TRUE(drive.Exists("WINDOWS/INF/machine.in@"));
    EXPECT_EQ(drive.Read("WINDOWS/INF/usb.in@"), "read-only");
    EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\INF\\absent.inf"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(DeleteFileA("C:\\WINDOWS\\INF\\OUT.INF"));
    EXPECT_FALSE(drive.Exists("WINDOWS/INF/out.inf"));
}

// Windows 95 has no symbolic links: a name is the file itself. So the work
// file is never opened for writing through a link, which would overwrite the
// file the link points to, or create one elsewhere.
TEST_F(HostFiles, WritingRefusesASymbolicLink)
{
    drive.Write("victim.txt", "keep me");
    ASSERT_EQ(symlink(drive.Path("victim.txt").c_str(), drive.Path("WINDOWS/INF/out.inf").c_str()), 0);
    ASSERT_EQ(symlink(drive.Path("new.txt").c_str(), drive.Path("WINDOWS/INF/usb.inf").c_str()), 0);
    EXPECT_FALSE(CreateForWriting("C:\\WINDOWS\\INF\\out.inf"));
    EXPECT_FALSE(CreateForWriting("C:\\WINDOWS\\INF\\usb.inf"));
    EXPECT_EQ(drive.Read("victim.txt"), "keep me");
    EXPECT_FALSE(drive.Exists("new.txt"));
}

// Windows: CreateFileA refuses to open a directory as a file; a FIFO, which
// Windows 95 does not have, must be refused too rather than wait for a writer.
TEST_F(HostFiles, ReadingRefusesDirectoriesAndFifos)
{
    std::filesystem::create_directories(drive.Path("WINDOWS/INF/mshdc.inf"));
    ASSERT_EQ(mkfifo(drive.Path("WINDOWS/INF/machine.inf").c_str(), 0644), 0);
    alarm(20); // a blocking open would otherwise hang the test
    EXPECT_EQ(ReadAll("C:\\WINDOWS\\INF\\mshdc.inf"), "(refused 5)");
    EXPECT_EQ(ReadAll("C:\\WINDOWS\\INF\\machine.inf"), "(refused 5)");
    EXPECT_FALSE(CreateForWriting("C:\\WINDOWS\\INF\\mshdc.inf"));
    alarm(0);
}

// Windows: a file opened again must be allowed by the share mode of every
// handle open on it, and must allow theirs; an open file can be neither
// renamed nor deleted (Windows 95 has no FILE_SHARE_DELETE).
TEST_F(HostFiles, ShareModesOfOpenHandlesAreHonoured)
{
    drive.Write("WINDOWS/INF/machine.inf", "inf");
    LPCSTR name = "C:\\WINDOWS\\INF\\machine.inf";
    HANDLE reader = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    struct Open {
        DWORD access, share, disposition;
        bool allowed;
    };
    for (const Open &o : {Open{GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, true},
                          Open{GENERIC_READ, 0, OPEN_EXISTING, false},   // would deny the reader
                          Open{GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, false}, // the reader denies writers
                          Open{GENERIC_WRITE, 0, CREATE_ALWAYS, false}}) {
        HANDLE again = CreateFileA(name, o.access, o.share, NULL, o.disposition, 0, NULL);
        EXPECT_EQ(again != INVALID_HANDLE_VALUE, o.allowed) << o.access << "/" << o.share;
        if (again != INVALID_HANDLE_VALUE)
            CloseHandle(again);
        else
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    }
    EXPECT_FALSE(MoveFileA(name, "C:\\WINDOWS\\INF\\machine.in@"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFileA(name));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(drive.Read("WINDOWS/INF/machine.inf"), "inf");
    CloseHandle(reader);
    EXPECT_TRUE(MoveFileA(name, "C:\\WINDOWS\\INF\\machine.in@"));
}

// FAT never holds two names that differ only in letter case; a Linux folder
// may, and then Windows would see either of them. Every call on such a name
// fails, and both entries stay as they were.
TEST_F(HostFiles, NamesThatDifferOnlyInCaseAreRefused)
{
    drive.Write("WINDOWS/INF/machine.inf", "one");
    drive.Write("WINDOWS/INF/MACHINE.INF", "other");
    drive.Write("WINDOWS/Inf/usb.inf", "in the twin folder");
    LPCSTR name = "C:\\WINDOWS\\INF\\Machine.Inf";
    EXPECT_EQ(ReadAll(name), "(refused 5)");
    EXPECT_FALSE(CreateForWriting(name));
    EXPECT_FALSE(MoveFileA(name, "C:\\WINDOWS\\INF\\machine.in@"));
    EXPECT_FALSE(DeleteFileA(name));
    EXPECT_EQ(GetFileAttributesA(name), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(SetFileAttributesA(name, FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(ReadAll("C:\\WINDOWS\\INF\\usb.inf"), "(refused 5)"); // the folder is a twin too
    EXPECT_EQ(drive.Read("WINDOWS/INF/machine.inf"), "one");
    EXPECT_EQ(drive.Read("WINDOWS/INF/MACHINE.INF"), "other");
}

// Windows: the read-only attribute comes and goes with SetFileAttributesA; a
// read-only file can be renamed but not deleted. The host's read-only
// attribute is the owner's write permission; a link is never changed.
TEST_F(HostFiles, TheReadOnlyAttributeIsTheWritePermission)
{
    drive.Write("WINDOWS/INF/machine.inf", "inf");
    drive.Write("victim.txt", "outside");
    ASSERT_EQ(symlink(drive.Path("victim.txt").c_str(), drive.Path("WINDOWS/INF/link.inf").c_str()), 0);
    LPCSTR name = "C:\\WINDOWS\\INF\\MACHINE.INF";
    EXPECT_EQ(GetFileAttributesA(name), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_TRUE(SetFileAttributesA(name, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(GetFileAttributesA(name), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_FALSE(DeleteFileA(name));
    EXPECT_TRUE(MoveFileA(name, "C:\\WINDOWS\\INF\\machine.in@"));
    EXPECT_TRUE(SetFileAttributesA("C:\\WINDOWS\\INF\\machine.in@", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA("C:\\WINDOWS\\INF\\machine.in@"));
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\INF"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\INF\\absent.inf"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SetFileAttributesA("C:\\WINDOWS\\INF\\link.inf", FILE_ATTRIBUTE_READONLY));
    struct stat info;
    ASSERT_EQ(stat(drive.Path("victim.txt").c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IWUSR);
}

// Windows: GetWindowsDirectoryA answers the length copied, or, when the buffer
// is too small, the size needed with its NUL, copying nothing.
TEST_F(HostFiles, WindowsDirectoryTellsTheSizeItNeeds)
{
    char buffer[16] = "untouched";
    EXPECT_EQ(GetWindowsDirectoryA(buffer, 10), 11u);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(GetWindowsDirectoryA(buffer, 11), 10u);
    EXPECT_STREQ(buffer, "C:\\WINDOWS");
    host::SetWindowsDirectory("");
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof buffer), 0u);
}

} // namespace
