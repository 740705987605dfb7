// vxsim: the Vextora driver on the simulated machine, from the command line.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

#include "sim/image/KernelImage.h"
#include "tools/common/Scenario.h"
#include "tools/common/StatusNames.h"
#include "tools/common/UnknownCommand.h"
#include "tools/vxsim/Bench.h"
#include "tools/vxsim/Capture.h"
#include "tools/vxsim/Chaos.h"
#include "tools/vxsim/Demo.h"
#include "tools/vxsim/DeviceReport.h"
#include "tools/vxsim/Explore.h"
#include "tools/vxsim/Session.h"
#include "vextora_version.h"

namespace {

const char kExitCodes[] =
    "Exit codes:\n"
    "  0  every check held\n"
    "  1  a check did not hold: a step, the verifier, pool left behind, a device the driver refused,\n"
    "     a failed bench or chaos run\n"
    "  2  usage: a wrong command line, a scenario file that cannot be read or is malformed, a\n"
    "     description file inspect cannot use, a folder capture cannot read; nothing ran\n"
    "  4  a step waited for ever: the machine's hang detector stopped the run (the FAILED line names\n"
    "     the step; the detector's report is on standard error)\n";

int Usage(const std::string &message)
{
    std::cerr << "vxsim: " << message << "\n";
    return vx::kExitUsage;
}

// 0 means "a seed of its own" to every command: VEXTORA_SEED when set,
// otherwise a fresh one. Each command prints the value it ran with, so a run
// can be repeated.
uint64_t ResolveSeed(uint64_t seed)
{
    if (seed != 0)
        return seed;
    if (const char *env = std::getenv("VEXTORA_SEED")) {
        auto value = vx::ParseNumber(env);
        if (value && *value != 0)
            return *value;
    }
    std::random_device device;
    uint64_t fresh = 0;
    while (fresh == 0)
        fresh = (static_cast<uint64_t>(device()) << 32) | device();
    return fresh;
}

// `command` is what follows the global options in the replay command ("run FILE", "demo").
int RunScenario(const std::string &text, const std::string &name, const std::string &command, vx::RunOptions options,
                uint64_t maxSchedules)
{
    vx::ParseResult parsed = vx::ParseScenario(text, name);
    if (parsed.error)
        return Usage(parsed.error->message);
    if (parsed.steps.empty())
        return Usage(name + " holds no steps");
    if (options.schedule.Kind == sim::ScheduleKind::Exhaustive) {
        vx::ExploreResult result = vx::Explore(parsed.steps, options, command, maxSchedules, std::cout);
        return result.tooLarge ? vx::kExitUsage : result.failed ? vx::kExitFailed : vx::kExitPassed;
    }
    if (options.schedule.Controlled()) {
        options.record = std::make_shared<sim::ScheduleRecord>();
        options.replay =
            "vxsim --seed " + std::to_string(options.seed) + " --schedule " + options.schedule.Text() + " " + command;
    }
    vx::Session session(options, std::cout);
    vx::Summary summary = session.Run(parsed.steps);
    vx::PrintSummary(summary, std::cout);
    return summary.passed ? vx::kExitPassed : vx::kExitFailed;
}

// The text of a scenario file, "-" for standard input; an empty optional
// after printing why it cannot be read.
std::optional<std::string> ReadScenario(const std::string &file)
{
    std::stringstream text;
    if (file == "-") {
        text << std::cin.rdbuf();
        return text.str();
    }
    std::error_code error;
    if (std::filesystem::is_directory(file, error)) {
        Usage(file + " is a directory, not a scenario file");
        return std::nullopt;
    }
    std::ifstream in(file);
    if (!in) {
        Usage("cannot read " + file + ": " + std::strerror(errno));
        return std::nullopt;
    }
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"vxsim: run the Vextora USB driver on the simulated Windows machine"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("vxsim ") + VEXTORA_VERSION_STRING);
    app.footer(kExitCodes);

