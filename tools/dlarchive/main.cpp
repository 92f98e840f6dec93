#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "cli.h"
#include "dlarchive/dlarchive.h"

namespace cli {

namespace {
std::vector<Command>& Registry()
{
    static std::vector<Command> commands;
    return commands;
}

void PrintUsage(std::FILE* out)
{
    std::fprintf(out,
                 "usage: dlarchive [--config DIR] COMMAND [ARGS]\n\n"
                 "--config DIR names the directory of kelmo.ini (default: $KELMO_CONFIG_DIR,\n"
                 "else /etc/kelmo).\n\ncommands:\n");
    for (const Command& c : Registry()) {
        const std::string synopsis = std::string(c.name) + (*c.usage ? " " : "") + c.usage;
        std::fprintf(out, "  %-34s %s\n", synopsis.c_str(), c.summary);
    }
}

int Help(const Args&)
{
    PrintUsage(stdout);
    return kExitOk;
}
const Register help{{"help", "", "show this text", Help}};

}  // namespace

Register::Register(const Command& command)
{
    Registry().push_back(command);
}

const std::vector<Command>& Commands()
{
    return Registry();
}

int ReportError(int code, const std::string& text)
{
    std::fprintf(stderr, "dlarchive: error %d: %s\n", code, text.c_str());
    return kExitFailure;
}

int ReportError(const CLogging& error)
{
    return ReportError(error.GetLastError(), error.GetLastErrorMsg());
}

}  // namespace cli

int main(int argc, char** argv)
{
    cli::Args args(argv + 1, argv + argc);
    while (!args.empty() && args.front().rfind("--", 0) == 0) {
        if (args.front() == "--config" && args.size() >= 2) {
            setenv("KELMO_CONFIG_DIR", args[1].c_str(), 1);
            args.erase(args.begin(), args.begin() + 2);
        } else if (args.front().rfind("--config=", 0) == 0) {
            setenv("KELMO_CONFIG_DIR", args.front().c_str() + 9, 1);
            args.erase(args.begin());
        } else {
            std::fprintf(stderr, "dlarchive: unknown option %s\n", args.front().c_str());
            cli::PrintUsage(stderr);
            return cli::kExitUsage;
        }
    }
    if (args.empty()) {
        cli::PrintUsage(stderr);
        return cli::kExitUsage;
    }
    for (const cli::Command& command : cli::Commands()) {
        if (args.front() != command.name) continue;
        const cli::Args rest(args.begin() + 1, args.end());
        try {
            return command.run(rest);
        } catch (const cli::UsageError& e) {
            std::fprintf(stderr, "dlarchive: %s\nusage: dlarchive %s %s\n", e.text.c_str(), command.name,
                         command.usage);
            return cli::kExitUsage;
        } catch (const CDlArchiveException& e) {
            return cli::ReportError(e);
        } catch (dbError e) {
            return cli::ReportError(static_cast<int>(e), "relation store failure");
        } catch (const std::exception& e) {
            return cli::ReportError(-1, e.what());
        }
    }
    std::fprintf(stderr, "dlarchive: unknown command %s\n", args.front().c_str());
    cli::PrintUsage(stderr);
    return cli::kExitUsage;
}
