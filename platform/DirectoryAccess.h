#pragma once

#include <string>

#include "platform/AppPaths.h"

// Empty when this process may enter and read `directory` (for one not made yet: the
// nearest folder on its path that exists). Otherwise "permission denied: ..." naming the
// folder, its owner, group and mode, and what would let this user in: the group to join,
// when the folder lets its group in. Any thread.
std::string DirectoryAccessProblem(const std::string& directory);

// Run as root on a folder that another user owns (the service's folder of an installed
// Vantrel), a command acts as that user, with that user's groups: what it creates there
// (Info.db, its journal files, the log, port pairs) then belongs to the service, which
// could not use root's files. Nothing happens for any other user or folder. Returns
// false, with the reason in `problem`, when the user cannot be taken on.
// Main thread, before any other thread starts.
bool ActAsOwnerOf(const std::string& directory, std::string& problem);

// The folder a program works in: vantreld and the desktop program the application
// directory, setupc the port directory.
enum class UsedFolder { Application, Ports };

// What vantreld, setupc and the desktop program do before their work: settle the
// application directory (SettleApplicationDirectory), then for the service's programs
// run as root act as the owner of the folder they use, then check that they may use it
// (and that the application directory exists).
// False, with the reason in `problem`, when the program cannot go on.
// Main thread, before any other thread starts.
bool SetUpApplicationDirectory(AppRole role, const std::string& chosen, UsedFolder folder, std::string& problem);
