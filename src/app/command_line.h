#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/control_channel.h"

namespace tovra {

// What a start of the program was asked for on its command line.
enum class Invocation {
    run,          // no argument: start, or bring up the window of the instance already running
    runFromLogin, // --login, as the login entry starts it: start, never bring up a window
    help,
    version,
    status,
    phoneLink,
    quit,
    misuse, // anything else
};

// The arguments after the program's name; at most one option is taken.
Invocation readCommandLine(const std::vector<std::string_view>& arguments);

// Exit statuses of a start that only prints or asks, and of a second start.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitNoAnswer = 1; // the running instance did not answer, or has nothing to give
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNotRunning = 3;

// How long a start of the program waits for the running instance's answer: a phone link takes one
// request to the bridge, and an instance that is starting answers once it runs. One that answers
// does so at once.
inline constexpr double kAnswerTime = 4.0;

// For a misuse, the line that names what was not understood: an unknown option, or the option after
// the first; empty otherwise.
std::string misuseNote(const std::vector<std::string_view>& arguments);

// The request the running instance takes for an invocation; empty for those it does not serve.
std::string controlRequest(Invocation invocation);

// The requests the running instance serves (platform::ControlChannel).
namespace requests {
inline constexpr const char* kStatus = "status";
inline constexpr const char* kPhoneLink = "phone-link";
inline constexpr const char* kQuit = "quit";
inline constexpr const char* kShow = "show";
} // namespace requests

// Carries out an invocation that only prints or asks (help, version, status, phone link, quit,
// misuse) and returns the exit status. `ask` sends a request to this user's running instance. A
// misuse prints `note` (misuseNote) before the usage line.
int answerCommandLine(Invocation invocation, const std::string& version,
                      const std::function<platform::ControlReply(const std::string&)>& ask, std::ostream& out,
                      std::ostream& err, const std::string& note = {});

// A start without options while another instance of this user's runs: `reply` is that instance's
// to the request for its window. One that did not answer is said to on `err` and in a desktop
// notification (`notify`, with a summary and a body). Returns the exit status.
int answerSecondStart(const platform::ControlReply& reply, std::ostream& err,
                      const std::function<void(const std::string& summary, const std::string& body)>& notify);

} // namespace tovra
