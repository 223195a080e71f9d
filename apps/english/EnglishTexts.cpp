// The English texts for every resource ID of the built-in Chinese ones. Format
// placeholders stay as they are: the program fills them the same way in every language.

#include "resources/LanguageModuleApi.h"
#include "resources/ResourceIds.h"
#include "resources/TextTables.h"

namespace {

constexpr StringEntry kStrings[] = {
    {IDS_ABOUTBOX, "&About Vantrel..."},
    {IDS_ALLOWED_CHARS, "Allowed characters:"},
    {IDS_ALLOWED_RANGE, "Allowed integer range: "},
    {IDS_LINK_CONNECTED, "Connected"},
    {IDS_LINK_DISCONNECTED, "Disconnected"},
    {IDS_PORT_OPEN, "Open"},
    {IDS_PORT_CLOSED, "Closed"},
    {IDS_NO_SERIAL_PORT, "No serial port found. Please check the serial ports."},
    {IDS_DEVICE_ID_LENGTH, "Please enter a device ID of 8 characters!"},
    {IDS_ADD_DEVICE, "Add Device"},
    {IDS_MODIFY_DEVICE, "Modify Device"},
    {IDS_DEVICE_EXISTS, "This device already exists!"},
    {IDS_SAME_PORT_WARNING,
     "Other devices in the device list use the same serial port with different port settings. "
     "Continuing will change their settings as well. Do you want to continue?"},
    {IDS_MODIFY_FAILED, "Failed to modify the device."},
    {IDS_ADD_SUCCEEDED, "Device added."},
    {IDS_ADD_FAILED, "Failed to add the device."},
    {IDS_MODIFY_SUCCEEDED, "Device modified."},
    {IDS_CONFIRM, "OK"},
    {IDS_YES, "Yes"},
    {IDS_NO, "No"},
    {IDS_COL_TIME, "Time"},
    {IDS_COL_NUMBER, "No."},
    {IDS_COL_DEVICE_ID, "Device ID"},
    {IDS_COL_DATA, "Data"},
    {IDS_COL_PHONE, "Phone Number"},
    {IDS_COL_SOURCE_IP, "Source IP Address"},
    {IDS_COL_PORT, "Serial Port"},
    {IDS_COL_BAUD_RATE, "Baud Rate"},
    {IDS_COL_LINK_STATE, "Device Link"},
    {IDS_COL_PORT_STATE, "Port State"},
    {IDS_COL_BYTES_IN, "Bytes In"},
    {IDS_COL_BYTES_OUT, "Bytes Out"},
    {IDS_COL_NOTE, "Note"},
    {IDS_COL_DATA_BITS, "Data Bits"},
    {IDS_COL_PARITY, "Parity"},
    {IDS_COL_STOP_BITS, "Stop Bits"},
    {IDS_COL_CHANNEL, "Channel"},
    {IDS_COL_DATA_TYPE, "Data Type"},
    {IDS_COL_FORWARD_STATUS, "Forwarding Status"},
    {IDS_NO_CONDITION, "Please enter a query/delete condition!"},
    {IDS_QUERYING, "Querying, please wait..."},
    {IDS_QUERY_SUCCEEDED, "Query succeeded."},
    {IDS_QUERY_FAILED, "Query failed."},
    {IDS_QUERY_NOTHING, "No matching data found."},
    {IDS_DELETE_SUCCEEDED, "Deleted."},
    {IDS_DELETE_FAILED, "Delete failed."},
    {IDS_SELECT_TO_MODIFY, "Please select the device to modify!"},
    {IDS_SELECT_TO_DELETE, "Please select the device to delete!"},
    {IDS_HEARTBEAT, "Heartbeat"},
    {IDS_USER_DATA, "User Data"},
    {IDS_SUCCESS, "Succeeded"},
    {IDS_FAILURE, "Failed"},
    {IDS_MONITOR_START, "Start"},
    {IDS_MONITOR_STOP, "Stop"},
    {IDS_MONITORED_CHANNEL, "Monitored channel"},
    {IDS_ALL_CHANNELS, "All channels"},
    {IDS_SETUPC_NOT_FOUND, "setupc was not found. Please check that setupc is in the program directory."},
    {IDS_SETUPC_FAILED, "Failed to start setupc."},
    {IDS_VIRTUAL_PORT_CREATED, "Virtual serial port created."},
    {IDS_BOOT_START_FAILED, "System settings error: the program cannot start with the system."},
    {IDS_SETTINGS_SAVED, "Settings saved!"},
    {IDS_SETTINGS_FAILED, "Failed to save the settings!"},
    {IDS_RESTART_FOR_LANGUAGE, "The program must restart for the new language to take effect. Restart now?"},
    {IDS_CHANNEL_TOTAL, "Total Channels"},
    {IDS_SERVICE_STOPPED, "Service stopped."},
    {IDS_SERVICE_STARTED, "Service started."},
    {IDS_SERVICE_START_FAILED, "The service failed to start. Please check that the IP address and port are correct."},
    {IDS_CONNECTED_TOTAL, "Total Connected"},
    {IDS_MATCHED_ONLINE_TOTAL, "Matched Online"},
    {IDS_READY, "Ready"},
    {IDS_EXIT_WHILE_RUNNING, "The service is running. Exit anyway?"},
    {IDS_NOTTRANS_LIMIT_REACHED, "Not-forwarded data reached its store limit (%s bytes): new records are counted, not stored"},
    {IDS_NOTTRANS_STORING_RESUMED, "Storing not-forwarded data again; %s records were not stored meanwhile"},
    {ID_SIM_START, "\nStart"},
    {ID_SIM_STOP, "\nStop"},
    {ID_SIM_MONITOR, "\nMonitor"},
    {ID_MGT_DEVICE, "\nDevice Management"},
    // Settings, not-forwarded data and virtual COM port dialogs.
    {IDS_LOCAL_IP_INVALID,
     "Enter an IPv4 address such as 192.168.1.10, or leave it empty for this computer's first IPv4 address."},
    {IDS_QUERY_MORE_MATCHED, "Query succeeded; only the first %s records are shown, more match."},
    {IDS_PORT_NAME_EMPTY, "The serial number can not be empty!"},
    {IDS_BOOT_START_NOT_REMOVED, "Cannot remove the log-on start entry: %s"},
    // Main window
    {IDS_LANGUAGE_FILE_FAILED, "Cannot write the language file %s: %s"},
    {IDS_RESTART_FAILED, "Cannot start %s again; please start it yourself"},
    // Who may be a device.
    {IDS_NETWORKS_INVALID,
     "\"%s\" is not an IPv4 network. Enter networks such as 10.0.0.0/8 or single addresses such as 203.0.113.7, "
     "separated by commas, or leave it empty to admit every address."},
    {IDS_PHONE_INVALID, "A phone number has at most 11 characters and no blanks; leave it empty to admit any."},
};

constexpr DialogTextEntry kDialogTexts[] = {
    {IDD_ABOUTBOX, IDC_CAPTION, "About Vantrel"},
    {IDD_ABOUTBOX, IDC_ABOUT_VERSION, "Vantrel, Version %s"},
    {IDD_ABOUTBOX, IDOK, "OK"},

    {IDD_VANTREL_DIALOG, IDC_CAPTION, "Vantrel V %s"},

    {IDD_MGT_DEVICE, IDC_CAPTION, "Device Management"},
    {IDD_MGT_DEVICE, IDC_MGT_DEVICE_ADD, "Add"},
    {IDD_MGT_DEVICE, IDC_MGT_DEVICE_MODIFY, "Modify"},
    {IDD_MGT_DEVICE, IDC_MGT_DEVICE_DELETE, "Delete"},

    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_DEVICE_ID, "Device ID"},
    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_PORT, "Serial port"},
    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_BAUD_RATE, "Baud rate"},
    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_DATA_BITS, "Data bits"},
    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_PARITY, "Parity"},
    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_STOP_BITS, "Stop bits"},
    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_NOTE, "Note"},
    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_GROUP_SERIAL, "Serial Port Parameters"},
    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_GROUP_BINDING, "Binding (empty: any)"},
    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_PHONE, "Phone number"},
    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_NETWORKS, "From networks"},
    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_PHONE, "as the registration carries it"},
    {IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_NETWORKS, "e.g. 10.0.0.0/8,203.0.113.7"},
    {IDD_ADD_MODIFY_DEVICE, IDOK, "OK"},

    {IDD_MONITOR, IDC_CAPTION, "Monitor"},
    {IDD_MONITOR, IDC_MONITOR_GROUP_CHANNELS, "Channels"},
    {IDD_MONITOR, IDC_MONITOR_GROUP_TCP_TO_COM, "Tcp->Com"},
    {IDD_MONITOR, IDC_MONITOR_GROUP_COM_TO_TCP, "Com->Tcp"},
    {IDD_MONITOR, IDC_MONITOR_SHOW_ALL, "Show all channels"},
    {IDD_MONITOR, IDC_MONITOR_START_STOP, "Start"},
    {IDD_MONITOR, IDC_MONITOR_CLEAR, "Clear"},
    {IDD_MONITOR, IDC_MONITOR_HEX, "Hex display"},
    {IDD_MONITOR, IDC_MONITOR_AUTO_SCROLL, "Auto-scroll"},

    {IDD_MGT_VIRTUAL_COM, IDC_CAPTION, "Virtual Serial Port Management"},
    {IDD_MGT_VIRTUAL_COM, IDC_VCOM_GROUP_CREATE, "Create Virtual Serial Port"},
    {IDD_MGT_VIRTUAL_COM, IDC_VCOM_LABEL_PORT, "Serial port"},
    {IDD_MGT_VIRTUAL_COM, IDC_VCOM_CREATE, "Create"},

    {IDD_SETTING, IDC_CAPTION, "Settings"},
    {IDD_SETTING, IDC_SETTING_GROUP_NETWORK, "Network"},
    {IDD_SETTING, IDC_SETTING_LABEL_LOCAL_IP, "Local IP"},
    {IDD_SETTING, IDC_SETTING_LABEL_PORT, "Port"},
    {IDD_SETTING, IDC_SETTING_GROUP_SERIAL, "Serial Port"},
    {IDD_SETTING, IDC_SETTING_LABEL_DELAY, "No-data wait time (ms)"},
    {IDD_SETTING, IDC_SETTING_GROUP_SYSTEM, "System"},
    {IDD_SETTING, IDC_SETTING_BOOT_START, "Start the program at log-on"},
    {IDD_SETTING, IDC_SETTING_AUTO_START, "Start the simulation automatically"},
    {IDD_SETTING, IDC_SETTING_GROUP_EXTRA, "Additional Functions"},
    {IDD_SETTING, IDC_SETTING_FILTER_HEARTBEAT, "Filter heartbeat packets"},
    {IDD_SETTING, IDC_SETTING_ESCAPE, "PROT mode escaping"},
    {IDD_SETTING, IDC_SETTING_GROUP_ADMISSION, "Device Admission"},
    {IDD_SETTING, IDC_SETTING_LABEL_ALLOWED_NETWORKS, "Allowed networks"},
    {IDD_SETTING, IDC_SETTING_ALLOWED_NETWORKS, "e.g. 10.0.0.0/8,203.0.113.7; empty: any address"},
    {IDD_SETTING, IDC_SETTING_REFUSE_UNCONFIGURED, "Refuse devices without a tunnel"},
    {IDD_SETTING, IDC_SETTING_LABEL_MAX_PER_ADDRESS, "Max. connections per address (0: no cap)"},
    {IDD_SETTING, IDOK, "Save"},

    {IDD_MGT_DATA, IDC_CAPTION, "Not-Forwarded Data Management"},
    {IDD_MGT_DATA, IDC_DATA_GROUP_ACTIONS, "Actions"},
    {IDD_MGT_DATA, IDC_DATA_QUERY, "Query"},
    {IDD_MGT_DATA, IDC_DATA_DELETE, "Delete"},
    {IDD_MGT_DATA, IDC_DATA_DELETE_ALL, "Delete All"},
    {IDD_MGT_DATA, IDC_DATA_CLEAR, "Clear"},
    {IDD_MGT_DATA, IDC_DATA_GROUP_CONDITION, "Query/Delete Condition"},
    {IDD_MGT_DATA, IDC_DATA_USE_DEVICE_ID, "Device ID"},
    {IDD_MGT_DATA, IDC_DATA_LABEL_START_TIME, "Start time"},
    {IDD_MGT_DATA, IDC_DATA_LABEL_END_TIME, "End time"},
    {IDD_MGT_DATA, IDC_DATA_HEX, "Hex display"},
    {IDD_MGT_DATA, IDC_DATA_GROUP_RESULTS, "Query Results"},
    {IDD_MGT_DATA, IDC_DATA_EXPORT, "Export"},
    {IDD_MGT_DATA, IDC_DATA_LABEL_DIRECTION, "Transfer direction"},
    {IDD_MGT_DATA, IDC_DATA_LABEL_PAGE_SIZE, "Entries per page"},
    {IDD_MGT_DATA, IDC_DATA_FIRST_PAGE, "<<"},
    {IDD_MGT_DATA, IDC_DATA_PREVIOUS_PAGE, "<"},
    {IDD_MGT_DATA, IDC_DATA_NEXT_PAGE, ">"},
    {IDD_MGT_DATA, IDC_DATA_LAST_PAGE, ">>"},

    {IDD_MESSAGE_BOX, IDC_CAPTION, "Vantrel"},
    {IDD_MESSAGE_BOX, IDC_MESSAGE_YES, "Yes"},
    {IDD_MESSAGE_BOX, IDC_MESSAGE_NO, "No"},
};

