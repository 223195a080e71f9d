#pragma once

#include <CLI/CLI.hpp>
#include <string>

// The synopsis of every command below `command` (or of `command` itself when it has none),
// built from the options as registered so that help and commands cannot drift apart: one
// entry per command, "vantreld tunnel add DEVICE-ID --port COMn [--baud B] ...", optional
// ones in brackets, flags that exclude each other as one choice ("[--hex | --json]"), long
// entries wrapped under the command's name. Main thread.
std::string CommandSynopsis(const CLI::App& command);

// Gives `app` and each of its commands that has commands of its own a footer with the
// synopsis of those commands alone, and every other command none; `appendix` follows
// the synopsis in `app`'s footer. A command copies its parent's footer when it is made,
// so this runs once every command is registered. Main thread.
void SetCommandFooters(CLI::App& app, const std::string& appendix);
