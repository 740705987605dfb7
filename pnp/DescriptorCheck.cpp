#include "pnp/DescriptorCheck.h"

namespace DescriptorCheck {
namespace {

unsigned ReadLittle16(const unsigned char *Bytes)
{
    return static_cast<unsigned>(Bytes[0]) | (static_cast<unsigned>(Bytes[1]) << 8);
}

// The checks both reads share. Length is what may be read from Buffer.
Verdict CheckHeaderBytes(const unsigned char *Buffer, unsigned Length, ConfigurationHeader *Header)
{
    if (Length < kConfigurationLength) {
        return Verdict::ShortTransfer;
    }
    if (Buffer[0] < kConfigurationLength || Buffer[1] != kConfigurationType) {
        return Verdict::BadHeader;
    }
    const unsigned totalLength = ReadLittle16(Buffer + 2);
    if (totalLength < Buffer[0]) {
        return Verdict::TotalLengthTooSmall;
    }
    if (Buffer[4] == 0) {
        return Verdict::NoInterfaces;
    }
    Header->TotalLength = totalLength;
    Header->NumInterfaces = Buffer[4];
    Header->Attributes = Buffer[7];
    return Verdict::Valid;
}

}  // namespace

Verdict CheckHeader(const unsigned char *Buffer, unsigned BufferLength, unsigned Transferred,
                    ConfigurationHeader *Header)
{
    // A device that claims more than was asked for is as wrong as one that
    // delivers less; neither count says which bytes are real.
    if (Transferred != BufferLength) {
        return Verdict::ShortTransfer;
    }
    return CheckHeaderBytes(Buffer, BufferLength, Header);
}

Verdict CheckConfiguration(const unsigned char *Buffer, unsigned ExpectedTotalLength, unsigned Transferred,
                           ConfigurationHeader *Header)
{
    if (Transferred != ExpectedTotalLength) {
        return Verdict::ShortTransfer;
    }
    ConfigurationHeader header{};
    const Verdict headerVerdict = CheckHeaderBytes(Buffer, ExpectedTotalLength, &header);
    if (headerVerdict != Verdict::Valid) {
        return headerVerdict;
    }
    // The buffer was sized from the first read; a device whose second answer
    // announces another length has changed under us.
    if (header.TotalLength != ExpectedTotalLength) {
        return Verdict::TotalLengthChanged;
    }

    bool seenAtAlternateZero[kInterfaceNumberCount] = {};
    unsigned interfacesAtAlternateZero = 0;
    unsigned endpointsStillAnnounced = 0;

    unsigned offset = 0;
    while (offset < ExpectedTotalLength) {
        const unsigned remaining = ExpectedTotalLength - offset;
        const unsigned length = Buffer[offset];
        if (remaining < 2 || length < 2 || length > remaining) {
            return Verdict::BadDescriptorLength;
        }
        const unsigned char type = Buffer[offset + 1];
        if (type == kInterfaceType) {
            if (length < kInterfaceLength) {
                return Verdict::ShortInterfaceOrEndpoint;
            }
            if (endpointsStillAnnounced != 0) {
                return Verdict::MissingEndpoints;
            }
            const unsigned char number = Buffer[offset + 2];
            const unsigned char alternate = Buffer[offset + 3];
            endpointsStillAnnounced = Buffer[offset + 4];
            if (alternate == 0 && !seenAtAlternateZero[number]) {
                seenAtAlternateZero[number] = true;
                ++interfacesAtAlternateZero;
            }
        } else if (type == kEndpointType) {
            if (length < kEndpointLength) {
                return Verdict::ShortInterfaceOrEndpoint;
            }
            if (endpointsStillAnnounced != 0) {
                --endpointsStillAnnounced;
            }
        }
        offset += length;
    }
    if (endpointsStillAnnounced != 0) {
        return Verdict::MissingEndpoints;
    }
    if (interfacesAtAlternateZero < header.NumInterfaces) {
        return Verdict::MissingInterfaces;
    }
    *Header = header;
    return Verdict::Valid;
}

}  // namespace DescriptorCheck
