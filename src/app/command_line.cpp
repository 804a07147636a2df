#include "app/command_line.h"

#include "app/status_texts.h"
#include "platform/login_service.h"

namespace tovra {

Invocation readCommandLine(const std::vector<std::string_view>& arguments)
{
    if (arguments.empty()) {
        return Invocation::run;
    }
    if (arguments.size() > 1) {
        return Invocation::misuse;
    }
    const std::string_view option = arguments.front();
    if (option == "-h" || option == "--help") {
        return Invocation::help;
    }
    if (option == "-v" || option == "--version") {
        return Invocation::version;
    }
    if (option == "--status") {
        return Invocation::status;
    }
    if (option == "--phone-link") {
        return Invocation::phoneLink;
    }
    if (option == "--quit") {
        return Invocation::quit;
    }
    if (option == platform::kLoginArgument) {
        return Invocation::runFromLogin;
    }
    return Invocation::misuse;
}

std::string controlRequest(Invocation invocation)
{
    switch (invocation) {
    case Invocation::status:
        return requests::kStatus;
    case Invocation::phoneLink:
        return requests::kPhoneLink;
    case Invocation::quit:
        return requests::kQuit;
    case Invocation::run:
        return requests::kShow;
    default:
        return {};
    }
}

int answerCommandLine(Invocation invocation, const std::string& version,
                      const std::function<std::optional<platform::ControlAnswer>(const std::string&)>& ask,
                      std::ostream& out, std::ostream& err)
{
    switch (invocation) {
    case Invocation::help:
        out << texts::kHelp;
        return kExitSuccess;
    case Invocation::version:
        out << texts::kProgramName << ' ' << version << '\n';
        return kExitSuccess;
    case Invocation::status:
    case Invocation::phoneLink:
    case Invocation::quit:
        break;
    default:
        err << texts::kUsage;
        return kExitUsage;
    }
    const std::optional<platform::ControlAnswer> answer = ask(controlRequest(invocation));
    if (!answer) {
        err << texts::kNotRunning;
        return kExitNotRunning;
    }
    if (!answer->ok) {
        err << texts::kProgramName << ": " << (answer->text.empty() ? texts::kNoAnswer : answer->text)
            << '\n';
        return kExitNoAnswer;
    }
    // What --quit has to say is a notice, not a result: beside the errors.
    if (!answer->text.empty() && invocation == Invocation::quit) {
        err << texts::kProgramName << ": " << answer->text << '\n';
    } else if (!answer->text.empty()) {
        out << answer->text << '\n';
    }
    return kExitSuccess;
}

} // namespace tovra
