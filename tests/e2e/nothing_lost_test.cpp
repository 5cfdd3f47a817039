// What a careless or hostile user can do to the runner without losing a text:
// two runs at once, names Windows cannot tell apart, read-only files, and a
// registry file, log or script that the run would overwrite.
#include "tests/e2e/sample.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace e2e;

const char Install[] = "install\nexit\nno\n";

bool Has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

bool ReadOnly(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && !(info.st_mode & S_IWUSR);
}

// A second run on a Windows folder in use is refused before it writes
// anything; two runs started together never mix their files.
TEST(NothingLost, OneRunAtATimePerWindowsFolder)
{
    Sample c;
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    PlovexChild first = c.Start(pipeEnds[0]); // waits for its script, holding the folder
    close(pipeEnds[0]);
    ASSERT_TRUE(first.WaitForInput()) << "the first run never waited for its script";
    ASSERT_TRUE(Locked(c.Path("WINDOWS"))) << "the first run waits for its script without the lock";
    auto before = c.Snapshot();
    PlovexRun second = c.Plovex(Install);
    EXPECT_EQ(second.code, 2);
    EXPECT_TRUE(Has(second.err, "is in use by another plovex run")) << second.err;
    EXPECT_TRUE(Has(second.err, c.Path("WINDOWS"))) << second.err;
    EXPECT_TRUE(c.Snapshot() == before) << "a file changed";
    ASSERT_EQ(write(pipeEnds[1], Install, sizeof Install - 1), (ssize_t)sizeof Install - 1);
    close(pipeEnds[1]);
    PlovexRun firstRun = first.Wait();
    EXPECT_EQ(firstRun.code, 0) << firstRun.err;
    EXPECT_EQ(Boxes(firstRun), (std::vector<std::string>{Done, RestartNo}));

    // Install and Uninstall started together on a machine.inf big enough to
    // take a while: machine.inf ends as one of them, or both one after the
    // other, make it.
    std::string machine = c.Read(Machine);
    for (int i = 0; machine.size() < 16 << 20; i++)
        machine += "; vendor notes, line " + std::to_string(i) + "\r\n";
    const char Uninstall[] = "uninstall\nexit\nno\n";
    std::vector<std::string> whole;
    for (std::vector<const char *> order : {std::vector<const char *>{Install}, {Uninstall}, {Install, Uninstall},
                                            {Uninstall, Install}}) {
        Sample e;
        e.Write(Machine, machine);
        for (const char *script : order)
            EXPECT_EQ(e.Plovex(script).code, 0);
        whole.push_back(e.Read(Machine));
    }
    for (int attempt = 0; attempt < 3; attempt++) {
        Sample d;
        d.Write(Machine, machine);
        d.io.Write("install.txt", Install);
        d.io.Write("uninstall.txt", Uninstall);
        int input[2] = {open(d.io.Path("install.txt").c_str(), O_RDONLY | O_CLOEXEC),
                        open(d.io.Path("uninstall.txt").c_str(), O_RDONLY | O_CLOEXEC)};
        PlovexChild runs[2] = {d.Start(input[0]), d.Start(input[1])};
        int codes[2] = {runs[0].Wait().code, runs[1].Wait().code};
        close(input[0]);
        close(input[1]);
        EXPECT_TRUE((codes[0] == 0 || codes[0] == 2) && (codes[1] == 0 || codes[1] == 2) && codes[0] + codes[1] < 4)
            << codes[0] << " " << codes[1];
        EXPECT_NE(std::find(whole.begin(), whole.end(), d.Read(Machine)), whole.end())
            << "machine.inf is no text that whole runs make";
        for (const char *left : {"out.inf", "machine.in@", "mshdc.in@", "usb.in@"})
            EXPECT_FALSE(d.Exists(Inf + left)) << left;
    }
}

