// vxsim: the Vextora driver on the simulated machine, from the command line.
#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <sstream>

#include "sim/image/KernelImage.h"
#include "tools/vxsim/Bench.h"
#include "tools/vxsim/Chaos.h"
#include "tools/vxsim/Demo.h"
#include "tools/vxsim/DeviceReport.h"
#include "tools/vxsim/Explore.h"
#include "tools/vxsim/Scenario.h"
#include "tools/vxsim/Session.h"

namespace {

// `command` is what follows the global options in the replay command ("run FILE", "demo").
int RunScenario(const std::string &text, const std::string &name, const std::string &command, vx::RunOptions options,
                uint64_t maxSchedules)
{
    vx::ParseResult parsed = vx::ParseScenario(text, name);
    if (parsed.error) {
        std::cerr << "vxsim: " << parsed.error->message << "\n";
        return 2;
    }
    if (options.schedule.Kind == sim::ScheduleKind::Exhaustive) {
        vx::ExploreResult result = vx::Explore(parsed.steps, options, command, maxSchedules, std::cout);
        return result.tooLarge ? 2 : result.failed ? 1 : 0;
    }
    if (options.schedule.Controlled()) {
        options.record = std::make_shared<sim::ScheduleRecord>();
        options.replay = "vxsim --seed " + std::to_string(options.seed) + " --schedule " + options.schedule.Text() +
                         " " + command;
    }
    vx::Session session(options, std::cout);
    vx::Summary summary = session.Run(parsed.steps);
    vx::PrintSummary(summary, std::cout);
    return summary.passed ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"vxsim: run the Vextora USB driver on the simulated Windows machine"};
    app.require_subcommand(1);

    vx::RunOptions options;
    std::string pcap;
    app.add_option("--seed", options.seed, "seed for everything random (0: a fresh one, printed)");
    app.add_flag("--real-time", options.realTime, "run the clock at wall-clock speed");
    app.add_flag("--trace", options.trace, "print every IRP the driver sees and completes");
    app.add_option("--pcap", options.pcap, "write every URB to FILE (USBPcap format, for Wireshark)");
    std::string imagePath;
    app.add_option("--image", imagePath,
                   "run vextora.sys for x64 (PATH) loaded into the simulator instead of the driver built into vxsim");
    std::string schedule;
    app.add_option("--schedule", schedule,
                   "threaded (default), or one simulated thread at a time: random, pct:DEPTH[:STEPS], "
                   "exhaustive:BOUND (run), replay:STEP.OPTION,...");
    uint64_t maxSchedules = 20000;
    app.add_option("--max-schedules", maxSchedules, "exhaustive: the most schedules to run");

    auto *demo = app.add_subcommand("demo", "the driver on the loopback device, from plug-in to removal");
    bool print = false;
    demo->add_flag("--print", print, "print the demo's scenario instead of running it");

    auto *run = app.add_subcommand("run", "run a scenario file (see docs/scenarios.md)");
    std::string file;
    run->add_option("FILE", file, "the scenario")->required();

    auto *inspect = app.add_subcommand("inspect", "plug a described device and report how the driver configured it");
    std::string device;
    bool json = false;
    inspect->add_option("--device", device, "a device description file (JSON)")->required();
    inspect->add_flag("--json", json, "report as JSON");

    auto *chaos = app.add_subcommand("chaos", "random PnP, power, idle and I/O from several threads, checked");
    vx::ChaosOptions chaosOptions;
    uint64_t seeds = 1;
    chaos->add_option("--ops", chaosOptions.ops, "application operations per seed");
    chaos->add_option("--threads", chaosOptions.appThreads, "application threads");
    chaos->add_option("--seeds", seeds, "how many seeds to run, from --seed on");
    uint64_t repeat = 1;
    chaos->add_option("--repeat", repeat, "run each seed this many times (threaded runs interleave differently)");
    chaos->add_flag("--serial", chaosOptions.serial,
                    "run every thread's operations on one thread in an order drawn from --seed");
    bool noYields = false;
    chaos->add_flag("--no-yields", noYields, "no random delays at thread hand-offs");
    chaos->add_flag("--first-failure", chaosOptions.firstFailure, "stop at the first failed run");
    chaos->add_option("--schedule", schedule, "as the global --schedule");
    // --seed may come after the subcommand too.
    chaos->add_option("--seed", options.seed, "the first seed");

    auto *bench = app.add_subcommand("bench", "bus utilisation in virtual time and the driver's pool per request");
    vx::BenchOptions benchOptions;
    bool benchJson = false;
    bench->add_flag("--quick", benchOptions.quick, "few sizes and little data");
    bench->add_flag("--json", benchJson, "report as JSON");
    bool noCost = false;
    bench->add_flag("--no-cost", noCost, "leave out the CPU cost comparison");
    std::string costOnce;
    uint64_t costRequests = 0;
    bench->add_option("--cost-only", costOnce,
                      "only N reads through one driver (vextora, pass-through, or image with --image), for callgrind")
        ->check(CLI::IsMember({"vextora", "pass-through", "image"}));
    bench->add_option("--requests", costRequests, "reads per thread for --cost-only");
    unsigned costThreads = 1, costInFlight = 1;
    bench->add_option("--threads", costThreads, "application threads for --cost-only, each on its own pipe")
        ->check(CLI::Range(1, 2));
    bench->add_option("--in-flight", costInFlight, "reads pending for --cost-only, the measured ones included")
        ->check(CLI::Range(1, 100000));

