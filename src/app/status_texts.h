#pragma once

// Texts shown to the user. UTF-8; the typographic characters are part of the text.
namespace tovra::texts {

inline constexpr const char* kStartingTovra = "Starting Tovra\u2026";
inline constexpr const char* kStartingBridge = "Starting bridge\u2026";
inline constexpr const char* kBridgeFilesMissing = "Bridge files missing";
inline constexpr const char* kCouldNotStartBridge = "Couldn\u2019t start bridge";
inline constexpr const char* kBridgeStopped = "Bridge stopped";
inline constexpr const char* kMidiUnavailable = "MIDI unavailable \u00B7 restart";
inline constexpr const char* kReadyPrefix = "Ready \u00B7 ";

inline constexpr const char* kProductName = "Tovra Automation";
// What the desktop calls the program: its window, its notifications, its login entry.
inline constexpr const char* kApplicationName = "Tovra Bridge";

// Desktop notifications: a title and one line, short enough for GNOME's banner.
inline constexpr const char* kAlreadyRunning = "Already running";
inline constexpr const char* kAlreadyRunningDetail = "Only one copy runs for each user.";
inline constexpr const char* kNotAnswering = "Not answering";
inline constexpr const char* kNotAnsweringDetail = "It runs but does not answer. Try again.";
inline constexpr const char* kNoTray = "Tovra Bridge is running";
inline constexpr const char* kNoTrayDetail = "Show its window to pair a phone or quit.";
inline constexpr const char* kShowWindow = "Show Window";
inline constexpr const char* kPortTaken = "The bridge can\u2019t start: port 4173 is taken";
inline constexpr const char* kPortTakenDetailSuffix =
    " is listening on port 4173. Quit it, and Tovra starts the bridge on its own.";
inline constexpr const char* kPortTakenByUnknown = "A program of another user";
inline constexpr const char* kToolTipPrefix = "Tovra Automation \u00B7 ";

inline constexpr const char* kAlertMessage = "Tovra couldn\u2019t start";
// On a Mac; each platform set gives its own words for these (platform::Words).
inline constexpr const char* kAlertInformativeOnMac =
    "Tovra\u2019s bridge files are incomplete. Move Tovra to Trash and download it again.";
inline constexpr const char* kAlertButton = "OK";

// Menu entries.
inline constexpr const char* kSetUpPhone = "Set Up Phone\u2026";
inline constexpr const char* kCopyPrivatePhoneLink = "Copy Private Phone Link";
inline constexpr const char* kOpenControllerOnMac = "Open Controller on This Mac";
inline constexpr const char* kStartAtLogin = "Start Tovra at Login";
inline constexpr const char* kRestartBridge = "Restart Bridge";
inline constexpr const char* kRevealLog = "Reveal Log";
inline constexpr const char* kVersionPrefix = "Tovra ";
inline constexpr const char* kVersionWhenUnknown = "Beta";
inline constexpr const char* kQuit = "Quit Tovra for Now";

// The window: what the status line means and what to do next, and the code's place without a link.
inline constexpr const char* kExplainStarting = "Tovra is starting its bridge. This takes a few seconds.";
inline constexpr const char* kExplainNoPhone =
    "Ready to pair. Scan the code with your phone\u2019s camera, or choose Set Up Phone\u2026";
inline constexpr const char* kExplainPaired =
    "Ready. Play from your paired phone, or scan the code to pair another one.";
inline constexpr const char* kExplainMidiUnavailable =
    "The bridge runs, but its MIDI output is not open. Restart the bridge to try again.";
inline constexpr const char* kExplainStopped = "The bridge stopped. Tovra starts it again in a moment.";
inline constexpr const char* kExplainCouldNotStart = "The bridge could not be started. Its log says why.";
inline constexpr const char* kNoPhoneLinkYet = "The code to scan appears here once the bridge is ready.";

// The command line.
inline constexpr const char* kProgramName = "tovra-bridge";
inline constexpr const char* kHelp =
    "Usage: tovra-bridge [OPTION]\n"
    "Keeps the Tovra bridge server running for you and links your phone to it.\n"
    "Without an option it starts, or shows the window of the Tovra Bridge already running.\n"
    "\n"
    "  -h, --help        show this help and exit\n"
    "  -v, --version     show the version and exit\n"
    "      --status      print the status line of the running Tovra Bridge\n"
    "      --phone-link  print its private phone link\n"
    "      --quit        quit it, as Quit Tovra for Now in its menu does\n"
    "      --login       start as the login entry does: never show the window\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  the running Tovra Bridge did not answer (it may be starting, or be stopped),\n"
    "     or it has no phone link to give (it says why); also for a start without an\n"
    "     option whose running Tovra Bridge does not answer\n"
    "  2  a wrong option\n"
    "  3  Tovra Bridge is not running\n";
inline constexpr const char* kUsage =
    "Usage: tovra-bridge [--login|-h|--help|-v|--version|--status|--phone-link|--quit]\n";
inline constexpr const char* kUnknownOption = ": unknown option \u2018";
inline constexpr const char* kOneOptionOnly = ": one option at a time, not also \u2018";
inline constexpr const char* kNotRunning = "tovra-bridge: Tovra Bridge is not running\n";
// Why there is no phone link to give, as the program finds it.
inline constexpr const char* kNoPhoneLinkWithoutBridge = "no phone link: the bridge is not running";
inline constexpr const char* kNoPhoneLink = "no phone link: the bridge is not answering yet";
inline constexpr const char* kNoPhoneLinkInAnswer = "no phone link: the bridge\u2019s answer holds no link";
inline constexpr const char* kPhoneLinkRefused =
    "no phone link: the bridge\u2019s link is not a web address Tovra opens";
inline constexpr const char* kNoAnswer = "the running Tovra Bridge did not answer";
// The answer to --quit when the bridge server was still running as the program left.
inline constexpr const char* kBridgeStillRunning = "the bridge server was still running: it was asked to "
                                                   "stop, and whatever is left of it is ended within 5 s";
inline constexpr const char* kUnknownRequest = "unknown request";

inline constexpr const char* kIconSymbol = "slider.vertical.3";
inline constexpr const char* kIconDescription = "Tovra";

} // namespace tovra::texts
