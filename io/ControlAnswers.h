// Checks of what the device sends back to control requests: how much of an
// answer may be handed to the application, or why none of it may.
//
// Plain code without platform types, so that it runs unchanged in the kernel
// image and in host-side tests and fuzzers. Device data is untrusted: every
// length here is bounded by the bytes actually received and by the buffer
// they were received into.
#pragma once

enum class AnswerVerdict {
    Accepted,
    // the device broke the format of the answer (too short, inconsistent)
    Malformed,
    // the answer announces more than the caller's buffer holds
    TooLarge,
};

struct AnswerLength {
    AnswerVerdict Verdict;
    // bytes to hand to the caller; 0 unless Verdict is Accepted
    unsigned int Length;
};

// The answer to the class read-block request: a 16-bit big-endian length that
// counts itself, then the payload. Staging holds the StagingLength bytes the
// request asked for, of which the bus reports Received as transferred;
// OutputLength is the caller's buffer. Accepted gives the payload length
// (header - 2), which starts at Staging + 2.
constexpr AnswerLength CheckClassBlockAnswer(const unsigned char *Staging, unsigned int StagingLength,
                                             unsigned int Received, unsigned int OutputLength)
{
    if (Received > StagingLength) {
        Received = StagingLength;
    }
    if (Received < 2) {
        return AnswerLength{AnswerVerdict::Malformed, 0};
    }
    unsigned int header = static_cast<unsigned int>(Staging[0]) * 256u + Staging[1];
    // headers of 0 and 1 wrap to nearly 2^32 and are refused as too large,
    // the same as a payload that does not fit
    unsigned int payload = header - 2u;
    if (payload > OutputLength) {
        return AnswerLength{AnswerVerdict::TooLarge, 0};
    }
    if (header > Received) {
        return AnswerLength{AnswerVerdict::Malformed, 0};
    }
    return AnswerLength{AnswerVerdict::Accepted, payload};
}

// The first, 4-byte read of a string descriptor, which only learns bLength.
// Accepted gives bLength, the size to read the whole descriptor with.
constexpr AnswerLength CheckStringDescriptorProbe(const unsigned char *Probe, unsigned int ProbeLength,
                                                  unsigned int Received)
{
    if (Received > ProbeLength) {
        Received = ProbeLength;
    }
    // a descriptor starts with bLength and bDescriptorType (USB 2.0, 9.5);
    // anything shorter than that header cannot be a string descriptor
    if (Received < 2 || Probe[0] < 2) {
        return AnswerLength{AnswerVerdict::Malformed, 0};
    }
    return AnswerLength{AnswerVerdict::Accepted, Probe[0]};
}

// The second read of a string descriptor into a buffer of BufferLength bytes
// (the first read's bLength). Accepted gives the bytes to copy: the bLength of
// this answer, which must lie within the bytes received.
constexpr AnswerLength CheckStringDescriptorAnswer(const unsigned char *Buffer, unsigned int BufferLength,
                                                   unsigned int Received)
{
    if (Received > BufferLength) {
        Received = BufferLength;
    }
    if (Received < 2 || Buffer[0] < 2 || Buffer[0] > Received) {
        return AnswerLength{AnswerVerdict::Malformed, 0};
    }
    return AnswerLength{AnswerVerdict::Accepted, Buffer[0]};
}

// How many bytes of a stored configuration descriptor of StoredLength bytes
// may be returned: its wTotalLength (bytes 2 and 3, little-endian), but never
// more than was stored. Malformed when the stored copy is too short to hold
// wTotalLength at all.
constexpr AnswerLength ConfigurationDescriptorCopyLength(const unsigned char *Stored, unsigned int StoredLength)
{
    if (Stored == nullptr || StoredLength < 4) {
        return AnswerLength{AnswerVerdict::Malformed, 0};
    }
    unsigned int total = static_cast<unsigned int>(Stored[2]) | (static_cast<unsigned int>(Stored[3]) << 8);
    return AnswerLength{AnswerVerdict::Accepted, total < StoredLength ? total : StoredLength};
}