constexpr MenuTextEntry kMenuTexts[] = {
    {ID_MENU_MANAGEMENT, "Settings and Management"},
    {ID_SETTINGS, "Settings"},
    {ID_MGT_VIRTUAL_COM, "Virtual Serial Port Management"},
    {ID_MGT_DEVICE, "Device Management"},
    {ID_MGT_DATA, "Not-Forwarded Data Management"},
    {ID_MENU_SIMULATION, "Simulation"},
    {ID_SIM_START, "Start"},
    {ID_SIM_STOP, "Stop"},
    {ID_SIM_MONITOR, "Monitor"},
    {ID_MENU_LANGUAGE, "Language"},
    {ID_LANG_CHINESE, "Chinese"},
    {ID_LANG_ENGLISH, "English"},
    {ID_TRAY_SHOW, "Show"},
    {IDCANCEL, "Exit"},
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const char* VantrelModuleString(unsigned id) { return FindString(kStrings, id); }

__attribute__((visibility("default"))) const char* VantrelModuleDialogText(unsigned dialogId, unsigned controlId) {
  return FindDialogText(kDialogTexts, dialogId, controlId);
}

__attribute__((visibility("default"))) const char* VantrelModuleMenuText(unsigned commandId) {
  return FindMenuText(kMenuTexts, commandId);
}

}  // extern "C"
