// Loading a kernel image file for x64 (vextora.sys as it is shipped) into a
// simulated machine: its sections mapped, its base relocations applied, each
// import bound by module and name to the simulator's implementation of that
// service, its read-only sections read-only, no page writable and executable,
// and its DriverEntry called as the machine calls any driver's.
//
// The image runs as it is: the simulator's services and callback types use
// the Windows x64 calling convention (NTAPI), and its structures have the
// DDK's layouts (tests/ddk-layout checks them against the DDK headers). The
// x86 image (stdcall, a 32-bit address space) cannot run in this process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/image/PeImage.h"
#include "sim/kernel/Machine.h"

namespace sim::image {

// A kernel image file that passed every check: an x64, native-subsystem,
// relocatable image whose every import the simulator provides. Not mapped:
// each machine that loads it maps its own copy, with its own data. Immutable
// once made; share it between threads freely.
class ImageFile {
public:
    // Reads and checks the file. Null when it cannot be read or is not a
    // loadable x64 kernel image; *Error then says what is wrong and where
    // (the offset in the file, the RVA, the section, the imports missing).
    // A stripped image's function names come from the debug file its
    // .gnu_debuglink names, beside it, when that file's CRC matches.
    static std::shared_ptr<const ImageFile> Open(const std::string &Path, std::string *Error);
    // The same checks on bytes already in memory; Name stands for the file
    // in messages and reports.
    static std::shared_ptr<const ImageFile> FromBytes(std::vector<uint8_t> Bytes, std::string Name, std::string *Error);

    // The file's name without its directory, e.g. "vextora.sys".
    const std::string &Name() const { return name_; }
    const pe::Image &Headers() const { return headers_; }

    // Where a mapped copy needs its 64-bit base relocations (RVAs), and
    // where each import's address goes.
    struct Binding {
        uint32_t SlotRva;
        const void *Address;
    };
    const std::vector<uint32_t> &Relocations() const { return relocations_; }
    const std::vector<Binding> &Bindings() const { return bindings_; }
    const std::vector<uint8_t> &Bytes() const { return bytes_; }

private:
    ImageFile() = default;
    // Directory (ending in '/', or empty) holds the image, for its debug
    // file; null for bytes from no file.
    static std::shared_ptr<const ImageFile> Check(std::vector<uint8_t> Bytes, std::string Name,
                                                  const std::string *Directory, std::string *Error);

    std::string name_;
    std::vector<uint8_t> bytes_;
    pe::Image headers_;
    std::vector<uint32_t> relocations_;
    std::vector<Binding> bindings_;
};

// Maps a fresh copy of Image for Machine, hands it to the machine to unmap
// when the machine ends, and loads it as the driver Name: DriverEntry runs in
// the calling thread, bound to Machine, at PASSIVE_LEVEL, exactly as for
// Machine::LoadDriver (whose contract holds for the result). Null when
// DriverEntry failed (its status in *Status) or the copy could not be mapped
// (*Error says why; *Status is then STATUS_INSUFFICIENT_RESOURCES).
PDRIVER_OBJECT LoadDriver(Machine &Machine, const ImageFile &Image, std::u16string_view Name,
                          std::u16string_view RegistryPath, NTSTATUS *Status = nullptr, std::string *Error = nullptr);

}  // namespace sim::image
