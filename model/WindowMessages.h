#pragma once

#include "platform/Messages.h"

// The messages between the parts of the system, with their numbers.
constexpr unsigned WM_SERIAL_RXCHAR = WM_USER + 101;
constexpr unsigned WM_SERIAL_CTS = WM_USER + 102;
constexpr unsigned WM_SERIAL_DSR = WM_USER + 103;
constexpr unsigned WM_SERIAL_RING = WM_USER + 104;
constexpr unsigned WM_SERIAL_RLSD = WM_USER + 106;
constexpr unsigned WM_SERIAL_BREAK = WM_USER + 107;
constexpr unsigned WM_SERIAL_TXEMPTY = WM_USER + 108;
constexpr unsigned WM_SERIAL_ERR = WM_USER + 109;
constexpr unsigned WM_SERIAL_STATUS = WM_USER + 200;
constexpr unsigned WM_DEVICE_EVENT = WM_USER + 201;
constexpr unsigned WM_TCP_STATUS = WM_USER + 202;
constexpr unsigned WM_DEVICE_EDITED = WM_USER + 203;
constexpr unsigned WM_STATUS_TEXT = WM_USER + 204;
constexpr unsigned WM_SERVICE_FAILED = WM_USER + 205;
constexpr unsigned WM_TRAY_NOTIFY = WM_USER + 206;
// Posted by the not-forwarded writer (through the data center) to the service host window:
// wParam 1 when the store's size limit is reached (lParam: the limit in bytes), 0 when
// storing resumes (lParam: records counted, not stored, meanwhile).
constexpr unsigned WM_NOTTRANS_LIMIT = WM_USER + 207;
// Sent by the service host to its main window when its listener starts, pauses or
// resumes accepting devices; lParam points to a ListenerState (valid during the call).
constexpr unsigned WM_LISTENER_STATE = WM_USER + 208;
// Sent by the service host to its main window after each reload of the configuration
// (whoever asked for it): wParam 1 when it was applied, 0 when it was refused and the
// running configuration kept; lParam points to the text that says what changed, or why
// (valid during the call).
constexpr unsigned WM_CONFIGURATION_RELOADED = WM_USER + 209;

// A menu or toolbar command to a window; wParam is the command ID.
constexpr unsigned WM_COMMAND = 0x0111;
