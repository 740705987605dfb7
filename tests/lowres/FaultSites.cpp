#include "tests/lowres/FaultSites.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>

#ifndef VEXTORA_SOURCE_DIR
#error "VEXTORA_SOURCE_DIR must name the source tree"
#endif

namespace lowres {
namespace {

constexpr int kDepth = 40;
const char *const kDriverDirs[] = {"driver/", "pnp/", "io/", "power/", "idle/", "wmi/"};

std::mutex gMutex;
std::vector<FailedSite> gSites;

struct Location {
    std::string Function;
    std::string Path;  // as the debug information has it
    unsigned Line = 0;
};

std::mutex gCacheMutex;
std::map<const void *, std::vector<Location>> gCache;  // inlined frames, innermost first

std::string CleanFunction(std::string f)
{
    const std::string constSuffix = " const";
    if (f.size() > constSuffix.size() && f.compare(f.size() - constSuffix.size(), constSuffix.size(), constSuffix) == 0) {
        f.erase(f.size() - constSuffix.size());
    }
    // Drop the parameter list, keeping "(anonymous namespace)::".
    if (!f.empty() && f.back() == ')') {
        int depth = 0;
        for (size_t i = f.size(); i-- > 0;) {
            if (f[i] == ')') {
                ++depth;
            } else if (f[i] == '(' && --depth == 0) {
                if (i > 0) {
                    f.erase(i);
                }
                break;
            }
        }
    }
    return f;
}

std::string Root()
{
    std::string root = VEXTORA_SOURCE_DIR;
    if (!root.empty() && root.back() != '/') {
        root += '/';
    }
    return root;
}

// The path relative to the source tree when it is one of the driver's files.
bool DriverFile(const std::string &path, std::string *relative)
{
    static const std::string root = Root();
    // Debug information names files as the compiler was given them, e.g.
    // "<build>/../../driver/X.cpp", and a compiler cache may hand out objects
    // compiled in another tree; what counts is the part from a driver folder
    // on, when this tree has that file.
    const std::string norm = std::filesystem::path(path).lexically_normal().generic_string();
    std::string rest;
    if (norm.compare(0, root.size(), root) == 0) {
        rest = norm.substr(root.size());
    } else {
        for (const char *dir : kDriverDirs) {
            for (size_t at = norm.find(dir); at != std::string::npos; at = norm.find(dir, at + 1)) {
                if ((at == 0 || norm[at - 1] == '/') && std::filesystem::exists(root + norm.substr(at))) {
                    rest = norm.substr(at);
                }
            }
        }
    }
    for (const char *dir : kDriverDirs) {
        if (rest.rfind(dir, 0) == 0) {
            *relative = rest;
            return true;
        }
    }
    return false;
}

bool EndsWith(const std::string &text, const char *suffix)
{
    std::string s(suffix);
    return text.size() >= s.size() && text.compare(text.size() - s.size(), s.size(), s) == 0;
}

std::string Trim(const std::string &text)
{
    size_t b = text.find_first_not_of(" \t\r");
    if (b == std::string::npos) {
        return "";
    }
    size_t e = text.find_last_not_of(" \t\r");
    return text.substr(b, e - b + 1);
}

// The code of a line without its trailing comment.
std::string Code(const std::string &line)
{
    std::string code = line;
    if (size_t c = code.find("//"); c != std::string::npos) {
        code.erase(c);
    }
    return Trim(code);
}

}  // namespace

const std::vector<std::string> &AllocatingCalls()
{
    static const std::vector<std::string> calls = {
        "ExAllocatePoolWithTag", "ExAllocatePool", "IoAllocateIrp", "IoBuildDeviceIoControlRequest",
        "IoBuildSynchronousFsdRequest", "IoBuildAsynchronousFsdRequest", "IoAllocateWorkItem", "IoAllocateMdl",
        "IoCreateDevice", "IoRegisterDeviceInterface", "PoRequestPowerIrp", "USBD_CreateConfigurationRequestEx",
        // The driver's helper over ExAllocatePoolWithTag (driver/PoolPointer.h).
        "AllocateNonPaged",
    };
    return calls;
}

void ObserveFaults(sim::Machine &Machine)
{
    Machine.SetFaultObserver([&Machine](sim::FaultKind, const void *) {
        void *frames[kDepth] = {};
        int depth = backtrace(frames, kDepth);
        FailedSite site;
        site.Frames.assign(frames, frames + depth);
        // The unwinder stops at the first frame of an image (it has no
        // unwind tables): that frame is the driver's call.
        for (size_t i = 0; i < site.Frames.size(); ++i) {
            if (Machine.InImage(site.Frames[i])) {
                site.InImage = Machine.DescribeImageAddress(site.Frames[i]);
                site.Frames.resize(i);
                break;
            }
        }
        std::lock_guard lock(gMutex);
        gSites.push_back(std::move(site));
    });
}

void ClearFailedSites()
{
    std::lock_guard lock(gMutex);
    gSites.clear();
}

std::vector<FailedSite> TakeFailedSites()
{
    std::lock_guard lock(gMutex);
    std::vector<FailedSite> out;
    out.swap(gSites);
    return out;
}

void Prepare(const std::vector<FailedSite> &Sites)
{
    Dl_info self{};
    if (dladdr(reinterpret_cast<const void *>(&Prepare), &self) == 0 || self.dli_fname == nullptr) {
        return;
    }
    std::vector<const void *> wanted;
    {
        std::lock_guard lock(gCacheMutex);
        for (const FailedSite &site : Sites) {
            for (const void *frame : site.Frames) {
                if (gCache.count(frame) == 0) {
                    gCache[frame] = {};
                    wanted.push_back(frame);
                }
            }
        }
    }
    if (wanted.empty()) {
        return;
    }
    // Only frames in this executable; the others (libc, sanitizer runtime)
    // stay without a location.
    std::vector<const void *> mine;
    std::string input;
    for (const void *frame : wanted) {
        Dl_info info{};
        if (dladdr(frame, &info) == 0 || info.dli_fbase != self.dli_fbase) {
            continue;
        }
        // A return address points after the call; one byte back is in it.
        auto offset = reinterpret_cast<uintptr_t>(frame) - reinterpret_cast<uintptr_t>(self.dli_fbase) - 1;
        char text[32];
        std::snprintf(text, sizeof text, "0x%llx\n", static_cast<unsigned long long>(offset));
        input += text;
        mine.push_back(frame);
    }
    if (mine.empty()) {
        return;
    }
    char inputPath[] = "/tmp/vextora-lowres-XXXXXX";
    int fd = mkstemp(inputPath);
    if (fd < 0) {
        return;
    }
    (void)!write(fd, input.data(), input.size());
    close(fd);
    std::string command = std::string("addr2line -C -f -i -a -e '") + self.dli_fname + "' < " + inputPath +
                          " 2>/dev/null";
    std::vector<std::vector<Location>> results;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        std::vector<std::string> lines;
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, pipe)) {
            std::string line(buffer);
            line.erase(line.find_last_not_of("\r\n") + 1);
            lines.push_back(line);
        }
        pclose(pipe);
        for (size_t i = 0; i < lines.size();) {
            if (lines[i].rfind("0x", 0) != 0) {
                ++i;
                continue;
            }
            results.emplace_back();
            ++i;
            while (i < lines.size() && lines[i].rfind("0x", 0) != 0) {
                Location where;
                where.Function = CleanFunction(lines[i]);
                std::string place = i + 1 < lines.size() ? lines[i + 1] : "";
                if (size_t d = place.find(" (discriminator"); d != std::string::npos) {
                    place.erase(d);
                }
                if (size_t colon = place.rfind(':'); colon != std::string::npos) {
                    where.Path = place.substr(0, colon);
                    where.Line = static_cast<unsigned>(std::strtoul(place.c_str() + colon + 1, nullptr, 10));
                }
                results.back().push_back(where);
                i += 2;
            }
        }
    }
    std::remove(inputPath);
    std::lock_guard lock(gCacheMutex);
    for (size_t i = 0; i < mine.size() && i < results.size(); ++i) {
        gCache[mine[i]] = results[i];
    }
}

