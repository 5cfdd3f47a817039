// What a dry run prints at its end: the files of drive C: a run would change,
// as one unified diff that patch(1) applies, then the device keys it would
// delete, one a line. The registry file and its untouched copy get no diff
// (a hive is binary): its keys say what would change.
#include "runner/dry_run.h"
#include "platform/host/files.h"
#include "platform/host/overlay.h"
#include "platform/host/registry.h"
#include "runner/report.h"

#include <dtl/dtl.hpp>

#include <iostream>

namespace runner {

namespace {

bool DryRun;

// The lines of a text, each with its LF; a CR before the LF stays in the line,
// so that a CR LF text is compared and written byte for byte.
std::vector<std::string> LinesOf(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t lf = text.find('\n', at);
        size_t end = lf == std::string::npos ? text.size() : lf + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

// A hunk's range as diff -u writes it: "start,count", or "start" for one line.
std::string Range(long long start, long long count)
{
    return count == 1 ? std::to_string(start) : std::to_string(start) + "," + std::to_string(count);
}

// One file's change as diff -u gives it, with three lines of context, from
// a/BEFORE to b/AFTER (/dev/null for no file); a last line without LF is
// marked as diff marks it. dtl finds the shortest edit script and groups it
// in hunks; each hunk's ranges are counted from its own lines.
std::string UnifiedDiff(const host::FileChange &change)
{
    dtl::Diff<std::string> diff(LinesOf(change.oldBytes), LinesOf(change.newBytes));
    diff.compose();
    diff.composeUnifiedHunks();
    std::string out = "--- " + (change.before.empty() ? "/dev/null" : "a/" + change.before) + "\n+++ " +
                      (change.after.empty() ? "/dev/null" : "b/" + change.after) + "\n";
    for (const auto &hunk : diff.getUniHunks()) {
        std::vector<const std::pair<std::string, dtl::elemInfo> *> lines;
        for (const auto *part : {&hunk.common[0], &hunk.change, &hunk.common[1]})
            for (const auto &line : *part)
                lines.push_back(&line);
        long long oldStart = hunk.a - 1, oldCount = 0, newStart = hunk.c - 1, newCount = 0; // empty sides: 0,0
        for (const auto *line : lines) {
            if (line->second.type != dtl::SES_ADD && oldCount++ == 0)
                oldStart = line->second.beforeIdx;
            if (line->second.type != dtl::SES_DELETE && newCount++ == 0)
                newStart = line->second.afterIdx;
        }
        out += "@@ -" + Range(oldStart, oldCount) + " +" + Range(newStart, newCount) + " @@\n";
        for (const auto *line : lines) {
            out += line->second.type == dtl::SES_ADD ? '+' : line->second.type == dtl::SES_DELETE ? '-' : ' ';
            out += line->first;
            if (line->first.back() != '\n')
                out += "\n\\ No newline at end of file\n";
        }
    }
    return out;
}

} // namespace

void StartDryRun()
{
    DryRun = true;
    host::StartDryRun();
}

void PrintDryRun()
{
    if (!DryRun)
        return;
    std::vector<host::FileChange> changes = host::DryRunChanges(host::DriveCStore(), host::DriveCRootPath());
    std::cout << "(dry run: nothing was written; "
              << (changes.empty() ? "a run would change no file"
                                  : "the files a run would change follow, for patch -p1 in drive C:")
              << ")\n";
    for (const host::FileChange &change : changes)
        std::cout << UnifiedDiff(change);
    if (!host::RegistryFile().empty()) {
        const std::vector<std::string> &keys = KeysDeleted();
        std::cout << "(dry run: " << (keys.empty() ? "a run would delete no device key from " : "the device keys a run would delete from ")
                  << host::RegistryStore().Describe(host::RegistryFile()) << (keys.empty() ? ")\n" : " follow)\n");
        for (const std::string &key : keys)
            std::cout << "HKEY_LOCAL_MACHINE\\" << key << "\n";
    }
    std::cout.flush();
}

} // namespace runner
