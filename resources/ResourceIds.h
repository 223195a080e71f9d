#pragma once

// Resource IDs of the user interface: string table, dialogs and their controls, menus
// and commands. The Chinese texts are built in (BuiltinTexts.cpp); a language module
// supplies the same IDs in its language.

// String table.
constexpr unsigned IDS_ABOUTBOX = 101;
constexpr unsigned IDS_ALLOWED_CHARS = 103;
constexpr unsigned IDS_ALLOWED_RANGE = 104;
constexpr unsigned IDS_LINK_CONNECTED = 105;
constexpr unsigned IDS_LINK_DISCONNECTED = 106;
constexpr unsigned IDS_PORT_OPEN = 107;
constexpr unsigned IDS_PORT_CLOSED = 108;
constexpr unsigned IDS_NO_SERIAL_PORT = 109;
constexpr unsigned IDS_DEVICE_ID_LENGTH = 110;
constexpr unsigned IDS_ADD_DEVICE = 111;
constexpr unsigned IDS_MODIFY_DEVICE = 112;
constexpr unsigned IDS_DEVICE_EXISTS = 113;
constexpr unsigned IDS_SAME_PORT_WARNING = 114;
constexpr unsigned IDS_MODIFY_FAILED = 115;
constexpr unsigned IDS_ADD_SUCCEEDED = 116;
constexpr unsigned IDS_ADD_FAILED = 117;
constexpr unsigned IDS_MODIFY_SUCCEEDED = 118;
constexpr unsigned IDS_CONFIRM = 119;
constexpr unsigned IDS_YES = 120;
constexpr unsigned IDS_NO = 121;
constexpr unsigned IDS_COL_TIME = 122;
constexpr unsigned IDS_COL_NUMBER = 123;
constexpr unsigned IDS_COL_DEVICE_ID = 124;
constexpr unsigned IDS_COL_DATA = 125;
constexpr unsigned IDS_COL_PHONE = 126;
constexpr unsigned IDS_COL_SOURCE_IP = 127;
constexpr unsigned IDS_COL_PORT = 128;
constexpr unsigned IDS_COL_BAUD_RATE = 129;
constexpr unsigned IDS_COL_LINK_STATE = 130;
constexpr unsigned IDS_COL_PORT_STATE = 131;
constexpr unsigned IDS_COL_BYTES_IN = 132;
constexpr unsigned IDS_COL_BYTES_OUT = 133;
constexpr unsigned IDS_COL_NOTE = 134;
constexpr unsigned IDS_COL_DATA_BITS = 135;
constexpr unsigned IDS_COL_PARITY = 136;
constexpr unsigned IDS_COL_STOP_BITS = 137;
constexpr unsigned IDS_COL_CHANNEL = 138;
constexpr unsigned IDS_COL_DATA_TYPE = 139;
constexpr unsigned IDS_COL_FORWARD_STATUS = 140;
constexpr unsigned IDS_NO_CONDITION = 141;
constexpr unsigned IDS_QUERYING = 142;
constexpr unsigned IDS_QUERY_SUCCEEDED = 143;
constexpr unsigned IDS_QUERY_FAILED = 144;
constexpr unsigned IDS_QUERY_NOTHING = 145;
constexpr unsigned IDS_DELETE_SUCCEEDED = 146;
constexpr unsigned IDS_DELETE_FAILED = 147;
constexpr unsigned IDS_SELECT_TO_MODIFY = 148;
constexpr unsigned IDS_SELECT_TO_DELETE = 149;
constexpr unsigned IDS_HEARTBEAT = 150;
constexpr unsigned IDS_USER_DATA = 151;
constexpr unsigned IDS_RESENT_DATA = 320;  // stored data sent to its port once it was back
constexpr unsigned IDS_SUCCESS = 152;
constexpr unsigned IDS_FAILURE = 153;
constexpr unsigned IDS_MONITOR_START = 154;
constexpr unsigned IDS_MONITOR_STOP = 155;
constexpr unsigned IDS_MONITORED_CHANNEL = 156;
constexpr unsigned IDS_ALL_CHANNELS = 157;
constexpr unsigned IDS_SETUPC_NOT_FOUND = 158;
constexpr unsigned IDS_SETUPC_FAILED = 159;
constexpr unsigned IDS_VIRTUAL_PORT_CREATED = 160;
constexpr unsigned IDS_BOOT_START_FAILED = 161;
constexpr unsigned IDS_SETTINGS_SAVED = 162;
constexpr unsigned IDS_SETTINGS_FAILED = 163;
constexpr unsigned IDS_RESTART_FOR_LANGUAGE = 164;
constexpr unsigned IDS_CHANNEL_TOTAL = 165;
constexpr unsigned IDS_SERVICE_STOPPED = 166;
constexpr unsigned IDS_SERVICE_STARTED = 167;
constexpr unsigned IDS_SERVICE_START_FAILED = 168;
constexpr unsigned IDS_CONNECTED_TOTAL = 169;
constexpr unsigned IDS_MATCHED_ONLINE_TOTAL = 170;
constexpr unsigned IDS_READY = 171;
constexpr unsigned IDS_EXIT_WHILE_RUNNING = 172;
constexpr unsigned IDS_NOTTRANS_LIMIT_REACHED = 173;   // %s: the limit in bytes
constexpr unsigned IDS_NOTTRANS_STORING_RESUMED = 174;  // %s: records not stored meanwhile
// Settings, not-forwarded data and virtual COM port dialogs.
constexpr unsigned IDS_LOCAL_IP_INVALID = 175;
constexpr unsigned IDS_QUERY_MORE_MATCHED = 176;  // %s: the records shown
constexpr unsigned IDS_PORT_NAME_EMPTY = 177;
constexpr unsigned IDS_BOOT_START_NOT_REMOVED = 178;  // %s: the entry's path and the reason
// Main window
constexpr unsigned IDS_LANGUAGE_FILE_FAILED = 179;  // %s: the file, then the reason
constexpr unsigned IDS_RESTART_FAILED = 180;        // %s: the program
// Who may be a device: the settings dialog and the device editor.
constexpr unsigned IDS_NETWORKS_INVALID = 181;  // %s: the entry that is not a network
constexpr unsigned IDS_PHONE_INVALID = 182;
constexpr unsigned IDS_METRICS_ADDRESS_INVALID = 300;
constexpr unsigned IDS_FILE_NAME_INVALID = 301;
constexpr unsigned IDS_TLS_SETTINGS_INCOMPLETE = 302;
constexpr unsigned IDS_TLS_LINK = 303;  // marks a channel whose device link is encrypted