// Two entries that differ only in letter case are one name to Windows: neither
// is read, replaced or deleted.
TEST(NothingLost, NamesThatDifferOnlyInCaseAreLeftAlone)
{
    Sample c;
    c.Write(Inf + "MACHINE.INF", "[Version]\r\nSignature=$CHICAGO$\r\n; the OSR2 text\r\n");
    auto before = c.Snapshot();
    PlovexRun run = c.Plovex("install\nuninstall\nexit\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(Boxes(run), (std::vector<std::string>{R"(File Open Error|Can't find C:\\WINDOWS\\inf\\machine.inf|16|1)"}));
    EXPECT_TRUE(Has(run.err, "\"machine.inf\"") && Has(run.err, "\"MACHINE.INF\"")) << run.err;
    EXPECT_TRUE(c.Snapshot() == before) << "a file changed";
}

// A read-only target is rewritten, stays read-only, and leaves no backup for
// the next command to trip over.
TEST(NothingLost, ReadOnlyTargetsStayReadOnlyAndLeaveNoBackup)
{
    Sample c, plain;
    const char script[] = "install\ninstall\nuninstall\ninstall\nexit\nno\n";
    chmod(c.Path(Machine).c_str(), 0444);
    chmod(c.Path(Mshdc).c_str(), 0444);
    PlovexRun run = c.Plovex(script);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Boxes(run), (std::vector<std::string>{Done, Done, Undone, Done, RestartNo}));
    ASSERT_EQ(plain.Plovex(script).code, 0);
    for (const std::string &target : {Machine, Mshdc}) {
        EXPECT_TRUE(ReadOnly(c.Path(target))) << target;
        EXPECT_EQ(c.Read(target), plain.Read(target)) << target;
    }
    for (const char *left : {"out.inf", "machine.in@", "mshdc.in@", "usb.in@"})
        EXPECT_FALSE(c.Exists(Inf + left)) << left;
}

// A registry file the run could not replace, and a log or script that the run
// would overwrite or change under its own feet, are refused before anything is
// written; so is a script line that is not understood, quoted in short.
TEST(NothingLost, FilesTheRunWouldSpoilAreRefusedAtStart)
{
    const std::string longName(251, 'r'); // with ".new~" one more than a name may have
    struct Case {
        const char *what;
        std::function<std::vector<std::string>(Sample &)> setUp;
        const char *message;
    };
    const Case cases[] = {
        {"a read-only registry file",
         [](Sample &c) {
             chmod(c.Path("SYSTEM.REG").c_str(), 0444);
             return std::vector<std::string>{};
         },
         "is read-only"},
        {"a registry file whose folder takes no replacement file",
         [&](Sample &c) {
             c.io.Write(longName, c.Read("SYSTEM.REG"));
             return std::vector<std::string>{"--registry", c.io.Path(longName)};
         },
         "does not take the new file"},
        {"the log is the registry file",
         [](Sample &c) { return std::vector<std::string>{"--log", c.Path("SYSTEM.REG")}; }, "is the registry file"},
        {"the log lies on drive C:",
         [](Sample &c) { return std::vector<std::string>{"--log", c.Path(Machine)}; }, "lies on drive C:"},
        {"the script lies on drive C:",
         [](Sample &c) {
             c.Write("run.txt", Install);
             return std::vector<std::string>{"--script", c.Path("run.txt")};
         },
         "lies on drive C:"},
        {"a script line of 10 MiB",
         [](Sample &c) {
             c.io.Write("long.txt", "install\n" + std::string(10 << 20, 'x') + "\nexit\n");
             return std::vector<std::string>{"--script", c.io.Path("long.txt")};
         },
         "2: not understood: \"xxxxxxxx"},
    };
    for (const Case &k : cases) {
        Sample c;
        std::vector<std::string> options = k.setUp(c);
        auto before = c.Snapshot();
        std::string registryFolder = c.io.Read(longName);
        PlovexRun run = c.Plovex(Install, options);
        EXPECT_EQ(run.code, 2) << k.what;
        EXPECT_TRUE(Has(run.err, k.message)) << k.what << ": " << run.err;
        EXPECT_LT(run.err.size(), 1000u) << k.what;
        EXPECT_TRUE(c.Snapshot() == before) << k.what << ": a file changed";
        EXPECT_EQ(c.io.Read(longName), registryFolder) << k.what;
    }
}

// A registry file given as a symbolic link: the file it names is updated, and
// the link stays a link.
TEST(NothingLost, ARegistryLinkUpdatesTheFileItNames)
{
    Sample c;
    c.io.Write("hklm.reg", c.Read("SYSTEM.REG"));
    ASSERT_EQ(symlink(c.io.Path("hklm.reg").c_str(), c.io.Path("link.reg").c_str()), 0);
    PlovexRun run = c.Plovex(Install, {"--registry", c.io.Path("link.reg")});
    EXPECT_EQ(run.code, 0) << run.err;
    struct stat info;
    ASSERT_EQ(lstat(c.io.Path("link.reg").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_FALSE(Has(c.io.Read("hklm.reg"), "VEN_8086&DEV_7110"));
    EXPECT_TRUE(Has(c.io.Read("hklm.reg"), "[HKEY_LOCAL_MACHINE\\Enum\\PCI"));
}

} // namespace