SiteName Name(const FailedSite &Site)
{
    Prepare({Site});
    std::vector<Location> entries;
    {
        std::lock_guard lock(gCacheMutex);
        for (const void *frame : Site.Frames) {
            const auto &chain = gCache[frame];
            entries.insert(entries.end(), chain.begin(), chain.end());
        }
    }
    SiteName name;
    if (!Site.InImage.empty()) {
        // The frames up to the image are the simulator's: the outermost of
        // them that has a name is the service the image called.
        name.Service = entries.empty() ? "?" : entries.back().Function;
        name.Routine = Site.InImage;
        name.Text = name.Service + " from " + Site.InImage;
        return name;
    }
    std::string relative;
    size_t i = 0;
    while (i < entries.size() && !DriverFile(entries[i].Path, &relative)) {
        ++i;
    }
    if (i == entries.size()) {
        name.Text = "outside the driver:";
        for (size_t k = 0; k < entries.size() && k < 8; ++k) {
            name.Text += (k ? " <- " : " ") + entries[k].Function;
        }
        return name;
    }
    name.Service = i > 0 ? entries[i - 1].Function : "?";
    std::string helper;
    // Allocation helpers in driver headers: the site is their caller.
    while (i + 1 < entries.size() && EndsWith(relative, ".h")) {
        helper = entries[i].Function;
        ++i;
        if (!DriverFile(entries[i].Path, &relative)) {
            break;
        }
    }
    name.InDriver = DriverFile(entries[i].Path, &relative);
    name.Routine = entries[i].Function;
    name.File = relative;
    name.Line = entries[i].Line;
    name.Text = name.Service + (helper.empty() ? "" : " via " + helper) + " in " + name.Routine + " (" + name.File +
                ":" + std::to_string(name.Line) + ")";
    return name;
}

