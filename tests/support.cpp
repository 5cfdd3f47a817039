#include "tests/support.h"
#include "state/state.h"
#include "platform/host/files.h"
#include "platform/host/reset.h"
#include "platform/host/system.h"
#include "platform/host/ui.h"
#include "res/resource.h"

#include <gtest/gtest.h>

#include <filesystem>

void PrepareCommand(const Scratch &drive, bool chipset, bool usb)
{
    std::filesystem::create_directories(drive.Path("WINDOWS/INF"));
    host::Reset();
    host::SetDriveC(drive.root);
    lstrcpyA(WindowsDirectory, "C:\\WINDOWS");
    MainDialog = host::DialogWindow();
    RestartFlag = 0;
    Unattended = 0;
    host::MainDialogState.checks[IDC_CHIPSET] = chipset ? BST_CHECKED : BST_UNCHECKED;
    host::MainDialogState.checks[IDC_USB] = usb ? BST_CHECKED : BST_UNCHECKED;
}

std::string RunPass(const std::function<void()> &pass, const std::string &input, host::Os os)
{
    host::Reset();
    host::SetOs(os);
    Scratch drive;
    host::SetDriveC(drive.root);
    drive.Write("WINDOWS/INF/SOURCE.INF", input);
    EXPECT_TRUE(OpenSourceStream("C:\\WINDOWS\\INF\\source.inf"));
    EXPECT_TRUE(OpenWorkStream("C:\\WINDOWS\\INF\\out.inf"));
    pass();
    EXPECT_TRUE(CloseSourceStream());
    EXPECT_TRUE(CloseWorkStream());
    return drive.Read("WINDOWS/INF/out.inf");
}

std::string Crlf(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find("\r\n", begin);
        if (end == std::string::npos) {
            lines.push_back(text.substr(begin));
            break;
        }
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 2;
    }
    return lines;
}

static bool IsMarked(const std::string &line)
{
    return line.size() >= 7 && line.compare(line.size() - 7, 7, ";Plovex") == 0;
}

int CountMarked(const std::string &text)
{
    int marked = 0;
    for (const std::string &line : Lines(text))
        marked += IsMarked(line);
    return marked;
}

std::vector<MarkedBlock> MarkedBlocks(const std::string &text)
{
    std::vector<MarkedBlock> blocks;
    std::string previous;
    bool open = false;
    for (const std::string &line : Lines(text)) {
        if (IsMarked(line)) {
            if (!open)
                blocks.push_back({previous, "", 0});
            blocks.back().count++;
            open = true;
        } else {
            if (open)
                blocks.back().after = line;
            open = false;
            previous = line;
        }
    }
    return blocks;
}

std::string Unmarked(const Catalogue &catalogue, int slot)
{
    std::string text = catalogue.texts + slot * catalogue.stride;
    return text.substr(0, text.size() - INSTALL_MARKER_LENGTH);
}
