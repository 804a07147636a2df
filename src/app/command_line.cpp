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

std::string misuseNote(const std::vector<std::string_view>& arguments)
{
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (readCommandLine({arguments[i]}) == Invocation::misuse) {
            return std::string(texts::kProgramName) + texts::kUnknownOption + std::string(arguments[i]) +
                   "\u2019\n";
        }
        if (i > 0) {
            return std::string(texts::kProgramName) + texts::kOneOptionOnly + std::string(arguments[i]) +
                   "\u2019\n";
        }
    }
    return {};
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
                      std::ostream& out, std::ostream& err, const std::string& note)
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
        err << note << texts::kUsage;
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
    if (!answer->text.empty()) {
        out << answer->text << '\n';
    }
    return kExitSuccess;
}

} // namespace tovra
