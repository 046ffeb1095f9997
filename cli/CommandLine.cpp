#include "CommandLine.h"

#include <cmath>
#include <string>

#include <CLI/CLI.hpp>

#include <QDir>
#include <QString>

#include "ExitCodes.h"
#include "TargetLock.h"
#include "UserText.h"
#include "Version.h"

namespace vqx::cli {

using vqx::provision::code;
using vqx::provision::Exit;
using vqx::provision::isPlainDecimal;
using vqx::provision::kShownMessageChars;
using vqx::provision::shown;

namespace {

/// The write lock as --help of write and apply tells it, with the lock's folder.
std::string lockHelp() {
    return "One writer per module on the machine: a write (and each write step of apply) holds\n"
           "the module's lock in the folder\n  " +
           shown(QDir::toNativeSeparators(vqx::provision::TargetLock::directory()),
                 kShownMessageChars)
               .toStdString() +
           "\nshared by every user and by the dialog's Set. Another writer of the same module\n"
           "waits up to --timeout for it, then gives up (exit status 3); Ctrl-C ends the wait\n"
           "(exit status 130). Nothing is written without the lock.\n\n";
}

/// The exit statuses as listed in --help.
constexpr const char* kExitCodeHelp = "Exit status:\n"
                                      "  0  success\n"
                                      "  1  internal failure (socket, simulator, output)\n"
                                      "  2  usage error, refused settings, invalid plan\n"
                                      "  3  module or hub unreachable\n"
                                      "  4  device error (a transfer failed)\n"
                                      "  5  verification mismatch after a write\n"
                                      "  6  apply: one or more modules did not succeed\n"
                                      "130  apply or write interrupted (Ctrl-C, SIGTERM)\n";

} // namespace

std::optional<int> parseCommandLine(int argc, const char* const* argv, const ToolIo& io,
                                    Options& o) {
    CLI::App app{"Reads and writes the network settings (IP address, subnet mask, gateway) of "
                 "VQX250 measurement modules, over Ethernet or through the slots of a USB hub.",
                 kToolName};
    app.set_version_flag("--version", std::string(kToolName) + " " + vqx::kVersion);
    // The same options on every system: CLI11 would take "/x" as an option on Windows, and
    // a plan's path such as "/plans/rack4.csv" with it.
    app.allow_windows_style_options(false);
    app.footer(kExitCodeHelp);
    app.require_subcommand(1, 1);
    app.fallthrough();
    app.add_flag("--json", o.json,
                 "Machine-readable output on stdout: a record is an object with \"ip\", "
                 "\"mask\" and \"gateway\"");
    app.add_option("--driver", o.driver, "USB driver: auto (default), d2xx, libftdi or sim")
        ->check(CLI::IsMember({"auto", "d2xx", "libftdi", "sim"}));
    app.add_flag("--demo", o.demo,
                 "Use the embedded simulators (a module on a loopback address and a "
                 "six-slot hub) instead of hardware");
    app.add_option("--timeout", o.timeout,
                   "Seconds to keep starting connection attempts (default 10, at most 86400); each "
                   "attempt waits its full second, so a short value still gets one")
        ->check(CLI::Range(0.001, 86400.0));
    app.add_flag("-v,--verbose", o.verbose, "Show each request and reply in hex on stderr");

    // Numbers are taken in plain decimal only: the library's own conversion would also read
    // "0x50", "+80" or " 80" as 80, and "010" as octal.
    const CLI::Validator decimal(
        [](std::string& text) -> std::string {
            if (isPlainDecimal(QString::fromStdString(text)))
                return {};
            return "'" + shown(text).toStdString() +
                   "' is not a plain decimal number (digits only, no leading zero)";
        },
        "DECIMAL");
    const auto addHub = [&o, &decimal](CLI::App* c, const char* help) {
        c->add_option("--hub", o.hub, help)->check(decimal)->check(CLI::Range(0, 255));
    };
    const auto addTarget = [&o, &decimal, &addHub](CLI::App* c) {
        auto* host = c->add_option("--host", o.host, "Module address (dotted IPv4), over Ethernet");
        c->add_option("--port", o.port, "TCP port of the module (default 23100)")
            ->check(decimal)
            ->check(CLI::Range(1, 65535))
            ->needs(host);
        auto* slot = c->add_option("--slot", o.slot, "Hub slot 1 to 6, over USB")
                         ->check(decimal)
                         ->check(CLI::Range(1, 6));
        host->excludes(slot);
        addHub(c, "Hub number, from 0 (default 0)");
    };

    auto* read = app.add_subcommand("read", "Read a module's IP address, mask and gateway");
    addTarget(read);
    read->footer(kExitCodeHelp);

    auto* write = app.add_subcommand(
        "write", "Write a module's network settings, then read them back and compare");
    addTarget(write);
    write->add_option("--ip", o.ip, "New IP address")->required();
    write->add_option("--mask", o.mask, "New subnet mask")->required();
    write->add_option("--gateway", o.gateway, "New gateway (0.0.0.0 = none)")->required();
    write->add_flag("--force", o.force, "Write even settings that fail the checks");
    write->add_flag("--no-verify", o.noVerify, "Do not read the record back after writing");
    write->footer(lockHelp() + kExitCodeHelp);

    auto* slotsCmd = app.add_subcommand("slots", "List the hub's six slots and their module types");
    slotsCmd
        ->add_option("--hub", o.hubText, "Hub number from 0 (default 0), or 'all' for every hub")
        ->check(CLI::Validator(
            [&decimal](std::string& v) { return v == "all" ? std::string() : decimal(v); },
            "NUMBER|all"));
    slotsCmd->add_flag("--records", o.records,
                       "Also read the network settings record of every occupied slot");
    slotsCmd->footer(kExitCodeHelp);

    auto* apply = app.add_subcommand(
        "apply", "Apply a plan (CSV or JSON, '-' for stdin) of many modules: read all, show the "
                 "differences, then write and verify each and report");
    apply->add_option("PLAN", o.plan, "The plan file")->required();
    apply
        ->add_option("--format", o.format,
                     "Plan format: auto (default: by name or content), csv, json")
        ->check(CLI::IsMember({"auto", "csv", "json"}));
    apply->add_flag("--dry-run", o.dryRun, "Only read the modules and show the differences");
    apply->add_flag("--force", o.force, "Write even settings that fail the checks");
    apply->add_flag("--no-verify", o.noVerify, "Do not read the records back after writing");
    addHub(apply, "Hub for the plan's slots, from 0 (default 0)");
    apply
        ->add_option("--jobs", o.jobs,
                     "Ethernet modules handled at once (default 16); the hub's slots stay serial")
        ->check(decimal)
        ->check(CLI::Range(1, kMaxJobs));
    apply->footer(
        std::string(
            "Ctrl-C (or SIGTERM) starts no further module and lets every record transfer in\n"
            "flight end, then reports each module and exits with 130; a second Ctrl-C ends at\n"
            "once, naming the modules that may be half written.\n\n") +
        lockHelp() + kExitCodeHelp);

    auto* scanCmd = app.add_subcommand(
        "scan", "Find modules: probe addresses on the module port and show each module's "
                "controller variant and record");
    scanCmd
        ->add_option("TARGET", o.targets,
                     "An address, a range (10.0.0.10-10.0.0.60) or a block (192.168.1.0/24)")
        ->required();
    scanCmd->add_option("--port", o.port, "TCP port of the modules (default 23100)")
        ->check(decimal)
        ->check(CLI::Range(1, 65535));
    scanCmd->add_option("--jobs", o.jobs, "Addresses probed at once (default 64)")
        ->check(decimal)
        ->check(CLI::Range(1, kMaxJobs));
    scanCmd
        ->add_option("--connect-timeout", o.connectTimeoutMs,
                     "Milliseconds allowed for the connection and for each reply (default 300)")
        ->check(decimal)
        ->check(CLI::Range(1, 60000));
    scanCmd->add_flag("--force", o.force, "Scan more than a /16 (65536 addresses)");
    scanCmd->footer(std::string(
        "A scan runs no arp step: a module that has just changed its address may need\n"
        "'arp -d ADDRESS' first. Each module found is listed in address order; a '*' marks a\n"
        "record whose IP differs from the address it answered on (new settings not yet in\n"
        "effect, or a misconfigured module).\n"
        "Exit status: 0 at least one module found, 3 none found, 2 bad target.\n"));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e, io.out, io.err) == 0 ? code(Exit::Ok) : code(Exit::Usage);
        // The library's messages quote the arguments as given; escape what a terminal would
        // act on, and keep a huge argument from flooding the screen.
        io.err << kToolName << ": "
               << shown(QString::fromStdString(e.what()), kShownMessageChars).toStdString() << '\n'
               << "Run with --help for more information.\n";
        return code(Exit::Usage);
    }

    // The range check above lets "nan" through.
    if (!std::isfinite(o.timeout) || o.timeout <= 0 || o.timeout > 86400) {
        io.err << kToolName << ": --timeout must be a number of seconds above 0, at most 86400\n";
        return code(Exit::Usage);
    }

    if (slotsCmd->parsed() && o.hubText != "all") {
        bool ok = false;
        o.hub = QString::fromStdString(o.hubText).toInt(&ok);
        if (!ok || o.hub < 0 || o.hub > 255) {
            io.err << kToolName << ": --hub must be a hub number from 0 to 255, or 'all'\n";
            return code(Exit::Usage);
        }
    }
    if (read->parsed())
        o.command = Command::Read;
    else if (write->parsed())
        o.command = Command::Write;
    else if (slotsCmd->parsed())
        o.command = Command::Slots;
    else if (scanCmd->parsed())
        o.command = Command::Scan;
    else
        o.command = Command::Apply;
    return std::nullopt;
}

} // namespace vqx::cli
