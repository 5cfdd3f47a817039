// Replacing a target INF file by its rewritten copy: the target is read as the
// source stream, the new text is written to the work file out.inf, and the
// commit moves the work file into the target's place through a backup name
// (machine.in@ and so on), deleted once the new text stands.
#ifndef PLOVEX_REPLACE_H
#define PLOVEX_REPLACE_H

#include "platform/platform.h"

enum TargetFile { MACHINE_INF, MSHDC_INF, USB_INF };
enum { PATH_BUFFER_SIZE = 255 };

// The command's buffers; emptied when a command starts, paths built per target.
extern char TargetPath[PATH_BUFFER_SIZE];
extern char WorkPath[PATH_BUFFER_SIZE];
extern char BackupPath[PATH_BUFFER_SIZE];
extern char MessageText[PATH_BUFFER_SIZE];

void ClearCommandBuffers();
// The Windows directory followed by the target's, the work file's and the
// backup's suffixes.
void BuildPaths(TargetFile target);

// Opens the target as the source stream; false when it cannot be opened.
bool OpenTarget(LPCSTR targetPath);
// Shows "Can't find " and the target path.
void ReportMissingTarget(LPCSTR targetPath);
// Creates the work file as the work stream, or shows "Can't create " with its
// path and ends the process with exit code 1.
void OpenWork(LPCSTR workPath);
// The message box a failed rename shows; each command words its own.
struct RenameFailureMessage {
    LPCSTR text;
    LPCSTR caption;
};
// Closes both streams and moves the work file into the target's place, which
// keeps the target's read-only, hidden and system attributes. False, after a
// message, when a read or write failed (nothing is moved and the work file is
// deleted) or a rename failed (the target is put back if it moved; the message
// is `renameFailure`).
bool CommitTarget(LPCSTR targetPath, LPCSTR workPath, LPCSTR backupPath, const RenameFailureMessage &renameFailure);

// Mends what a commit cut short by the end of the process leaves behind, for
// all three targets, before a command reads any of them: a target that is
// missing while its backup exists is put back from the backup (its last
// committed text); a backup beside a target that stands is deleted. Leaves the
// path buffers empty.
void RecoverTargets();
// A backup file stands under `backupPath`: its target must not be made anew.
bool BackupExists(LPCSTR backupPath);

#endif
