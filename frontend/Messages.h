// SPDX-License-Identifier: Apache-2.0
#pragma once
// The program's own texts: captions, help texts and messages, byte for byte as the user sees
// them. Shared by the desktop program and the command-line front end.

#include <string>

namespace pathmon {

// Fills a message's placeholders: "%1" takes first and "%2" second; of the "%s"
// placeholders, the first takes first and the second takes second.
std::string FillMessage(const char* format, const std::string& first, const std::string& second);

inline constexpr const char* kAppTitle = "PATHMON For Norvane Farline Phones";
inline constexpr const char* kAboutTitle = "About PathmonResponder";
inline constexpr const char* kAboutVersionLine = "PathmonResponder Version 1.0";
inline constexpr const char* kAboutMenuText = "&About PathmonResponder...";
inline constexpr const char* kInstanceName = "NORVANE_FARLINE_PATHMON";

// Start-up.
inline constexpr const char* kMsgSocketsFailed = "Windows sockets initialization failed.";
inline constexpr const char* kMsgAlreadyRunning =
    "An Instance of PATHMON for Norvane Farline phones is already running.";

// Community and duration dialog.
inline constexpr const char* kCommunityHelp =
    "Please provide the SNMP string for Farline phones in the box below.\n\n"
    "The SNMP string for Farline phones is set through farsetting.txt file via SNMPSTRING "
    "parameter.\n\n"
    "For Farline phones the default SNMP string is \"orchid\".\n\n"
    "For security reasons this application will restrict the number of PATHMONS that can be "
    "run simultaneously to '2' and the duration of PATHMON to 5 minutes, if SNMP Read "
    "Community string is left to default value of \"orchid\".";
inline constexpr const char* kDurationLabel =
    "Enter the duration in minutes in the box below\nfor which PATHMON should  execute.\n"
    "Valid range is 1to 60";
// Beside the dialog's own controls: the class that marks the test's datagrams.
inline constexpr const char* kDscpLabel =
    "Mark the test frames with the DSCP class (CS0: unmarked; EF: the class of calls):";
inline constexpr const char* kMsgBadDscp =
    "Please enter a DSCP class: a name such as EF, AF41 or CS0, or a number from 0 to 63.";
inline constexpr const char* kMsgEnterInteger = "Please enter an integer.";
// "%1" and "%2" are the bounds of the range.
inline constexpr const char* kMsgIntegerRange = "Please enter an integer between %1 and %2.";
inline constexpr const char* kMsgDefaultCommunityDuration =
    "PATHMON Duration cannot exceed 5 minutes with the \"orchid\" SNMP String";
// "%1" is the largest number of characters.
inline constexpr const char* kMsgTextTooLong = "Please enter no more than %1 characters.";

// Add-phones dialog.
inline constexpr const char* kAddPhonesHelp =
    "Please provide the IP Address range of Farline phones in the box below.\n\n"
    "If you know the exact IP address of the Farline phone which you want to add, simply set "
    "that same address as both Starting and Ending IP Address\n\n"
    "NOTE : Total number of IP addresses in the range cannot exceed 255";
inline constexpr const char* kMsgInvalidStart = "Invalid Starting IP Address";
inline constexpr const char* kMsgInvalidEnd = "Invalid Ending IP Address";
inline constexpr const char* kMsgInvalidRange = "Invalid IP Address range";
inline constexpr const char* kMsgRangeTooLarge = "IP Address range cannot exceed 255";
inline constexpr const char* kMsgNoNewPhones =
    "No new Farline phones found during this scan, please make sure that you have entered "
    "the correct IP address range";
inline constexpr const char* kMsgNoPhones =
    "No Farline phones found, please make sure that\n"
    "\t(1) You have entered the correct IP address range.\n"
    "\t(2) You supplied the correct SNMP string at program startup.(Check the value of "
    "SNMPSTRING in your farsetting.txt and kelvosettings.txt)\n"
    "\t(3) You have not restricted Farline phones from responding to SNMP queries.(Check the "
    "value of SNMPADD in your farsetting.txt and kelvosettings.txt)";
// Follows either of the two above: "%1" addresses answered SNMP, "%2" timed out.
inline constexpr const char* kMsgScanAnswers =
    "Of the addresses scanned, %1 answered SNMP and %2 timed out.";

// Main window.
inline constexpr const char* kMainHelpAdd =
    "Press the \"Add Farline Phones\" button below to add Farline Phones in the list\n\n"
    "After adding phones into the list you can select one or more phones and start PATHMON by "
    "pressing the \"Start\" button";
inline constexpr const char* kMainHelpFigures =
    "The List above only shows the PATHMON results for upto last 5 minutes. The entire "
    "PATHMON history of invidual Farline phones is saved in a history file. Name of the "
    "history file is constructed using the logged in VPN user and serial number of the "
    "Farline phone.\n\n"
    "PATHMON is automatically stopped if Farline Phone goes OFF HOOK.\n\n"
    "PATHMON is not started if Farline Phone is OFF HOOK.\n\n"
    "For comparative analysis run PATHMON against at least 2 phones simultaneously.\n\n"
    "Farline phones with average RTT of more than 150 ms or Interruptions count of more than "
    "10 during one PATHMON cycle should be considered as unusable for Voice.\n\n"
    " Duration of 1 PATHMON Cycle is 5 minutes.";
inline constexpr const char* kStatusRunning = "Running";
inline constexpr const char* kStatusStopped = "Stopped";
inline constexpr const char* kMsgSelectToStart =
    "Please select the Farline phone from the list, against which you want to run PATHMON";
inline constexpr const char* kMsgTooManyRunning =
    "Too many PATHMON are already running, please STOP some test to initiate new PATHMONS";
// "%s:%s" is the phone's user name and serial number.
inline constexpr const char* kMsgStartFailed = "Failed to start PATHMON for %s:%s";
inline constexpr const char* kMsgSelectToStop =
    "Please select the Farline phones from the list, for which you want to stop the PATHMON";
inline constexpr const char* kMsgSelectForLog =
    "Please select the Farline phones from the list, for which you want to get the log file";
inline constexpr const char* kMsgLogFailed = "Failed to retrieve log for %s:%s";

}  // namespace pathmon
