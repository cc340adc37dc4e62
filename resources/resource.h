// Identifiers of the stub's resources, shared by the .rc file and the code.
#pragma once

// String table entries that the code loads by number.
#define IDS_NEW_FOLDER 1          // shown when the overwrite dialog cannot be created
#define IDS_ERROR_CAPTION 3       // caption of every error box
#define IDS_OPTIONS_REPORT 10     // format of the options report
#define IDS_ABOUT_CAPTION 11      // caption of the options report
#define IDS_FIRST_ERROR 12        // "Error #0 ..."; see ErrorStringId in messages.cpp
#define IDS_ULEB_MARKER 41        // error 21, formatted by the caller
#define IDS_NO_APPLICATION 43     // document without an associated program
#define IDS_DAMAGED_RECORD 44     // the extension record fails its check
#define IDS_NEEDS_NEWER 45        // the extension record asks for an unknown entry
#define IDS_NAME_NOT_UTF8 46      // a name recorded as UTF-8 that is not
#define IDS_NAMES_NOT_ON_SYSTEM 47  // names the ANSI code page of Windows 95/98 lacks
#define IDS_LINKS_PASSED 53      // the symbolic links a Windows stub passed over
#define IDS_UNSAFE_LINK 54       // a symbolic link that leads out of the extraction folder
#define IDS_LINKS_CAPTION 55     // caption of the passed-over links' message
#define IDS_LAST 55

// Dialogs.
#define IDD_MAIN 101
#define IDD_OVERWRITE 103
#define IDD_PROGRESS 105
// The windows of an archive with the extension record (windows_win32.cpp).
#define IDD_LICENCE 110
#define IDD_EXTRACT_TO 111
#define IDD_EXTRACTING 112

// Controls of the "Overwrite file" dialog.
#define ID_OW_CANCEL 1000
#define ID_OW_YES_TO_ALL 1016
#define ID_OW_YES 1018
#define ID_OW_NO 1019
#define ID_OW_QUESTION 1020

// Controls of the two dialogs that nothing shows.
#define ID_MAIN_UNPACK 1001
#define ID_MAIN_CLOSE 1002
#define ID_MAIN_HELP 1003
#define ID_MAIN_FOLDER 1004
#define ID_MAIN_BROWSE 1005
#define ID_MAIN_OVERWRITE 1006
#define ID_MAIN_RECREATE 1007
#define ID_MAIN_IGNORE 1008
#define ID_PROGRESS_STATUS_FRAME 1009
#define ID_PROGRESS_STATUS_TEXT 1010
#define ID_PROGRESS_DETAIL_TEXT 1011

// Controls of the extension record's windows. The "Extract to" label is also
// the Browse window's title; the percent text is the format of the percent.
#define ID_LICENCE_TEXT 1100
#define ID_EXTRACT_LABEL 1110
#define ID_EXTRACT_FOLDER 1111
#define ID_EXTRACT_BROWSE 1112
#define ID_EXTRACTING_FILE 1120
#define ID_EXTRACTING_BAR 1121
#define ID_EXTRACTING_PERCENT 1122