    vx::RunOptions options;
    auto *seedOption = app.add_option("--seed", options.seed, "seed for everything random (0: a fresh one, printed)");
    auto *realTime = app.add_flag("--real-time", options.realTime, "run the clock at wall-clock speed (demo, run)");
    auto *trace =
        app.add_flag("--trace", options.trace, "print every IRP the driver sees, sends down and completes (demo, run)");
    auto *pcap = app.add_option("--pcap", options.pcap,
                                "write every URB of every device to FILE (USBPcap format, for Wireshark) (demo, run)");
    std::string imagePath;
    auto *image = app.add_option("--image", imagePath,
                                 "run vextora.sys for x64 (PATH) loaded into the simulator instead of the driver built "
                                 "into vxsim (demo, run, inspect, chaos, bench)");
    std::string schedule;
    auto *scheduleOption = app.add_option("--schedule", schedule,
                                          "threaded (default), or one simulated thread at a time: random, "
                                          "pct:DEPTH[:STEPS], exhaustive:BOUND (run), replay:STEP.OPTION,... "
                                          "(demo, run, chaos)");
    uint64_t maxSchedules = 20000;
    auto *maxSchedulesOption =
        app.add_option("--max-schedules", maxSchedules, "exhaustive: the most schedules to run (demo, run)")
            ->check(CLI::Range(uint64_t{1}, uint64_t{1000000000}));

    auto *demo = app.add_subcommand("demo", "the driver on the loopback device, from plug-in to removal");
    bool print = false;
    demo->add_flag("--print", print, "print the demo's scenario instead of running it");

    auto *run = app.add_subcommand("run", "run a scenario file (see docs/scenarios.md); '-' reads standard input");
    std::string file;
    run->add_option("FILE", file, "the scenario, or - for standard input")->required();

    auto *inspect = app.add_subcommand("inspect", "plug a described device and report how the driver configured it");
    std::string device;
    bool json = false;
    inspect->add_option("--device", device, "a device description file (JSON)")->required();
    inspect->add_flag("--json", json, "report as JSON");

    auto *capture = app.add_subcommand("capture", "write a description file of a Linux USB device (sysfs) to stdout");
    std::string sysfs;
    capture->add_option("SYSFS_DIR", sysfs, "the device's directory, e.g. /sys/bus/usb/devices/1-2")->required();

    auto *chaos = app.add_subcommand("chaos", "random PnP, power, idle and I/O from several threads, checked");
    vx::ChaosOptions chaosOptions;
    uint64_t seeds = 1;
    // Counts are at least 1 (a campaign of no runs must not pass) and below a
    // bound no run reaches, so that a negative number, which would wrap to
    // one run without end, is refused too.
    const auto count = CLI::Range(uint64_t{1}, uint64_t{1000000000});
    chaos->add_option("--ops", chaosOptions.ops, "application operations per seed")->check(count);
    chaos->add_option("--threads", chaosOptions.appThreads, "application threads")->check(CLI::Range(1u, 64u));
    chaos->add_option("--seeds", seeds, "how many seeds to run, from --seed on")->check(count);
    uint64_t repeat = 1;
    chaos->add_option("--repeat", repeat, "run each seed this many times (threaded runs interleave differently)")
        ->check(count);
    chaos->add_flag("--serial", chaosOptions.serial,
                    "run every thread's operations on one thread in an order drawn from --seed");
    bool noYields = false;
    chaos->add_flag("--no-yields", noYields, "no random delays at thread hand-offs");
    bool chaosJson = false;
    chaos->add_flag("--json", chaosJson, "the summary as JSON (the per-run lines are left out)");
    chaos->add_flag("--first-failure", chaosOptions.firstFailure, "stop at the first failed run");