std::vector<SourceSite> ScanSource(const std::string &File, const std::string &Text)
{
    std::vector<std::string> lines;
    {
        std::istringstream in(Text);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
    }
    std::string alternatives;
    for (const std::string &call : AllocatingCalls()) {
        alternatives += (alternatives.empty() ? "" : "|") + call;
    }
    // A call, possibly with template arguments: Name(...), Name<T>(...) or
    // a declaration Name<T> variable(...).
    const std::regex pattern("\\b(" + alternatives + ")\\b\\s*(<[^;()]*>)?\\s*(\\w+\\s*)?\\(");
    std::vector<SourceSite> sites;
    for (size_t n = 0; n < lines.size(); ++n) {
        std::string code = Code(lines[n]);
        if (code.empty() || code[0] == '#' || code[0] == '*') {
            continue;
        }
        for (auto it = std::sregex_iterator(code.begin(), code.end(), pattern); it != std::sregex_iterator(); ++it) {
            SourceSite site;
            site.File = File;
            site.Call = (*it)[1];
            site.Code = code;
            size_t first = n;
            for (int back = 0; back < 4 && first > 0; ++back) {
                std::string previous = Code(lines[first - 1]);
                if (previous.empty() || previous[0] == '#' || EndsWith(previous, ";") || EndsWith(previous, "{") ||
                    EndsWith(previous, "}") || EndsWith(previous, ":")) {
                    break;
                }
                --first;
            }
            size_t last = n;
            while (last + 1 < lines.size() && last < n + 8) {
                std::string current = Code(lines[last]);
                if (current.find(';') != std::string::npos || EndsWith(current, "{")) {
                    break;
                }
                ++last;
            }
            site.First = static_cast<unsigned>(first + 1);
            site.Last = static_cast<unsigned>(last + 1);
            sites.push_back(site);
        }
    }
    return sites;
}

std::vector<SourceSite> ScanDriverSources(const std::string &RootDir)
{
    std::string root = RootDir;
    if (!root.empty() && root.back() != '/') {
        root += '/';
    }
    std::vector<SourceSite> all;
    for (const char *dir : kDriverDirs) {
        std::vector<std::string> files;
        std::error_code error;
        for (const auto &entry : std::filesystem::directory_iterator(root + dir, error)) {
            if (entry.path().extension() == ".cpp") {
                files.push_back(std::string(dir) + entry.path().filename().string());
            }
        }
        std::sort(files.begin(), files.end());
        for (const std::string &file : files) {
            std::ifstream in(root + file);
            std::stringstream text;
            text << in.rdbuf();
            auto sites = ScanSource(file, text.str());
            all.insert(all.end(), sites.begin(), sites.end());
        }
    }
    return all;
}

const SourceSite *Match(const std::vector<SourceSite> &Sites, const std::string &File, unsigned Line)
{
    for (const SourceSite &site : Sites) {
        if (site.File == File && Line >= site.First && Line <= site.Last) {
            return &site;
        }
    }
    return nullptr;
}

}  // namespace lowres