// The desktop program for an operator with many devices.
constexpr unsigned IDS_CONFIRM_DELETE_DEVICE = 400;
constexpr unsigned IDS_CONFIRM_DELETE_DATA = 401;
constexpr unsigned IDS_CONFIRM_DELETE_ALL_DATA = 402;
constexpr unsigned IDS_DELETE_NOTHING = 403;
constexpr unsigned IDS_DELETED_COUNT = 404;
constexpr unsigned IDS_QUERY_COUNT = 405;
constexpr unsigned IDS_EXIT_WITH_DEVICES = 406;
constexpr unsigned IDS_LANGUAGE_WITH_DEVICES = 407;
constexpr unsigned IDS_START_LATER_THAN_END = 408;
constexpr unsigned IDS_TIME_RANGE = 409;
constexpr unsigned IDS_EXPORT_CSV = 410;
constexpr unsigned IDS_EXPORTED = 411;
constexpr unsigned IDS_WRITE_FAILED = 412;
constexpr unsigned IDS_NOTHING_TO_EXPORT = 413;
constexpr unsigned IDS_SERVICE_START_FAILED_AT = 414;
constexpr unsigned IDS_ADDRESS_IN_USE = 415;
constexpr unsigned IDS_ADDRESS_NOT_LOCAL = 416;
constexpr unsigned IDS_PORT_NEEDS_RIGHTS = 417;
constexpr unsigned IDS_COL_REMOTE_ADDRESS = 418;
constexpr unsigned IDS_COL_LAST_DATA = 419;
constexpr unsigned IDS_NO_TUNNEL = 420;
constexpr unsigned IDS_SEARCH_HINT = 421;
constexpr unsigned IDS_PROBLEMS_ONLY = 422;
constexpr unsigned IDS_ADD_TUNNEL = 423;
constexpr unsigned IDS_MODIFY_TUNNEL = 424;
constexpr unsigned IDS_ROWS_SHOWN = 425;
constexpr unsigned IDS_COLON = 426;
constexpr unsigned IDS_FAILED_TO_PORT = 427;
constexpr unsigned IDS_FAILED_TO_DEVICE = 428;
constexpr unsigned IDS_MONITOR_SAVE_CSV = 429;
constexpr unsigned IDS_MONITOR_KEEP_RUNNING = 430;
constexpr unsigned IDS_MONITOR_SAVED = 431;
constexpr unsigned IDS_DETAIL_TEXT = 432;
constexpr unsigned IDS_DETAIL_HEX = 433;
constexpr unsigned IDS_VCOM_PAIRS = 434;
constexpr unsigned IDS_VCOM_COL_PORT = 435;
constexpr unsigned IDS_VCOM_COL_FAR_END = 436;
constexpr unsigned IDS_VCOM_COL_STATE = 437;
constexpr unsigned IDS_VCOM_ALIVE = 438;
constexpr unsigned IDS_VCOM_STALE = 439;
constexpr unsigned IDS_VCOM_REMOVE = 440;
constexpr unsigned IDS_VCOM_CONFIRM_REMOVE = 441;
constexpr unsigned IDS_VCOM_REMOVED = 442;
constexpr unsigned IDS_VCOM_REMOVE_FAILED = 443;
constexpr unsigned IDS_VCOM_SELECT = 444;
constexpr unsigned IDS_VCOM_CREATED_AT = 445;
constexpr unsigned IDS_NOT_APPLIED_LIVE = 446;
constexpr unsigned IDS_APPLIED_LIVE = 447;
constexpr unsigned IDS_SERVICE_STATE_RUNNING = 448;
constexpr unsigned IDS_SERVICE_STATE_STOPPED = 449;
constexpr unsigned IDS_WARNING = 450;
constexpr unsigned IDS_CANCEL = 451;
constexpr unsigned IDS_HISTORY_TITLE = 452;
constexpr unsigned IDS_HISTORY_OF_DEVICE = 453;
constexpr unsigned IDS_HISTORY_DEVICE = 454;
constexpr unsigned IDS_HISTORY_REFRESH = 455;
constexpr unsigned IDS_HISTORY_COLUMNS = 456;
constexpr unsigned IDS_HISTORY_COUNT = 457;
constexpr unsigned IDS_HISTORY_MORE = 458;
constexpr unsigned IDS_DETAIL_BYTES = 459;
constexpr unsigned IDS_PARITY_NAMES = 490;