    auto *bench = app.add_subcommand("bench", "bus utilisation in virtual time and the driver's pool per request");
    vx::BenchOptions benchOptions;
    bool benchJson = false;
    auto *quick = bench->add_flag("--quick", benchOptions.quick, "few sizes and little data");
    auto *benchJsonFlag = bench->add_flag("--json", benchJson, "report as JSON");
    bool noCost = false;
    auto *noCostFlag = bench->add_flag("--no-cost", noCost, "leave out the CPU cost comparison");
    std::string costOnce;
    uint64_t costRequests = 1000;
    auto *costOnly = bench
                         ->add_option("--cost-only", costOnce,
                                      "only N reads through one driver (vextora, pass-through, or image with --image), "
                                      "for callgrind")
                         ->check(CLI::IsMember({"vextora", "pass-through", "image"}));
    auto *requests =
        bench->add_option("--requests", costRequests, "reads per thread for --cost-only (default 1000)")->check(count);
    unsigned costThreads = 1, costInFlight = 1;
    auto *threads =
        bench->add_option("--threads", costThreads, "application threads for --cost-only, each on its own pipe")
            ->check(CLI::Range(1, 2));
    auto *inFlight =
        bench->add_option("--in-flight", costInFlight, "reads pending for --cost-only, the measured ones included")
            ->check(CLI::Range(1, 100000));
    requests->needs(costOnly);
    threads->needs(costOnly);
    inFlight->needs(costOnly);
    costOnly->excludes(quick)->excludes(benchJsonFlag)->excludes(noCostFlag);

    auto *help = app.add_subcommand("help", "help on a topic: scenario, statuses, exit-codes");
    std::string topic;
    help->add_option("TOPIC", topic, "scenario, statuses or exit-codes")
        ->check(CLI::IsMember({"scenario", "statuses", "exit-codes"}));

