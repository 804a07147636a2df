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
                      const std::function<platform::ControlReply(const std::string&)>& ask, std::ostream& out,
                      std::ostream& err, const std::string& note)
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
    const platform::ControlReply reply = ask(controlRequest(invocation));
    switch (reply.from) {
    case platform::ControlReply::From::nobody:
        err << texts::kNotRunning;
        return kExitNotRunning;
    case platform::ControlReply::From::silent:
        err << texts::kProgramName << ": " << texts::kNoAnswer << '\n';
        return kExitNoAnswer;
    case platform::ControlReply::From::instance:
        break;
    }
    if (!reply.answer.ok) {
        err << texts::kProgramName << ": "
            << (reply.answer.text.empty() ? texts::kNoAnswer : reply.answer.text) << '\n';
        return kExitNoAnswer;
    }
    // What --quit has to say is a notice, not a result: beside the errors.
    if (!reply.answer.text.empty() && invocation == Invocation::quit) {
        err << texts::kProgramName << ": " << reply.answer.text << '\n';
    } else if (!reply.answer.text.empty()) {
        out << reply.answer.text << '\n';
    }
    return kExitSuccess;
}

int answerSecondStart(const platform::ControlReply& reply, std::ostream& err,
                      const std::function<void(const std::string& summary, const std::string& body)>& notify)
{
    switch (reply.from) {
    case platform::ControlReply::From::instance:
        return kExitSuccess;
    case platform::ControlReply::From::silent:
        err << texts::kProgramName << ": " << texts::kNoAnswer << '\n';
        notify(texts::kNotAnswering, texts::kNotAnsweringDetail);
        return kExitNoAnswer;
    case platform::ControlReply::From::nobody: // it ended a moment ago, after the claim found it
        break;
    }
    notify(texts::kAlreadyRunning, texts::kAlreadyRunningDetail);
    return kExitSuccess;
}

} // namespace tovra