// Menu resource of the main window.
constexpr unsigned IDR_MAINMENU = 130;

// Commands; the string table also holds each toolbar command's tip after a line feed.
constexpr unsigned IDCANCEL = 2;  // the tray menu's "Exit"
constexpr unsigned IDM_ABOUTBOX = 16;
constexpr unsigned ID_SIM_START = 32774;
constexpr unsigned ID_SIM_STOP = 32775;
constexpr unsigned ID_MGT_DEVICE = 32780;
constexpr unsigned ID_MGT_VIRTUAL_COM = 32781;
constexpr unsigned ID_SETTINGS = 32782;
constexpr unsigned ID_SIM_MONITOR = 32788;
constexpr unsigned ID_MGT_DATA = 32791;
constexpr unsigned ID_MGT_HISTORY = 32792;
constexpr unsigned ID_TRAY_SHOW = 32796;
constexpr unsigned ID_LANG_CHINESE = 32799;
constexpr unsigned ID_LANG_ENGLISH = 32800;
// The main menu's three drop-down menus carry no command; these IDs name their titles.
constexpr unsigned ID_MENU_MANAGEMENT = 32900;
constexpr unsigned ID_MENU_SIMULATION = 32901;
constexpr unsigned ID_MENU_LANGUAGE = 32902;

// Dialogs. Control ID 0 names a dialog's caption.
constexpr unsigned IDC_CAPTION = 0;
constexpr unsigned IDOK = 1;

constexpr unsigned IDD_ABOUTBOX = 100;
constexpr unsigned IDC_ABOUT_VERSION = 1046;  // its text is the format of the version line

constexpr unsigned IDD_VANTREL_DIALOG = 102;  // its caption is the format of the title

constexpr unsigned IDD_SIMULATION = 129;
constexpr unsigned IDC_DEVICE_LIST = 1;

constexpr unsigned IDD_MGT_DEVICE = 131;
constexpr unsigned IDC_MGT_DEVICE_ADD = 1001;
constexpr unsigned IDC_MGT_DEVICE_MODIFY = 1002;
constexpr unsigned IDC_MGT_DEVICE_DELETE = 1003;
constexpr unsigned IDC_MGT_DEVICE_LIST = 1007;

