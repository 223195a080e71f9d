#pragma once

#include <functional>
#include <string>

// Message boxes that the service raises itself (start failure, a port that cannot be
// set up, a database that cannot be opened) go through this hook: the desktop program
// shows its message box, the headless service writes the text to stderr.
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// type 0: a notice with one button; 4: a Yes/No question. Returns IDYES or IDNO.
// Any thread; the hook decides where the box appears.
int ShowNotice(const std::string& text, const std::string& caption, int type);

using NoticeHook = std::function<int(const std::string& text, const std::string& caption, int type)>;

// Replaces the hook; an empty function restores the default (stderr, answer IDNO).
void SetNoticeHook(NoticeHook hook);
