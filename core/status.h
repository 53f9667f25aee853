// The exit statuses every command ends with, as the README and the manual
// list them: what a failure's kind maps to when a front end is a process.
#ifndef AXQ_CORE_STATUS_H
#define AXQ_CORE_STATUS_H

constexpr int kExitOk = 0;
constexpr int kExitPartial =
    1; // some files were not archives, or some entries failed or were missing
constexpr int kExitUsage = 2;   // the command line was wrong
constexpr int kExitArchive = 3; // the archive, an input or an output file could not be used
constexpr int kExitPlugin = 4;  // the plug-in could not be loaded or lacks an export

#endif
