// The command ids of menus, toolbars and accelerators. The numbers are the program's own
// and are kept as they are: the message protocol carries them (the Listen command is posted
// by worker threads, "MyToolBarCtrlEnable" names commands by id).
#pragma once

#include "platform/WinTypes.h"

constexpr UINT ID_FILE_NEW = 57600;
constexpr UINT ID_FILE_OPEN = 57601;
constexpr UINT ID_FILE_SAVE = 57603;
constexpr UINT ID_FILE_SAVE_AS = 57604;
constexpr UINT ID_FILE_PRINT_SETUP = 57606;
constexpr UINT ID_FILE_PRINT = 57607;
constexpr UINT ID_FILE_PRINT_PREVIEW = 57609;
constexpr UINT ID_FILE_MRU_FIRST = 57616;
constexpr UINT ID_FILE_MRU_LAST = 57631;
constexpr UINT ID_EDIT_COPY = 57634;
constexpr UINT ID_EDIT_CUT = 57635;
constexpr UINT ID_EDIT_PASTE = 57637;
constexpr UINT ID_EDIT_FIND = 57636;
constexpr UINT ID_EDIT_REPEAT = 57640;  // Find Next
constexpr UINT ID_EDIT_SELECT_ALL = 57642;
constexpr UINT ID_EDIT_UNDO = 57643;
constexpr UINT ID_APP_ABOUT = 57664;
constexpr UINT ID_APP_EXIT = 57665;
constexpr UINT ID_HELP_FINDER = 57667;
constexpr UINT ID_HELP = 57669;
constexpr UINT ID_NEXT_PANE = 57680;
constexpr UINT ID_PREV_PANE = 57681;
constexpr UINT ID_VIEW_TOOLBAR = 59392;
constexpr UINT ID_VIEW_STATUS_BAR = 59393;
constexpr UINT ID_TOOLS_OPTIONS = 32776;
constexpr UINT ID_PREVIEW_PREV = 32777;
constexpr UINT ID_PREVIEW_NEXT = 32778;
constexpr UINT ID_PREVIEW_CLOSE = 32779;
// View > Follow New Traffic: a command of our own.
constexpr UINT ID_VIEW_FOLLOW = 32790;
// File > Export > Packet Capture (pcapng)...: a command of our own.
constexpr UINT ID_FILE_EXPORT_PCAP = 32791;
// File > Export > HTTP Archive (HAR)...: a command of our own.
constexpr UINT ID_FILE_EXPORT_HAR = 32810;
// Edit > Find Previous: a command of our own.
constexpr UINT ID_EDIT_FIND_PREVIOUS = 32792;
// View > Timestamps and View > Hex Dump: commands of our own.
constexpr UINT ID_VIEW_TIMESTAMPS = 32793;
constexpr UINT ID_VIEW_HEX_DUMP = 32794;
// Tools > TLS Certificate Authority...: a command of our own.
constexpr UINT ID_TOOLS_TLS_CA = 32795;
// View > Colour by Direction, Font..., Zoom In, Zoom Out and Reset Zoom: commands of our own.
constexpr UINT ID_VIEW_DIRECTION_COLOURS = 32800;
constexpr UINT ID_VIEW_FONT = 32801;
constexpr UINT ID_VIEW_ZOOM_IN = 32802;
constexpr UINT ID_VIEW_ZOOM_OUT = 32803;
constexpr UINT ID_VIEW_ZOOM_RESET = 32804;
// Tools > Network Conditions...: a command of our own.
constexpr UINT ID_TOOLS_NET_CONDITIONS = 32820;
// The placeholder button of the connection bar that the field dialog lies over.
constexpr UINT ID_CONNECTION_FIELDS = 2054;
// The idle prompt of the status bar.
constexpr UINT ID_READY_PROMPT = 57345;
// ID_TOOLS_LISTEN (32775) lives with the messages: worker threads post it.