constexpr unsigned IDD_ADD_MODIFY_DEVICE = 132;
constexpr unsigned IDC_EDITOR_DEVICE_ID = 1005;
constexpr unsigned IDC_EDITOR_PORT = 1006;
constexpr unsigned IDC_EDITOR_NOTE = 1007;
constexpr unsigned IDC_EDITOR_BAUD_RATE = 1010;
constexpr unsigned IDC_EDITOR_DATA_BITS = 1011;
constexpr unsigned IDC_EDITOR_PARITY = 1012;
constexpr unsigned IDC_EDITOR_STOP_BITS = 1013;
constexpr unsigned IDC_EDITOR_PHONE = 1014;     // its text is the field's hint
constexpr unsigned IDC_EDITOR_NETWORKS = 1015;  // its text is the field's hint
// Static labels and group boxes get IDs from 2001 on so that their texts can be looked up.
constexpr unsigned IDC_EDITOR_LABEL_DEVICE_ID = 2001;
constexpr unsigned IDC_EDITOR_LABEL_PORT = 2002;
constexpr unsigned IDC_EDITOR_LABEL_BAUD_RATE = 2003;
constexpr unsigned IDC_EDITOR_LABEL_DATA_BITS = 2004;
constexpr unsigned IDC_EDITOR_LABEL_PARITY = 2005;
constexpr unsigned IDC_EDITOR_LABEL_STOP_BITS = 2006;
constexpr unsigned IDC_EDITOR_LABEL_NOTE = 2007;
constexpr unsigned IDC_EDITOR_GROUP_SERIAL = 2008;
constexpr unsigned IDC_EDITOR_GROUP_BINDING = 2009;
constexpr unsigned IDC_EDITOR_LABEL_PHONE = 2010;
constexpr unsigned IDC_EDITOR_LABEL_NETWORKS = 2011;

constexpr unsigned IDD_MONITOR = 134;
constexpr unsigned IDC_MONITOR_CHANNELS = 1008;
constexpr unsigned IDC_MONITOR_TCP_TO_COM = 1009;
constexpr unsigned IDC_MONITOR_COM_TO_TCP = 1014;
constexpr unsigned IDC_MONITOR_SHOW_ALL = 1015;
constexpr unsigned IDC_MONITOR_START_STOP = 1016;
constexpr unsigned IDC_MONITOR_CLEAR = 1017;
constexpr unsigned IDC_MONITOR_HEX = 1018;
constexpr unsigned IDC_MONITOR_AUTO_SCROLL = 1019;
constexpr unsigned IDC_MONITOR_STATUS = 1020;
constexpr unsigned IDC_MONITOR_TCP_TO_COM_HEX = 1022;
constexpr unsigned IDC_MONITOR_COM_TO_TCP_HEX = 1023;
constexpr unsigned IDC_MONITOR_GROUP_CHANNELS = 2011;
constexpr unsigned IDC_MONITOR_GROUP_TCP_TO_COM = 2012;
constexpr unsigned IDC_MONITOR_GROUP_COM_TO_TCP = 2013;

constexpr unsigned IDD_MGT_VIRTUAL_COM = 135;
constexpr unsigned IDC_VCOM_PORT = 1010;
constexpr unsigned IDC_VCOM_CREATE = 1011;
constexpr unsigned IDC_VCOM_GROUP_CREATE = 2021;
constexpr unsigned IDC_VCOM_LABEL_PORT = 2022;

