// File replacement: paths, opening the two streams and the commit.
#include "inf/replace.h"
#include "inf/linestream.h"
#include "state/state.h"
#include "state/messages.h"

char TargetPath[PATH_BUFFER_SIZE];
char WorkPath[PATH_BUFFER_SIZE];
char BackupPath[PATH_BUFFER_SIZE];
char MessageText[PATH_BUFFER_SIZE];

static const char *const TargetSuffixes[] = {"\\inf\\machine.inf", "\\inf\\mshdc.inf", "\\inf\\usb.inf"};
static const char *const BackupSuffixes[] = {"\\inf\\machine.in@", "\\inf\\mshdc.in@", "\\inf\\usb.in@"};
static const char WorkSuffix[] = "\\inf\\out.inf";

void ClearCommandBuffers()
{
    TargetPath[0] = WorkPath[0] = BackupPath[0] = MessageText[0] = '\0';
}

void BuildPaths(TargetFile target)
{
    lstrcpyA(TargetPath, WindowsDirectory);
    lstrcatA(TargetPath, TargetSuffixes[target]);
    lstrcpyA(WorkPath, WindowsDirectory);
    lstrcatA(WorkPath, WorkSuffix);
    lstrcpyA(BackupPath, WindowsDirectory);
    lstrcatA(BackupPath, BackupSuffixes[target]);
}

static void ReportFile(LPCSTR text, LPCSTR path, LPCSTR caption)
{
    lstrcpyA(MessageText, text);
    lstrcatA(MessageText, path);
    ShowMessage(MessageText, caption, MB_OK | MB_ICONERROR);
}

bool OpenTarget(LPCSTR targetPath)
{
    return OpenSourceStream(targetPath);
}

void ReportMissingTarget(LPCSTR targetPath)
{
    ReportFile("Can't find ", targetPath, "File Open Error");
}

void OpenWork(LPCSTR workPath)
{
    if (OpenWorkStream(workPath))
        return;
    ReportFile("Can't create ", workPath, "File Open Error");
    ExitProgram(1);
}

// A backup holds a target's old text and with it the target's read-only
// attribute, which would keep it from being deleted.
static void DeleteBackup(LPCSTR backupPath)
{
    DWORD attributes = GetFileAttributesA(backupPath);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        SetFileAttributesA(backupPath, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(backupPath);
}

void RecoverTargets()
{
    for (int target = MACHINE_INF; target <= USB_INF; target++) {
        BuildPaths((TargetFile)target);
        DWORD backup = GetFileAttributesA(BackupPath);
        if (backup == INVALID_FILE_ATTRIBUTES || (backup & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        DWORD present = GetFileAttributesA(TargetPath);
        if (present == INVALID_FILE_ATTRIBUTES) {
            if (GetLastError() == ERROR_FILE_NOT_FOUND)
                MoveFileA(BackupPath, TargetPath); // the last text committed, back under its name
        } else if (!(present & FILE_ATTRIBUTE_DIRECTORY)) {
            DeleteBackup(BackupPath); // the old text of a commit that went through
        }
    }
    ClearCommandBuffers();
}

bool BackupExists(LPCSTR backupPath)
{
    return GetFileAttributesA(backupPath) != INVALID_FILE_ATTRIBUTES;
}

bool CommitTarget(LPCSTR targetPath, LPCSTR workPath, LPCSTR backupPath, const RenameFailureMessage &renameFailure)
{
    bool readAll = CloseSourceStream();
    bool wroteAll = CloseWorkStream();
    if (!readAll || !wroteAll) {
        // A text read or written in part must never take the target's place.
        DeleteFileA(workPath);
        if (!readAll)
            ReportFile("Can't read ", targetPath, "File Error");
        else
            ReportFile("Can't write ", workPath, "File Error");
        return false;
    }
    DWORD attributes = GetFileAttributesA(targetPath);
    DeleteBackup(backupPath);
    if (MoveFileA(targetPath, backupPath)) {
        if (MoveFileA(workPath, targetPath)) {
            // The new text keeps the read-only, hidden and system attributes the old one had.
            if (attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
                SetFileAttributesA(targetPath, attributes);
            DeleteBackup(backupPath);
            return true;
        }
        MoveFileA(backupPath, targetPath); // the target must not vanish
    }
    ShowMessage(renameFailure.text, renameFailure.caption, MB_OK);
    return false;
}
