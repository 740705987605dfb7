// A loopback device whose answers come from a fuzz input: the configuration
// and string descriptors it returns, its answers to class requests, and how
// its bulk and interrupt transfers end (outcome, length, USBD status). Each
// input runs on a fresh machine with the driver loaded; after the driver is
// unloaded the verifier must have nothing to say, else the target aborts.
#pragma once

#include "tests/lowres/Rig.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <vector>

namespace fuzzdev {

// Reads the input front to back; past its end every read gives zeros.
class Bytes {
public:
    Bytes(const uint8_t *Data, size_t Size) : data_(Data, Data + Size) {}
    uint8_t Byte()
    {
        std::lock_guard lock(mutex_);
        return at_ < data_.size() ? data_[at_++] : 0;
    }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    std::vector<uint8_t> Take(size_t Count)
    {
        std::lock_guard lock(mutex_);
        size_t n = std::min(Count, data_.size() - at_);
        std::vector<uint8_t> out(data_.begin() + static_cast<std::ptrdiff_t>(at_),
                                 data_.begin() + static_cast<std::ptrdiff_t>(at_ + n));
        at_ += n;
        return out;
    }
    bool Empty()
    {
        std::lock_guard lock(mutex_);
        return at_ >= data_.size();
    }

private:
    std::mutex mutex_;
    std::vector<uint8_t> data_;
    size_t at_ = 0;
};

struct Answers {
    // Sent for GET_DESCRIPTOR(configuration) when set; the true descriptor
    // otherwise.
    bool FuzzConfiguration = false;
    std::vector<uint8_t> Configuration;
    // String descriptors, class answers and transfer endings drawn from the
    // input as the driver asks.
    Bytes *Script = nullptr;
    bool FuzzStrings = false;
    bool FuzzClass = false;
    bool FuzzTransfers = false;
};

class FuzzModel : public vextora::usb::LoopbackModel {
public:
    explicit FuzzModel(Answers &A)
        : LoopbackModel(vextora::usb::LoopbackDescriptors()), answers_(A)
    {
    }

protected:
    using Result = vextora::usb::Result;

    bool Intercept(const vextora::usb::SetupPacket &setup, std::span<uint8_t> data, Result &result) override
    {
        const bool getDescriptor = setup.RequestType == 0x80 && setup.Request == 6;
        const uint8_t type = static_cast<uint8_t>(setup.Value >> 8);
        if (getDescriptor && type == 2 && answers_.FuzzConfiguration) {
            size_t n = std::min(data.size(), answers_.Configuration.size());
            std::copy_n(answers_.Configuration.begin(), n, data.begin());
            result = Result::Ok(static_cast<uint32_t>(n));
            return true;
        }
        if ((getDescriptor && type == 3 && answers_.FuzzStrings) || (setup.Type() == 1 && answers_.FuzzClass)) {
            result = FromScript(data, true);
            return true;
        }
        return false;
    }

    Result EndpointTransfer(const vextora::usb::EndpointInfo &endpoint, std::span<uint8_t> data) override
    {
        if (!answers_.FuzzTransfers) {
            return LoopbackModel::EndpointTransfer(endpoint, data);
        }
        if (answers_.Script->Empty()) {
            // A short packet ends whatever is still asked for.
            return Result::Ok(endpoint.IsIn() ? 0 : static_cast<uint32_t>(data.size()));
        }
        return FromScript(data, endpoint.IsIn());
    }

private:
    // One ending: a selector byte, then a length or USBD status, then for
    // IN transfers the bytes. A NAK is not among them: a device that never
    // answers leaves a read waiting, which is correct and not a finding.
    Result FromScript(std::span<uint8_t> data, bool in)
    {
        Bytes &s = *answers_.Script;
        switch (s.Byte() % 4) {
        case 0: {
            size_t n = std::min<size_t>(s.Word(), data.size());
            if (in) {
                std::vector<uint8_t> bytes = s.Take(n);
                std::copy(bytes.begin(), bytes.end(), data.begin());
            }
            return Result::Ok(static_cast<uint32_t>(n));
        }
        case 1:
            return Result::Stalled();
        case 2: {
            // USBD error statuses have the top two bits set (0xC...).
            uint32_t status = 0xC0000000u | s.Word() | (static_cast<uint32_t>(s.Byte()) << 16);
            return Result::Failed(static_cast<int32_t>(status));
        }
        default: {
            size_t n = data.size();
            if (in) {
                std::vector<uint8_t> bytes = s.Take(n);
                std::copy(bytes.begin(), bytes.end(), data.begin());
                n = bytes.size();
            }
            return Result::Ok(static_cast<uint32_t>(n));
        }
        }
    }

    Answers &answers_;
};

// Plugs the device, runs Body when it started (or always, when Always),
// then removes it, unloads the driver and aborts on any verifier report.
inline void RunDevice(Answers &A, const std::function<void(lowres::Rig &)> &Body, bool Always = false)
{
    lowres::Rig rig({1, false});
    if (!rig.Loaded()) {
        std::fprintf(stderr, "DriverEntry failed\n");
        std::abort();
    }
    bool started = rig.Plug(std::make_unique<FuzzModel>(A));
    if (started || Always) {
        Body(rig);
    }
    rig.Finish();
    std::string reports = rig.Machine().ReportText();
    if (!reports.empty()) {
        std::fprintf(stderr, "verifier (seed %llu):\n%s\n", static_cast<unsigned long long>(rig.Machine().Seed()),
                     reports.c_str());
        std::abort();
    }
}

[[noreturn]] inline void Fail(const char *What, long long A, long long B)
{
    std::fprintf(stderr, "%s (%lld, %lld)\n", What, A, B);
    std::abort();
}

}  // namespace fuzzdev

// Each input builds and tears down a whole machine; a small quarantine keeps
// the fuzzer's memory flat over long runs (each target has one translation
// unit including this header).
extern "C" const char *__asan_default_options() { return "quarantine_size_mb=16"; }