constexpr unsigned IDD_SETTING = 136;
constexpr unsigned IDC_SETTING_LOCAL_IP = 1012;
constexpr unsigned IDC_SETTING_PORT = 1013;
constexpr unsigned IDC_SETTING_DELAY = 1014;
constexpr unsigned IDC_SETTING_BOOT_START = 1043;
constexpr unsigned IDC_SETTING_AUTO_START = 1044;
constexpr unsigned IDC_SETTING_FILTER_HEARTBEAT = 1045;
constexpr unsigned IDC_SETTING_ESCAPE = 1046;
constexpr unsigned IDC_SETTING_ALLOWED_NETWORKS = 1047;  // its text is the field's hint
constexpr unsigned IDC_SETTING_REFUSE_UNCONFIGURED = 1048;
constexpr unsigned IDC_SETTING_MAX_PER_ADDRESS = 1049;
constexpr unsigned IDC_SETTING_GROUP_NETWORK = 2031;
constexpr unsigned IDC_SETTING_GROUP_SERIAL = 2032;
constexpr unsigned IDC_SETTING_GROUP_SYSTEM = 2033;
constexpr unsigned IDC_SETTING_GROUP_EXTRA = 2034;
constexpr unsigned IDC_SETTING_LABEL_LOCAL_IP = 2035;
constexpr unsigned IDC_SETTING_LABEL_PORT = 2036;
constexpr unsigned IDC_SETTING_LABEL_DELAY = 2037;
constexpr unsigned IDC_SETTING_GROUP_ADMISSION = 2038;
constexpr unsigned IDC_SETTING_LABEL_ALLOWED_NETWORKS = 2039;
constexpr unsigned IDC_SETTING_LABEL_MAX_PER_ADDRESS = 2040;
// Encrypted links, metrics, history and alarms.
constexpr unsigned IDC_SETTING_GROUP_TLS = 3001;
constexpr unsigned IDC_SETTING_LABEL_TLS_PORT = 3002;
constexpr unsigned IDC_SETTING_LABEL_TLS_CERTIFICATE = 3003;
constexpr unsigned IDC_SETTING_LABEL_TLS_KEY = 3004;
constexpr unsigned IDC_SETTING_LABEL_TLS_CLIENT_CA = 3005;
constexpr unsigned IDC_SETTING_TLS_ONLY = 3006;
constexpr unsigned IDC_SETTING_GROUP_MONITORING = 3007;
constexpr unsigned IDC_SETTING_LABEL_METRICS = 3008;
constexpr unsigned IDC_SETTING_METRICS = 3009;  // its text is the field's hint
constexpr unsigned IDC_SETTING_LABEL_EVENTS_KEEP_DAYS = 3010;
constexpr unsigned IDC_SETTING_LABEL_EVENT_COMMAND = 3011;
constexpr unsigned IDC_SETTING_LABEL_OFFLINE_ALARM = 3012;
constexpr unsigned IDC_SETTING_RESEND_STORED = 3013;
constexpr unsigned IDC_SETTING_GROUP_STORE = 3014;

constexpr unsigned IDD_MGT_DATA = 138;
constexpr unsigned IDC_DATA_DEVICE_ID = 1005;
constexpr unsigned IDC_DATA_CLEAR = 1017;
constexpr unsigned IDC_DATA_QUERY = 1024;
constexpr unsigned IDC_DATA_DELETE = 1025;
constexpr unsigned IDC_DATA_DELETE_ALL = 1026;
constexpr unsigned IDC_DATA_START_TIME = 1028;
constexpr unsigned IDC_DATA_END_TIME = 1029;
constexpr unsigned IDC_DATA_RESULTS = 1031;
constexpr unsigned IDC_DATA_USE_TIME = 1032;
constexpr unsigned IDC_DATA_USE_DEVICE_ID = 1033;
constexpr unsigned IDC_DATA_EXPORT = 1034;
constexpr unsigned IDC_DATA_DIRECTION = 1036;
constexpr unsigned IDC_DATA_FIRST_PAGE = 1037;
constexpr unsigned IDC_DATA_PAGE_SIZE = 1038;
constexpr unsigned IDC_DATA_PREVIOUS_PAGE = 1039;
constexpr unsigned IDC_DATA_NEXT_PAGE = 1040;
constexpr unsigned IDC_DATA_LAST_PAGE = 1041;
constexpr unsigned IDC_DATA_HEX = 1042;
constexpr unsigned IDC_DATA_GROUP_ACTIONS = 2041;
constexpr unsigned IDC_DATA_GROUP_CONDITION = 2042;
constexpr unsigned IDC_DATA_LABEL_START_TIME = 2043;
constexpr unsigned IDC_DATA_LABEL_END_TIME = 2044;
constexpr unsigned IDC_DATA_GROUP_RESULTS = 2045;
constexpr unsigned IDC_DATA_LABEL_DIRECTION = 2046;
constexpr unsigned IDC_DATA_LABEL_PAGE_SIZE = 2047;

constexpr unsigned IDD_MESSAGE_BOX = 139;
constexpr unsigned IDC_MESSAGE_TEXT = 1082;
constexpr unsigned IDC_MESSAGE_YES = 1086;
constexpr unsigned IDC_MESSAGE_NO = 1087;