    auto *help = app.add_subcommand("help", "help on the scenario language: 'vxsim help scenario'");
    std::string topic;
    help->add_option("TOPIC", topic);

    CLI11_PARSE(app, argc, argv);

    if (!imagePath.empty()) {
        // Checked whole before anything runs: a foreign or corrupt image, or
        // one importing what the simulator lacks, is refused here.
        std::string error;
        options.image = sim::image::ImageFile::Open(imagePath, &error);
        if (!options.image) {
            std::cerr << "vxsim: " << error << "\n";
            return 2;
        }
        // The first line says which driver runs (on stderr when stdout
        // carries JSON).
        const bool jsonOut = (*inspect && json) || (*bench && benchJson);
        (jsonOut ? std::cerr : std::cout) << "vxsim: running the kernel image " << imagePath
                                          << " (x64), not the driver built into vxsim\n";
        chaosOptions.image = options.image;
        chaosOptions.imagePath = imagePath;
    }
    if (!schedule.empty()) {
        std::string error;
        auto spec = sim::ParseSchedule(schedule, error);
        if (!spec) {
            std::cerr << "vxsim: --schedule: " << error << "\n";
            return 2;
        }
        if (spec->Controlled() && options.realTime) {
            std::cerr << "vxsim: --schedule " << schedule << " runs on the virtual clock; drop --real-time\n";
            return 2;
        }
        if (spec->Kind == sim::ScheduleKind::Exhaustive && !*run && !*demo) {
            std::cerr << "vxsim: --schedule exhaustive is for scenarios (vxsim run FILE): a chaos run has far too "
                         "many schedules; use pct:DEPTH\n";
            return 2;
        }
        options.schedule = *spec;
        chaosOptions.schedule = *spec;
    }
    if (options.schedule.Controlled() && options.seed == 0)
        options.seed = 1;  // a controlled run always says which seed replays it
    // The replay commands load the same image.
    const std::string image = imagePath.empty() ? "" : "--image " + imagePath + " ";

    if (*demo) {
        if (print) {
            std::cout << vx::kDemoScenario;
            return 0;
        }
        return RunScenario(vx::kDemoScenario, "demo", image + "demo", options, maxSchedules);
    }
    if (*run) {
        std::ifstream in(file);
        if (!in) {
            std::cerr << "vxsim: cannot read " << file << "\n";
            return 2;
        }
        std::stringstream text;
        text << in.rdbuf();
        return RunScenario(text.str(), file, image + "run " + file, options, maxSchedules);
    }
    if (*chaos) {
        chaosOptions.seed = options.seed ? options.seed : 1;
        chaosOptions.progress = true;
        chaosOptions.randomYields = !noYields;
        return vx::RunChaosSeeds(chaosOptions, seeds, repeat, std::cout) ? 1 : 0;
    }
    if (*bench) {
        benchOptions.seed = options.seed ? options.seed : 1;
        if (!costOnce.empty()) {
            vx::CostCell cell;
            std::string failure;
            const auto driver = costOnce == "vextora"        ? vx::CostDriver::Vextora
                                : costOnce == "pass-through" ? vx::CostDriver::PassThrough
                                                             : vx::CostDriver::Image;
            if (driver == vx::CostDriver::Image && !options.image) {
                std::cerr << "vxsim bench: --cost-only image needs --image PATH\n";
                return 2;
            }
            if (!vx::RunCostOnce(benchOptions.seed, driver, costRequests ? costRequests : 1000, costThreads,
                                 costInFlight, cell, failure, options.image)) {
                std::cerr << "vxsim bench: " << failure << "\n";
                return 1;
            }
            std::cout << cell.driver << ": " << cell.requests << " reads on " << cell.threads << " thread(s), "
                      << cell.inFlight << " in flight, " << cell.nsPerRequest << " ns each, "
                      << static_cast<uint64_t>(cell.requestsPerSecond) << " reads/s\n";
            return 0;
        }
        benchOptions.cost = !noCost;
        benchOptions.image = options.image;
        vx::BenchReport report = vx::RunBench(benchOptions);
        if (benchJson)
            std::cout << vx::BenchJson(report) << "\n";
        else
            vx::PrintBench(report, std::cout);
        return report.passed ? 0 : 1;
    }
    if (*inspect)
        return vx::Inspect(device, json, options.seed, std::cout, std::cerr, options.image);
    if (*help) {
        std::cout << "Scenario steps (one per line; see docs/scenarios.md):\n" << vx::DescribeVerbs();
        return 0;
    }
    return 0;
}