    for (CLI::App *command : app.get_subcommands({}))
        command->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        if (auto unknown = vx::UnknownCommand(app))
            return Usage(*unknown);
        (void)app.exit(e);
        return vx::kExitUsage;
    }

    // Options a command would drop are refused: a capture that is not
    // written, a seed that is not used, are worse than an error.
    CLI::App *command = app.get_subcommands().front();
    const bool runsScenario = (command == demo && !print) || command == run;
    const bool usesSeed = runsScenario || command == inspect || command == chaos || command == bench;
    for (auto [option, used] :
         {std::pair{seedOption, usesSeed}, std::pair{realTime, runsScenario}, std::pair{trace, runsScenario},
          std::pair{pcap, runsScenario}, std::pair{image, usesSeed},
          std::pair{scheduleOption, runsScenario || command == chaos}, std::pair{maxSchedulesOption, runsScenario}}) {
        if (option->count() > 0 && !used)
            return Usage(option->get_name() + " does nothing for '" + command->get_name() +
                         (command == demo ? " --print" : "") + "'");
    }
    options.seed = ResolveSeed(options.seed);

    if (!options.pcap.empty()) {
        // Refused before anything runs, with the reason, rather than at the
        // first device plugged.
        std::FILE *probe = std::fopen(options.pcap.c_str(), "wb");
        if (probe == nullptr)
            return Usage("cannot create capture file " + options.pcap + ": " + std::strerror(errno));
        std::fclose(probe);
    }

    if (!imagePath.empty()) {
        // Checked whole before anything runs: a foreign or corrupt image, or
        // one importing what the simulator lacks, is refused here.
        std::string error;
        options.image = sim::image::ImageFile::Open(imagePath, &error);
        if (!options.image) {
            std::cerr << "vxsim: " << error << "\n";
            return vx::kExitUsage;
        }
        // The first line says which driver runs (on stderr when stdout
        // carries JSON).
        const bool jsonOut =
            (command == inspect && json) || (command == bench && benchJson) || (command == chaos && chaosJson);
        (jsonOut ? std::cerr : std::cout)
            << "vxsim: running the kernel image " << imagePath << " (x64), not the driver built into vxsim\n";
        chaosOptions.image = options.image;
        chaosOptions.imagePath = imagePath;
    }
    if (!schedule.empty()) {
        std::string error;
        auto plan = sim::ParseSchedule(schedule, error);
        if (!plan)
            return Usage("--schedule: " + error);
        if (plan->Controlled() && options.realTime)
            return Usage("--schedule " + schedule + " runs on the virtual clock; drop --real-time");
        if (plan->Kind == sim::ScheduleKind::Exhaustive && !runsScenario)
            return Usage("--schedule exhaustive is for scenarios (vxsim run FILE): a chaos run has far too many "
                         "schedules; use pct:DEPTH");
        options.schedule = *plan;
        chaosOptions.schedule = *plan;
    }
    // The replay commands load the same image.
    const std::string imageArgument = imagePath.empty() ? "" : "--image " + imagePath + " ";

    if (command == demo) {
        if (print) {
            std::cout << vx::kDemoScenario;
            return vx::kExitPassed;
        }
        return RunScenario(vx::kDemoScenario, "demo", imageArgument + "demo", options, maxSchedules);
    }
    if (command == run) {
        auto text = ReadScenario(file);
        if (!text)
            return vx::kExitUsage;
        return RunScenario(*text, file == "-" ? "<stdin>" : file, imageArgument + "run " + file, options, maxSchedules);
    }
    if (command == chaos) {
        chaosOptions.seed = options.seed;
        chaosOptions.progress = true;
        chaosOptions.randomYields = !noYields;
        if (!chaosJson)
            return vx::RunChaosSeeds(chaosOptions, seeds, repeat, std::cout) ? vx::kExitFailed : vx::kExitPassed;
        vx::ChaosSummary summary;
        std::ostringstream lines;
        vx::RunChaosSeeds(chaosOptions, seeds, repeat, lines, &summary);
        std::cout << vx::ChaosJson(chaosOptions, summary) << "\n";
        return summary.failures ? vx::kExitFailed : vx::kExitPassed;
    }
    if (command == bench) {
        benchOptions.seed = options.seed;
        if (!costOnce.empty()) {
            vx::CostCell cell;
            std::string failure;
            const auto driver = costOnce == "vextora"        ? vx::CostDriver::Vextora
                                : costOnce == "pass-through" ? vx::CostDriver::PassThrough
                                                             : vx::CostDriver::Image;
            if (driver == vx::CostDriver::Image && !options.image)
                return Usage("--cost-only image needs --image PATH");
            if (!vx::RunCostOnce(benchOptions.seed, driver, costRequests, costThreads, costInFlight, cell, failure,
                                 options.image)) {
                std::cerr << "vxsim bench: " << failure << "\n";
                return vx::kExitFailed;
            }
            std::cout << cell.driver << ": " << cell.requests << " reads on " << cell.threads << " thread(s), "
                      << cell.inFlight << " in flight, " << cell.nsPerRequest << " ns each, "
                      << static_cast<uint64_t>(cell.requestsPerSecond) << " reads/s\n";
            return vx::kExitPassed;
        }
        benchOptions.cost = !noCost;
        benchOptions.image = options.image;
        benchOptions.progress = true;
        vx::BenchReport report = vx::RunBench(benchOptions);
        if (benchJson) {
            std::cout << vx::BenchJson(report) << "\n";
        } else {
            std::cout << "seed " << benchOptions.seed << "\n";
            vx::PrintBench(report, std::cout);
        }
        return report.passed ? vx::kExitPassed : vx::kExitFailed;
    }
    if (command == inspect)
        return vx::Inspect(device, json, options.seed, std::cout, std::cerr, options.image);
    if (command == capture)
        return vx::Capture(sysfs, std::cout, std::cerr);
    // help
    if (topic == "scenario") {
        std::cout << "Scenario steps (one per line; see docs/scenarios.md):\n" << vx::DescribeVerbs();
    } else if (topic == "statuses") {
        std::cout << "Status names an 'expect' takes (or any NTSTATUS in hexadecimal, 0xC0000001):\n"
                  << vx::DescribeStatuses();
    } else if (topic == "exit-codes") {
        std::cout << kExitCodes;
    } else {
        // The whole command's help (app.help() would give the help command's).
        std::cout << app.get_formatter()->make_help(&app, "vxsim", CLI::AppFormatMode::Normal)
                  << "\nHelp topics: vxsim help scenario | statuses | exit-codes\n";
    }
    return vx::kExitPassed;
}
